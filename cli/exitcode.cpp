#include "cli/exitcode.h"

#include <QStringList>

namespace ExitCode {

int forOutcome(UpdateOutcome::Kind kind)
{
    using Kind = UpdateOutcome::Kind;
    switch (kind) {
    case Kind::Success:
        return kSuccess;
    case Kind::NoFile:
    case Kind::NoPort:
    case Kind::FileError:
    case Kind::PortError:
    case Kind::RecordError:
    case Kind::HistoryError:
        return kUntouched;
    case Kind::EraseRefused:
    case Kind::EraseFailed:
        return kEraseFailed;
    case Kind::WriteRefused:
    case Kind::WriteFailed:
    case Kind::OutOfStep:
        return kWriteFailed;
    case Kind::Interrupted:
        return kInterrupted;
    case Kind::DeviceChanged:
        // Nothing reached the device now on the port; whether the unit that
        // went away may be erased is told by forOutcome(const UpdateOutcome &).
        return kUntouched;
    }
    return kInternal;
}

int forOutcome(const UpdateOutcome &outcome)
{
    // An attempt not made after one that erased: the unit is left as that one left it.
    if (outcome.kind == UpdateOutcome::Kind::DeviceChanged && outcome.earlier.mayBeErased)
        return kWriteFailed;
    return forOutcome(outcome.kind);
}

QString helpTable()
{
    // Help text fits 80 columns: the code in 7, the meaning in the rest.
    constexpr qsizetype kWidth = 80;
    constexpr qsizetype kIndent = 7;
    QString table;
    for (const Meaning &meaning : kMeanings) {
        QString line = QStringLiteral("  %1").arg(meaning.code).leftJustified(kIndent);
        qsizetype used = kIndent;
        const QStringList words = QString::fromLatin1(meaning.text).split(u' ');
        for (const QString &word : words) {
            if (used > kIndent && used + 1 + word.size() > kWidth) {
                line += u'\n' + QString(kIndent, u' ');
                used = kIndent;
            } else if (used > kIndent) {
                line += u' ';
                ++used;
            }
            line += word;
            used += word.size();
        }
        table += line + u'\n';
    }
    return table;
}

} // namespace ExitCode
