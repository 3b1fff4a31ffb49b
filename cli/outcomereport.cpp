#include "cli/outcomereport.h"

#include "cli/exitcode.h"
#include "cli/jsonreporter.h"
#include "cli/printablebytes.h"

#include <QFileInfo>
#include <QJsonArray>

using namespace Qt::Literals::StringLiterals;
using Kind = UpdateSequence::Outcome::Kind;

namespace {

// A firmware line may be thousands of bytes; the start says which one it is.
constexpr qsizetype kShownLineBytes = 40;

QString quoted(const QByteArray &bytes)
{
    return u'"' + QString::fromLatin1(printableBytes(bytes)) + u'"';
}

} // namespace

OutcomeReport::OutcomeReport(const UpdateSequence::Outcome &outcome, Context context)
    : m_outcome(outcome)
    , m_context(std::move(context))
{
}

int OutcomeReport::exitCode() const
{
    switch (m_outcome.kind) {
    case Kind::Success:
        return ExitCode::kSuccess;
    case Kind::NoFile:
    case Kind::NoPort:
    case Kind::FileError:
    case Kind::PortError:
        return ExitCode::kUntouched;
    case Kind::EraseRefused:
    case Kind::EraseFailed:
        return ExitCode::kEraseFailed;
    case Kind::WriteRefused:
    case Kind::WriteFailed:
        return ExitCode::kWriteFailed;
    case Kind::Interrupted:
        return ExitCode::kInterrupted;
    }
    return ExitCode::kInternal;
}

QString OutcomeReport::fileCause() const
{
    // The sequence only says that the file gave no lines; which of the usual
    // reasons applies is what the technician needs to put it right.
    const QString &name = m_context.fileName;
    const QFileInfo info(name);
    if (!info.exists())
        return u"%1: no such file"_s.arg(name);
    if (info.isDir())
        return u"%1: is a directory, not a firmware file"_s.arg(name);
    if (!info.isReadable())
        return u"%1: cannot be read (permission denied)"_s.arg(name);
    if (info.size() == 0)
        return u"%1: the file is empty: there is nothing to send"_s.arg(name);
    return u"%1: the file cannot be read or has no lines"_s.arg(name);
}

QString OutcomeReport::lineText() const
{
    QString text = u"line %1 of %2"_s.arg(m_outcome.failedLine).arg(m_context.totalLines);
    if (!m_context.failedLineText.isNull()) {
        QByteArray shown = m_context.failedLineText.left(kShownLineBytes);
        text += u" ("_s + quoted(shown);
        if (m_context.failedLineText.size() > kShownLineBytes)
            text += u"..."_s;
        text += u')';
    }
    return text;
}

QStringList OutcomeReport::causes() const
{
    QStringList causes;
    const SerialLink::Error &error = m_outcome.linkError;
    const QString device = error.device.isEmpty() ? m_context.device : error.device;
    switch (m_outcome.kind) {
    case Kind::Success:
        causes += u"%1: %2 of %3 lines written"_s.arg(device, QString::number(m_outcome.linesAcknowledged),
                                                        QString::number(m_context.totalLines));
        if (!m_context.endReply.isNull())
            causes += u"the instrument answered the end line with %1"_s.arg(quoted(m_context.endReply));
        else
            causes += u"the file has no end line: every line was sent"_s;
        return causes;
    case Kind::NoFile:
        causes += u"no firmware file was given"_s;
        break;
    case Kind::NoPort:
        causes += u"the port text is empty: give the port, e.g. --port \"COM 3\" or --port /dev/ttyUSB0"_s;
        break;
    case Kind::FileError:
        causes += fileCause();
        break;
    case Kind::PortError:
        if (error.kind == SerialLink::Error::Kind::None)
            causes += u"the port text %1 names no port"_s.arg(
                quoted(m_context.portText.left(kShownLineBytes).toUtf8()));
        else
            causes += error.describe();
        break;
    case Kind::EraseRefused:
        causes += u"%1: the instrument answered the erase command \"KILL\" with %2 instead of \"*\""_s.arg(
            device, quoted(m_outcome.reply));
        break;
    case Kind::EraseFailed:
        causes += u"no answer to the erase command \"KILL\": %1"_s.arg(error.describe());
        break;
    case Kind::WriteRefused:
        causes += u"%1: %2 was refused: the instrument answered %3 instead of \"*\""_s.arg(device, lineText(),
                                                                                         quoted(m_outcome.reply));
        causes += u"%1 lines were acknowledged before it"_s.arg(m_outcome.linesAcknowledged);
        break;
    case Kind::WriteFailed:
        if (m_outcome.failedLine > 0) {
            causes += u"%1 got no acknowledgement: %2"_s.arg(lineText(), error.describe());
            causes += u"%1 lines were acknowledged before it"_s.arg(m_outcome.linesAcknowledged);
        } else {
            causes += u"the link failed before the first line: %1"_s.arg(error.describe());
        }
        break;
    case Kind::Interrupted:
        if (m_outcome.failedLine > 0)
            // One arg() call: the line's bytes may hold a "%2" of their own.
            causes += u"stopped while %1 awaited its acknowledgement; %2 lines were acknowledged"_s.arg(
                lineText(), QString::number(m_outcome.linesAcknowledged));
        else
            causes += u"stopped by a signal (Ctrl-C or SIGTERM)"_s;
        causes += m_outcome.eraseSent ? u"the instrument may be left erased: run the update again"_s
                                      : u"the instrument was not touched"_s;
        return causes;
    }
    causes += m_outcome.eraseSent ? u"the instrument may be erased: run the update again"_s
                                  : u"the instrument was not touched"_s;
    return causes;
}

