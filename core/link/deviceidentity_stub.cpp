// Systems without device numbers and sysfs (Windows): a port is its name.
// Nothing can prove it is the same adapter after it went away, so a port
// that hung up is never retried there.
#include "core/link/deviceidentity.h"

#include "core/link/seriallink.h"

DeviceIdentity DeviceIdentity::of(const QString &portText, const QString &, const QString &)
{
    DeviceIdentity id;
    id.portText = portText;
    id.node = SerialLink::deviceForPortText(portText);
    if (!id.node.isEmpty())
        id.kind = Kind::SerialPort;
    return id;
}
