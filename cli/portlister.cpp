#include "cli/portlister.h"

#include "cli/exitcode.h"
#include "cli/jsonreporter.h"
#include "cli/outputchannel.h"
#include "core/link/portcatalog.h"
#include "core/link/portnumber.h"

#include <QFileInfo>
#include <QJsonObject>

using namespace Qt::Literals::StringLiterals;

namespace {

void put(OutputChannel &out, const QString &line)
{
    out.write(line.toLocal8Bit() + '\n');
}

void insertIfKnown(QJsonObject &event, const QString &key, const QString &value)
{
    if (!value.isEmpty())
        event.insert(key, value);
}

} // namespace

int PortLister::run(OutputChannel &out, bool json)
{
    JsonReporter events(out);
    const QStringList items = PortCatalog::comItems();
    for (qsizetype i = 0; i < items.size(); ++i) {
        const QString device = deviceForPortNumber(double(i + 1));
        // Whether this machine has the device at all: COM 1 is the old
        // default, and many machines have no /dev/ttyS0 behind it.
        const bool present = QFileInfo::exists(device);
        if (json)
            events.writeEvent(
                {{u"event"_s, u"port"_s}, {u"port"_s, items.at(i)}, {u"device"_s, device}, {u"present"_s, present}});
        else
            put(out, u"%1\t%2\t%3"_s.arg(items.at(i), device, present ? u"present"_s : u"absent"_s));
    }

    const QList<PortCatalog::Device> found = PortCatalog::devices();
    if (!json)
        put(out, found.isEmpty() ? u"Serial devices found: none"_s : u"Serial devices found:"_s);
    for (const PortCatalog::Device &device : found) {
        if (json) {
            QJsonObject event{{u"event"_s, u"device"_s}, {u"device"_s, device.location}};
            insertIfKnown(event, u"description"_s, device.description);
            insertIfKnown(event, u"manufacturer"_s, device.manufacturer);
            insertIfKnown(event, u"serial_number"_s, device.serialNumber);
            insertIfKnown(event, u"usb_id"_s, device.usbId);
            events.writeEvent(event);
            continue;
        }
        const QString summary = device.summary();
        put(out, summary.isEmpty() ? device.location : u"%1\t%2"_s.arg(device.location, summary));
    }
    if (json)
        events.writeEvent({{u"event"_s, u"result"_s}, {u"ok"_s, true}, {u"exit"_s, ExitCode::kSuccess}},
                          OutputChannel::Delivery::Awaited);
    return ExitCode::kSuccess;
}
