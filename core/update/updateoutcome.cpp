#include "core/update/updateoutcome.h"

#include "core/common/counted.h"
#include "core/common/printablebytes.h"

Message UpdateOutcome::messageFor(Kind kind)
{
    switch (kind) {
    case Kind::Success:
        return {QStringLiteral("Update OK"), QStringLiteral("Update OK"), Message::Icon::Information};
    case Kind::NoFile:
        return {QStringLiteral("No open file."), QStringLiteral("Code Download error"), Message::Icon::Critical};
    case Kind::NoPort:
        return {QStringLiteral("Please setting COM PORT"), QStringLiteral("COM PORT ERROR"), Message::Icon::Critical};
    case Kind::EraseRefused:
    case Kind::EraseFailed:
        return {QStringLiteral("Erese is error"), QStringLiteral("Error"), Message::Icon::Critical};
    case Kind::FileError:
    case Kind::PortError:
    case Kind::WriteRefused:
    case Kind::WriteFailed:
    case Kind::OutOfStep:
    case Kind::RecordError:
    case Kind::HistoryError:
    case Kind::DeviceChanged:
        return {QStringLiteral("Code Downloading is error."), QStringLiteral("Code Download error"),
                Message::Icon::Critical};
    case Kind::Interrupted:
        return {QStringLiteral("Update interrupted"), QStringLiteral("Code Download error"), Message::Icon::Critical};
    }
    return {};
}

QString UpdateOutcome::discardedText() const
{
    return bytesDiscarded == 1
        ? QObject::tr("1 byte from the instrument answered no command and was discarded")
        : QObject::tr("%1 bytes from the instrument answered no command and were discarded").arg(bytesDiscarded);
}

QString UpdateOutcome::untouchedText() const
{
    if (!earlier.mayBeErased)
        return QObject::tr("the instrument was not touched");
    QString left = QObject::tr("it may be erased");
    if (earlier.linesTotal > 0 && earlier.linesAcknowledged > 0)
        left = QObject::tr("it may be erased, line %1 of %2 was the last acknowledged")
                   .arg(earlier.linesAcknowledged)
                   .arg(earlier.linesTotal);
    else if (earlier.linesTotal > 0)
        left = earlier.linesTotal == 1
            ? QObject::tr("it may be erased, its 1 line was not acknowledged")
            : QObject::tr("it may be erased, none of its %1 lines was acknowledged").arg(earlier.linesTotal);
    return QObject::tr("nothing was sent this time; the instrument is as the last update left it: %1").arg(left);
}

QString UpdateOutcome::deviceCheckText() const
{
    const QString port = printableText(portText);
    switch (deviceCheck) {
    case DeviceCheck::Other:
        return QObject::tr("%1 now leads to another device (%2; the unit was %3): the attempt was not made")
            .arg(port, deviceNow, deviceNoted);
    case DeviceCheck::Gone:
        return QObject::tr("%1 leads to no device now (the unit was %2): the attempt was not made")
            .arg(port, deviceNoted);
    case DeviceCheck::Unprovable:
        return QObject::tr("%1 hung up, and %2 cannot prove that what answers on its name next is the same unit "
                           "(only a USB adapter with a serial number can; the name may be handed to another "
                           "device): not tried again")
            .arg(port, deviceNoted);
    case DeviceCheck::Silent:
        return QObject::tr("%1 (%2) no longer answers the link test (\"ARC*\"): the attempt was not made")
            .arg(port, deviceNoted);
    case DeviceCheck::None:
        break;
    }
    return QObject::tr("%1 does not lead to the unit any more: the attempt was not made").arg(port);
}

namespace {

QString acknowledgedText(int lines)
{
    return lines == 1 ? QObject::tr("1 line was acknowledged") : QObject::tr("%1 lines were acknowledged").arg(lines);
}

} // namespace

QString UpdateOutcome::lineText() const
{
    QString text = QObject::tr("line %1 of %2").arg(failedLine).arg(linesTotal);
    if (!failedLineText.isNull())
        text += QStringLiteral(" (") + quotedBytes(failedLineText) + u')';
    return text;
}

