#pragma once

#include <QString>
#include <QStringList>

// A message for the user: prompt, title and icon. The desktop program shows
// it in a modal box with a single OK button; the command line prints the
// prompt as its result line.
struct Message
{
    enum class Icon { Critical, Information };
    QString prompt;
    QString title;
    Icon icon = Icon::Critical;
    bool operator==(const Message &) const = default;
};

// The prompt, then each cause indented on a line of its own: how a result
// reads in a terminal or a log.
inline QString textWithCauses(const QString &prompt, const QStringList &causes)
{
    QString text = prompt + u'\n';
    for (const QString &cause : causes)
        text += QStringLiteral("  ") + cause + u'\n';
    return text;
}
