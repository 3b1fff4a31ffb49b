#include "link/portlist.h"

#include <QLineEdit>
#include <QSerialPortInfo>
#include <QStringList>

PortList::PortList(QWidget *parent)
    : QComboBox(parent)
{
    setEditable(true);
    // A typed port text is used as it stands, never added to the list.
    setInsertPolicy(QComboBox::NoInsert);
}

void PortList::addComItems()
{
    for (int i = 1; i <= kComItems; ++i)
        addItem(QStringLiteral("COM ") + QString::number(i));
}

void PortList::refreshDevices()
{
    const QString text = currentText();
    const int selected = currentIndex();
    while (count() > kComItems)
        removeItem(count() - 1);
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        QStringList about;
        if (!info.description().isEmpty())
            about << info.description();
        if (!info.manufacturer().isEmpty())
            about << info.manufacturer();
        if (!info.serialNumber().isEmpty())
            about << tr("serial number %1").arg(info.serialNumber());
        if (info.hasVendorIdentifier() && info.hasProductIdentifier())
            about << QStringLiteral("USB %1:%2")
                         .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                         .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
        addItem(info.systemLocation());
        setItemData(count() - 1, about.join(QStringLiteral(", ")), Qt::ToolTipRole);
    }
    if (selected >= 0 && selected < kComItems)
        setCurrentIndex(selected);
    setEditText(text);
}

void PortList::showPopup()
{
    refreshDevices();
    QComboBox::showPopup();
}
