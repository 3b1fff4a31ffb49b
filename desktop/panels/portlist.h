#pragma once

#include <QComboBox>

// The port box: "COM 1" to "COM 10", then the serial devices the machine has
// (as device paths, refreshed each time the list opens), and any typed text.
class PortList : public QComboBox
{
    Q_OBJECT

public:
    explicit PortList(QWidget *parent = nullptr);

    // Fills the fixed items "COM 1" to "COM 10".
    void addComItems();
    // Replaces the device items after the fixed ones with the devices present
    // now, keeping the text in the box.
    void refreshDevices();

    void showPopup() override;
};
