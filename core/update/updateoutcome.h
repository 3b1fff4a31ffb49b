#pragma once

#include "core/firmware/imagecheck.h"
#include "core/link/linkerror.h"
#include "core/common/message.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

// How an update ended: the message the user sees, and everything a front end
// needs to say why. The causes are worded here once, for the desktop
// program's message boxes and the command line alike.
struct UpdateOutcome
{
    Q_GADGET

public:
    enum class Kind {
        Success,
        NoFile, // no firmware file chosen
        NoPort, // port text empty
        FileError, // the file is no firmware image we may send (nothing sent)
        PortError, // the port cannot be opened or "KILL" not written (nothing sent)
        EraseRefused, // the erase answer was not "*"
        EraseFailed, // no answer to the erase, or the link failed while erasing
        WriteRefused, // a line was answered with something other than "*"
        WriteFailed, // the link failed or stayed silent while writing
        OutOfStep, // a command got two replies: which answered what is in doubt
        Interrupted, // stopped by abort()
        RecordError, // the record file cannot be opened (nothing sent)
        HistoryError, // the unit history cannot be opened (nothing sent)
        DeviceChanged, // another attempt was due, but the port no longer leads to the unit (nothing sent)
    };
    Q_ENUM(Kind)

    // Why the port was not taken for the unit an attempt was bound to (DeviceChanged).
    enum class DeviceCheck {
        None,
        Other, // the port now leads to another device
        Gone, // the port leads to no device now
        Unprovable, // the unit went away, and nothing can prove what comes back on the name is it
        Silent, // the device no longer answers the link test
    };
    Q_ENUM(DeviceCheck)

    // Who stopped an update that was interrupted: a signal to the process
    // (Ctrl-C, a logout, a closed terminal), or the person at the station.
    enum class StoppedBy { Signal, Operator };
    Q_ENUM(StoppedBy)

    Kind kind = Kind::Success;
    Message message;
    // True once "KILL" has been written: the instrument may now be erased.
    bool eraseSent = false;
    // How an earlier update on the same link left the instrument, when it
    // failed after "KILL" and none has succeeded since: an update that now
    // stops before "KILL" has not touched it, but it is not as good as new.
    struct EarlierState
    {
        bool mayBeErased = false;
        int linesAcknowledged = 0;
        int linesTotal = 0;
    };
    EarlierState earlier;
    int linesTotal = 0; // lines to send (up to the end line), 0 when the file was not read
    int linesAcknowledged = 0;
    int failedLine = 0; // 1-based number of the line that failed, 0 if none
    QByteArray failedLineText; // that line as prepared and sent
    int outOfStepAfter = 0; // OutOfStep: the last line whose answer was taken (0: the erase's)
    QByteArray reply; // what the instrument answered when it refused
    QByteArray endReply; // the answer to the end line, null when none came
    QString imageWarning; // ImageSummary::endRecordWarning() of the image sent, empty when none
    qint64 bytesDiscarded = 0; // bytes from the instrument that answered no command
    LinkError linkError;
    ImageProblem fileProblem; // why the file was refused (FileError)
    QString fileName;
    QString portText;
    QString device; // the device the link used, if any
    DeviceCheck deviceCheck = DeviceCheck::None;
    QString deviceNoted; // DeviceChanged: the unit's device as noted, described
    QString deviceNow; // DeviceChanged: what the port leads to now, described
    // That device with links followed, as found when the port opened: a bay's
    // link or a by-id name may be gone by the time the update ends.
    QString resolvedDevice;
    // The record file's trouble: why it could not be opened (RecordError),
    // or why this update's record could not be written.
    QString recordError;
    // The record was written, to a file opened anew: RunRecord::notice().
    QString recordNotice;
    StoppedBy stoppedBy = StoppedBy::Signal; // Interrupted only

    bool succeeded() const { return kind == Kind::Success; }
    // The lines a technician needs: the device and its error, the line and
    // what the instrument answered, whether the instrument may be erased.
    QStringList causes() const;
    // The cause in a few words for an operator at a bench: what happened,
    // where, and what to do; the causes() hold the rest.
    QString operatorCause() const;

    // The standard message of each kind.
    static Message messageFor(Kind kind);

private:
    QStringList causesOfKind() const;
    QString lineText() const;
    QString untouchedText() const;
    QString discardedText() const;
    QString deviceCheckText() const;
    QString leftText() const;
};
