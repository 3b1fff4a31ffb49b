#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// Why an operation on the serial link failed, with the detail a front end
// may show.
struct LinkError
{
    Q_GADGET

public:
    enum class Kind {
        None,
        NoSuchPort,
        Busy,
        PermissionDenied,
        OpenFailed,
        WriteFailed,
        HangUp,
        Timeout,
        NotOpen,
        ReplyTooLong, // more bytes than any answer without the end-of-read character
        Stalled, // the port stopped taking the bytes of a command
    };
    Q_ENUM(Kind)

    Kind kind = Kind::None;
    QString device; // the device the link was using, e.g. /dev/ttyUSB0 or COM3
    QString detail; // the operating system's words, or ours where they mislead
    // One line for a technician.
    QString describe() const;
    // The causes of a port that could not be used: describe(), and for a
    // port text that reads like a device typed without /dev/ the device it
    // most likely means.
    QStringList causesFor(const QString &portText) const;
};