QStringList UpdateOutcome::causes() const
{
    QStringList causes = causesOfKind();
    // Not a fault: the records are safe, only where they are changed.
    if (!recordNotice.isEmpty())
        causes += recordNotice;
    return causes;
}

QStringList UpdateOutcome::causesOfKind() const
{
    QStringList causes;
    const QString where = printableText(linkError.device.isEmpty() ? device : linkError.device);
    switch (kind) {
    case Kind::Success:
        causes
            += QObject::tr("%1: %2 of %3 written").arg(where).arg(linesAcknowledged).arg(counted(linesTotal, u"line"));
        if (!endReply.isNull())
            causes += QObject::tr("the instrument answered the end line with %1").arg(quotedBytes(endReply));
        else
            causes += QObject::tr("the file has no end line (q): every line was sent, and the instrument "
                                  "was not told that the image is complete");
        if (!imageWarning.isEmpty())
            causes += imageWarning;
        if (bytesDiscarded > 0)
            causes += discardedText();
        if (!recordError.isEmpty())
            causes += QObject::tr("the record could not be written: %1").arg(recordError);
        return causes;
    case Kind::RecordError:
        causes += QObject::tr("the record file cannot be opened: %1").arg(recordError);
        break;
    case Kind::HistoryError:
        causes += QObject::tr("the unit history cannot be opened: %1").arg(recordError);
        break;
    case Kind::NoFile:
        causes += QObject::tr("no firmware file was given");
        break;
    case Kind::NoPort:
        causes += QObject::tr("the port text is empty: give the port, e.g. COM 3 or /dev/ttyUSB0");
        break;
    case Kind::FileError:
        causes += fileProblem.describe(printableText(fileName));
        break;
    case Kind::PortError:
        causes += linkError.causesFor(portText);
        break;
    case Kind::EraseRefused:
        causes += QObject::tr("%1: the instrument answered the erase command \"KILL\" with %2 instead of \"*\"")
                      .arg(where, quotedBytes(reply));
        break;
    case Kind::EraseFailed:
        // A flood is an answer, only not one that can be taken.
        causes += linkError.kind == LinkError::Kind::ReplyTooLong
            ? QObject::tr("the erase command \"KILL\" got no answer that can be taken: %1").arg(linkError.describe())
            : QObject::tr("no answer to the erase command \"KILL\": %1").arg(linkError.describe());
        if (linkError.kind == LinkError::Kind::Timeout) {
            // No answer at all most often means the wrong port or cable.
            causes += QObject::tr("check the port and the cable with the link test (\"Link Test\", or "
                                  "--test-link); the instrument may be erased if it received the command");
            return causes;
        }
        break;
    case Kind::WriteRefused:
        // One arg() call: the line's bytes may hold a "%2" of their own.
        causes += QObject::tr("%1: %2 was refused: the instrument answered %3 instead of \"*\"")
                      .arg(where, lineText(), quotedBytes(reply));
        causes += acknowledgedText(linesAcknowledged) + QObject::tr(" before it");
        break;
    case Kind::WriteFailed:
        if (failedLine > 0) {
            causes += linkError.kind == LinkError::Kind::ReplyTooLong
                ? QObject::tr("%1 got no answer that can be taken: %2").arg(lineText(), linkError.describe())
                : QObject::tr("%1 got no acknowledgement: %2").arg(lineText(), linkError.describe());
            causes += acknowledgedText(linesAcknowledged) + QObject::tr(" before it");
        } else {
            causes += QObject::tr("the link failed before the first line: %1").arg(linkError.describe());
        }
        break;
    case Kind::OutOfStep:
        causes
            += (outOfStepAfter > 0
                    ? QObject::tr("%1: the instrument's replies fell out of step after line %2 of %3")
                          .arg(where)
                          .arg(outOfStepAfter)
                          .arg(linesTotal)
                    : QObject::tr("%1: the instrument's replies fell out of step after the erase command").arg(where));
        causes += QObject::tr("a command got more than one reply, so the lines' answers cannot be told apart");
        break;
    case Kind::DeviceChanged:
        causes += deviceCheckText();
        causes += earlier.mayBeErased
            ? QObject::tr("nothing was sent to what the port leads to now; the unit of the earlier attempt may be "
                          "erased: put it back and update it again")
            : QObject::tr("nothing was sent: the unit is untouched");
        if (!recordError.isEmpty())
            causes += QObject::tr("the record could not be written: %1").arg(recordError);
        return causes;
    case Kind::Interrupted:
        if (stoppedBy == StoppedBy::Operator)
            causes += QObject::tr("stopped by the operator (Escape or Stop)");
        if (failedLine > 0)
            causes += QObject::tr("stopped while %1 awaited its acknowledgement; %2")
                          .arg(lineText(), acknowledgedText(linesAcknowledged));
        else if (stoppedBy == StoppedBy::Signal)
            causes += QObject::tr("stopped by a signal (Ctrl-C, SIGTERM or SIGHUP)");
        causes += eraseSent ? QObject::tr("the instrument may be left erased: run the update again") : untouchedText();
        if (!recordError.isEmpty())
            causes += QObject::tr("the record could not be written: %1").arg(recordError);
        return causes;
    }
    causes += eraseSent ? QObject::tr("the instrument may be erased: run the update again") : untouchedText();
    if (bytesDiscarded > 0)
        causes += discardedText();
    if (!recordError.isEmpty() && kind != Kind::RecordError && kind != Kind::HistoryError)
        causes += QObject::tr("the record could not be written: %1").arg(recordError);
    return causes;
}

