#pragma once

#include <QString>

#include <functional>

class QWidget;

// A message for the user: prompt, title and icon, shown in a modal box with
// a single OK button.
struct Message
{
    enum class Icon { Critical, Information };
    QString prompt;
    QString title;
    Icon icon = Icon::Critical;
    bool operator==(const Message &) const = default;
};

// Shows messages. The default shows an application-modal message box
// without blocking the caller; tests put a recorder in its place.
class MessagePresenter
{
public:
    virtual ~MessagePresenter() = default;
    // afterOk runs once the user has pressed OK.
    virtual void show(QWidget *parent, const Message &message, std::function<void()> afterOk = {});
};
