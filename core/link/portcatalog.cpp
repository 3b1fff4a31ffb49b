#include "core/link/portcatalog.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

namespace {

// A directory read from outside: far more links than any bench has adapters
// are not listed one by one.
constexpr qsizetype kMaxStableLinks = 256;

PortCatalog::Device deviceFrom(const QSerialPortInfo &info)
{
    PortCatalog::Device device{info.systemLocation(), info.description(), info.manufacturer(), info.serialNumber(), {}};
    if (info.hasVendorIdentifier() && info.hasProductIdentifier())
        device.usbId = QStringLiteral("%1:%2")
                           .arg(uint(info.vendorIdentifier()), 4, 16, QChar(u'0'))
                           .arg(uint(info.productIdentifier()), 4, 16, QChar(u'0'));
    return device;
}

} // namespace

QString PortCatalog::Device::summary() const
{
    QStringList about;
    if (!description.isEmpty())
        about << description;
    if (!manufacturer.isEmpty())
        about << QObject::tr("maker %1").arg(manufacturer);
    if (!serialNumber.isEmpty())
        about << QObject::tr("serial number %1").arg(serialNumber);
    if (!usbId.isEmpty())
        about << QStringLiteral("USB ") + usbId;
    return about.join(QStringLiteral(", "));
}

QStringList PortCatalog::comItems()
{
    QStringList items;
    for (int i = 1; i <= kComItems; ++i)
        items << QStringLiteral("COM ") + QString::number(i);
    return items;
}

QList<PortCatalog::Device> PortCatalog::devices()
{
    QList<Device> found;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        found << deviceFrom(info);
    return found;
}

std::optional<PortCatalog::Device> PortCatalog::deviceAt(const QString &path)
{
    return find(devices(), path);
}

std::optional<PortCatalog::Device> PortCatalog::find(const QList<Device> &devices, const QString &path)
{
    const QFileInfo wanted(path);
    const QString target = wanted.canonicalFilePath().isEmpty() ? path : wanted.canonicalFilePath();
    for (const Device &device : devices) {
        if (device.location == target || device.location == path)
            return device;
    }
    return std::nullopt;
}

QList<PortCatalog::StableLink> PortCatalog::stableLinks(const QString &directory)
{
    QList<StableLink> links;
    const QFileInfoList entries
        = QDir(directory).entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (links.size() >= kMaxStableLinks)
            break;
        // A link whose adapter has gone points nowhere: nothing to bind.
        const QString target = entry.canonicalFilePath();
        if (entry.isSymLink() && !target.isEmpty())
            links.append({entry.absoluteFilePath(), target});
    }
    return links;
}
