#include "core/link/deviceidentity.h"

#include "core/common/printablebytes.h"
#include "core/link/seriallink.h"

#include <QFileInfo>

DeviceIdentity DeviceIdentity::of(const QString &portText)
{
    return of(portText, QStringLiteral("/sys/class/tty"), QStringLiteral("/dev/serial/by-id"));
}

DeviceIdentity::Sameness DeviceIdentity::compare(const DeviceIdentity &noted, const DeviceIdentity &now, bool wentAway)
{
    if (!now.exists())
        return Sameness::Gone;
    // Two adapters that give serial numbers are told apart by them at any time.
    if (noted.kind == Kind::UsbAdapter && now.kind == Kind::UsbAdapter && noted.usbSerial != now.usbSerial)
        return Sameness::Other;
    if (wentAway) {
        if (!noted.provable())
            return Sameness::Unprovable;
        if (now.usbSerial != noted.usbSerial)
            return Sameness::Other;
        // Where both have a by-id link its name (maker, model, serial,
        // interface) names the same adapter; a node number may differ after
        // the adapter came back.
        if (!noted.byId.isEmpty() && !now.byId.isEmpty()
            && QFileInfo(noted.byId).fileName() != QFileInfo(now.byId).fileName())
            return Sameness::Other;
        return Sameness::Same;
    }
    if (!noted.exists() || noted.node != now.node || noted.number != now.number || noted.kind != now.kind)
        return Sameness::Other;
    return Sameness::Same;
}

QString DeviceIdentity::describe() const
{
    if (!exists())
        return QObject::tr("%1 (no device)").arg(printableText(portText));
    QString text = printableText(node);
    switch (kind) {
    case Kind::PseudoTerminal:
        return text + QObject::tr(" (pseudo-terminal)");
    case Kind::UsbAdapter:
        return text + QObject::tr(" (adapter serial %1)").arg(printableText(usbSerial));
    case Kind::SerialPort:
    case Kind::Absent:
        break;
    }
    return text;
}
