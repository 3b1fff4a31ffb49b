#pragma once

#include "desktop/widgets/messagepresenter.h"

#include <QList>

// Stands in for the message boxes in tests: records each message and, like a
// user pressing OK at once, runs what follows the box.
class RecordingPresenter : public MessagePresenter
{
public:
    void show(QWidget *, const Message &message, const QStringList &causes = {},
              std::function<void()> afterOk = {}) override
    {
        messages.append(message);
        details.append(causes);
        if (afterOk) {
            if (holdOk)
                pendingOk.append(std::move(afterOk));
            else
                afterOk();
        }
    }
    // Like a user who reads the question and answers it with `answerYes`.
    void ask(QWidget *, const Message &message, std::function<void()> afterYes) override
    {
        questions.append(message);
        if (answerYes && afterYes)
            afterYes();
    }
    // Presses OK on every box held back by holdOk.
    void pressOk()
    {
        const auto pending = std::exchange(pendingOk, {});
        for (const auto &f : pending)
            f();
    }

    QList<Message> messages;
    QList<QStringList> details; // each message's causes
    bool holdOk = false;
    QList<std::function<void()>> pendingOk;
    QList<Message> questions;
    bool answerYes = true;
};

inline const char *iconName(Message::Icon icon)
{
    return icon == Message::Icon::Critical ? "critical" : "information";
}
