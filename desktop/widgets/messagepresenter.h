#pragma once

#include "core/common/message.h"

#include <functional>

class QWidget;

// Shows messages. The default shows an application-modal message box
// without blocking the caller; tests put a recorder in its place.
class MessagePresenter
{
public:
    virtual ~MessagePresenter() = default;
    // details: the causes, one per line, shown below the prompt on request;
    // the prompt, title and icon stay as the message has them. afterOk runs
    // once the user has pressed OK.
    virtual void show(QWidget *parent, const Message &message, const QStringList &details = {},
                      std::function<void()> afterOk = {});
    // A question with Yes and No, No the default; afterYes runs once the
    // user has pressed Yes, nothing when No.
    virtual void ask(QWidget *parent, const Message &message, std::function<void()> afterYes);
};
