#include "cli/portlister.h"

#include "cli/exitcode.h"
#include "cli/jsonreporter.h"
#include "link/portnumber.h"

#include <QJsonObject>
#include <QSerialPortInfo>
#include <QStringList>

using namespace Qt::Literals::StringLiterals;

namespace {

// The port box's fixed items.
constexpr int kComItems = 10;

QString usbIds(const QSerialPortInfo &info)
{
    if (!info.hasVendorIdentifier() || !info.hasProductIdentifier())
        return {};
    return u"%1:%2"_s.arg(uint(info.vendorIdentifier()), 4, 16, QChar(u'0'))
        .arg(uint(info.productIdentifier()), 4, 16, QChar(u'0'));
}

void put(std::FILE *out, const QString &line)
{
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out);
}

} // namespace

int PortLister::run(std::FILE *out, bool json)
{
    JsonReporter events(out);
    for (int i = 1; i <= kComItems; ++i) {
        const QString port = u"COM %1"_s.arg(i);
        const QString device = deviceForPortNumber(i);
        if (json)
            events.writeEvent({{u"event"_s, u"port"_s}, {u"port"_s, port}, {u"device"_s, device}});
        else
            put(out, u"%1\t%2"_s.arg(port, device));
    }

    const QList<QSerialPortInfo> found = QSerialPortInfo::availablePorts();
    if (!json)
        put(out, found.isEmpty() ? u"Serial devices found: none"_s : u"Serial devices found:"_s);
    for (const QSerialPortInfo &info : found) {
        const QString ids = usbIds(info);
        if (json) {
            QJsonObject event{{u"event"_s, u"device"_s}, {u"device"_s, info.systemLocation()}};
            if (!info.description().isEmpty())
                event.insert(u"description"_s, info.description());
            if (!info.manufacturer().isEmpty())
                event.insert(u"manufacturer"_s, info.manufacturer());
            if (!info.serialNumber().isEmpty())
                event.insert(u"serial_number"_s, info.serialNumber());
            if (!ids.isEmpty())
                event.insert(u"usb_id"_s, ids);
            events.writeEvent(event);
            continue;
        }
        QStringList details;
        if (!info.description().isEmpty())
            details += info.description();
        if (!info.manufacturer().isEmpty())
            details += u"maker "_s + info.manufacturer();
        if (!info.serialNumber().isEmpty())
            details += u"serial "_s + info.serialNumber();
        if (!ids.isEmpty())
            details += u"USB "_s + ids;
        put(out, details.isEmpty() ? info.systemLocation()
                                   : u"%1\t%2"_s.arg(info.systemLocation(), details.join(u", "_s)));
    }
    if (json)
        events.writeEvent({{u"event"_s, u"result"_s}, {u"ok"_s, true}, {u"exit"_s, ExitCode::kSuccess}});
    return ExitCode::kSuccess;
}