QByteArray OutcomeReport::text() const
{
    QByteArray text = m_outcome.prompt.toLocal8Bit() + '\n';
    for (const QString &cause : causes())
        text += "  " + cause.toLocal8Bit() + '\n';
    return text;
}

QJsonObject OutcomeReport::toJson() const
{
    QJsonObject result{
        {u"event"_s, u"result"_s},
        {u"ok"_s, m_outcome.succeeded()},
        {u"message"_s, m_outcome.prompt},
        {u"title"_s, m_outcome.title},
        {u"kind"_s, kindName(m_outcome.kind)},
        {u"exit"_s, exitCode()},
        {u"erase_sent"_s, m_outcome.eraseSent},
        {u"lines_total"_s, m_context.totalLines},
        {u"lines_acknowledged"_s, m_outcome.linesAcknowledged},
        {u"failed_line"_s, m_outcome.failedLine},
        {u"cause"_s, QJsonArray::fromStringList(causes())},
    };
    if (!m_context.device.isEmpty())
        result.insert(u"device"_s, m_context.device);
    if (!m_outcome.reply.isNull())
        JsonReporter::addBytes(result, u"reply"_s, m_outcome.reply);
    if (m_outcome.linkError.kind != SerialLink::Error::Kind::None) {
        result.insert(u"port_error"_s, linkErrorName(m_outcome.linkError.kind));
        result.insert(u"port_error_text"_s, m_outcome.linkError.describe());
    }
    return result;
}

QString OutcomeReport::kindName(UpdateSequence::Outcome::Kind kind)
{
    switch (kind) {
    case Kind::Success:
        return u"success"_s;
    case Kind::NoFile:
        return u"no-file"_s;
    case Kind::NoPort:
        return u"no-port"_s;
    case Kind::FileError:
        return u"file-error"_s;
    case Kind::PortError:
        return u"port-error"_s;
    case Kind::EraseRefused:
        return u"erase-refused"_s;
    case Kind::EraseFailed:
        return u"erase-failed"_s;
    case Kind::WriteRefused:
        return u"write-refused"_s;
    case Kind::WriteFailed:
        return u"write-failed"_s;
    case Kind::Interrupted:
        return u"interrupted"_s;
    }
    return {};
}

QString OutcomeReport::linkErrorName(SerialLink::Error::Kind kind)
{
    using E = SerialLink::Error::Kind;
    switch (kind) {
    case E::None:
        return {};
    case E::NoSuchPort:
        return u"no-such-port"_s;
    case E::Busy:
        return u"busy"_s;
    case E::PermissionDenied:
        return u"permission-denied"_s;
    case E::OpenFailed:
        return u"open-failed"_s;
    case E::WriteFailed:
        return u"write-failed"_s;
    case E::HangUp:
        return u"hang-up"_s;
    case E::Timeout:
        return u"timeout"_s;
    case E::NotOpen:
        return u"not-open"_s;
    }
    return {};
}
