#include "core/link/linkerror.h"

#include "core/link/portnumber.h"
#include "core/common/printablebytes.h"

#include <QStringList>

QString LinkError::describe() const
{
    // The device may come from a port text as the user typed it.
    const QString shown = printableText(device);
    switch (kind) {
    case Kind::None:
        return {};
    case Kind::NoSuchPort:
        return QObject::tr("%1: no such port (%2)").arg(shown, detail);
    case Kind::Busy:
        return QObject::tr("%1: the port is busy, %2: close that program or choose another port").arg(shown, detail);
    case Kind::PermissionDenied:
        return QObject::tr("%1: permission denied: the user may not use this port; on Linux, add the user to "
                           "the 'dialout' group (%2)")
            .arg(shown, detail);
    case Kind::OpenFailed:
        return QObject::tr("%1: cannot be used as a serial port (%2)").arg(shown, detail);
    case Kind::WriteFailed:
        return QObject::tr("%1: writing failed (%2)").arg(shown, detail);
    case Kind::HangUp:
        return QObject::tr("%1: the port hung up or was unplugged (%2)").arg(shown, detail);
    case Kind::Stalled:
        return QObject::tr("%1: the port stopped taking bytes (%2): the instrument or the adapter stopped "
                           "reading, or another program holds the port")
            .arg(shown, detail);
    case Kind::ReplyTooLong:
        return QObject::tr("%1: the instrument sent %2: more than any answer holds").arg(shown, detail);
    case Kind::Timeout:
    case Kind::NotOpen:
        return QObject::tr("%1: %2").arg(shown, detail);
    }
    return {};
}

QStringList LinkError::causesFor(const QString &portText) const
{
    QStringList causes{describe()};
    if (const QString suggested = suggestedDevice(portText); !suggested.isEmpty())
        causes += QObject::tr("did you mean %1?").arg(suggested);
    return causes;
}
