#include "desktop/panels/portlist.h"

#include "core/link/portcatalog.h"

PortList::PortList(QWidget *parent)
    : QComboBox(parent)
{
    setEditable(true);
    // A typed port text is used as it stands, never added to the list.
    setInsertPolicy(QComboBox::NoInsert);
}

void PortList::addComItems()
{
    addItems(PortCatalog::comItems());
}

void PortList::refreshDevices()
{
    const QString text = currentText();
    const int selected = currentIndex();
    while (count() > PortCatalog::kComItems)
        removeItem(count() - 1);
    for (const PortCatalog::Device &device : PortCatalog::devices()) {
        addItem(device.location);
        setItemData(count() - 1, device.summary(), Qt::ToolTipRole);
    }
    if (selected >= 0 && selected < PortCatalog::kComItems)
        setCurrentIndex(selected);
    setEditText(text);
}

void PortList::showPopup()
{
    refreshDevices();
    QComboBox::showPopup();
}