QString UpdateOutcome::leftText() const
{
    if (eraseSent || earlier.mayBeErased)
        return QObject::tr("unit may be erased: retry");
    return QObject::tr("unit untouched");
}

QString UpdateOutcome::operatorCause() const
{
    // Short enough for two lines of a lane's tile: a verb, a place, and
    // whether the unit may be left erased.
    const QString left = leftText();
    switch (kind) {
    case Kind::Success:
        return bytesDiscarded > 0 || !imageWarning.isEmpty() || endReply.isNull()
            ? QObject::tr("Written, with remarks: see the details")
            : QString();
    case Kind::NoFile:
        return QObject::tr("Choose the image first");
    case Kind::NoPort:
        return QObject::tr("Give the lane a port");
    case Kind::FileError:
        return QObject::tr("The image is refused: see the details");
    case Kind::RecordError:
        return QObject::tr("The record file cannot be opened: %1").arg(recordError);
    case Kind::HistoryError:
        return QObject::tr("The unit history cannot be opened: %1").arg(recordError);
    case Kind::PortError:
        switch (linkError.kind) {
        case LinkError::Kind::NoSuchPort:
            return QObject::tr("No such port - is the unit plugged in?");
        case LinkError::Kind::Busy:
            return QObject::tr("Port in use by another program");
        case LinkError::Kind::PermissionDenied:
            return QObject::tr("Port not allowed for this user");
        default:
            return QObject::tr("Port cannot be used - %1").arg(left);
        }
    case Kind::EraseRefused:
        return QObject::tr("Erase refused - %1").arg(left);
    case Kind::EraseFailed:
        return QObject::tr("No answer to the erase - check port and cable; %1").arg(left);
    case Kind::WriteRefused:
        if (!endReply.isNull() && failedLine == linesTotal)
            return QObject::tr("End line refused - %1").arg(left);
        return QObject::tr("Refused at line %1 - %2").arg(failedLine).arg(left);
    case Kind::WriteFailed:
        if (linkError.kind == LinkError::Kind::HangUp)
            return failedLine > 0 ? QObject::tr("Unit gone at line %1 - %2").arg(failedLine).arg(left)
                                  : QObject::tr("Unit gone - %1").arg(left);
        return failedLine > 0 ? QObject::tr("No answer at line %1 - %2").arg(failedLine).arg(left)
                              : QObject::tr("Link failed - %1").arg(left);
    case Kind::OutOfStep:
        return QObject::tr("Replies out of step - %1").arg(left);
    case Kind::DeviceChanged:
        return deviceCheck == DeviceCheck::Silent ? QObject::tr("Unit stopped answering - %1").arg(left)
                                                  : QObject::tr("Port leads elsewhere now - %1").arg(left);
    case Kind::Interrupted:
        return stoppedBy == StoppedBy::Operator ? QObject::tr("Stopped by the operator - %1").arg(left)
                                                : QObject::tr("Stopped by a signal - %1").arg(left);
    }
    return {};
}
