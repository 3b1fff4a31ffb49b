#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The ports a technician can choose from: the fixed texts "COM 1" to
// "COM 10" that the port box has always offered, and the serial devices
// found on the machine with what their drivers tell of them. Both front ends
// list them from here.
class PortCatalog
{
public:
    static constexpr int kComItems = 10;

    // A serial device found on the machine.
    struct Device
    {
        QString location; // /dev/ttyUSB0, COM4
        QString description; // the adapter's name, where the driver tells it
        QString manufacturer;
        QString serialNumber;
        QString usbId; // "0403:6001", empty when not a USB device

        // One line: "FT232R USB UART, maker FTDI, serial number A6008isP, USB 0403:6001".
        QString summary() const;
    };

    // "COM 1" to "COM 10".
    static QStringList comItems();
    static QList<Device> devices();
    // The device found at a path, following symbolic links (/dev/serial/by-id/...).
    static std::optional<Device> deviceAt(const QString &path);
    // The same among devices listed before: a listing reads the system's
    // device tree, which for many ports at once is worth doing only once.
    static std::optional<Device> find(const QList<Device> &devices, const QString &path);

    // A name udev keeps for an adapter whatever number the kernel gave it
    // (ttyUSB0 today, ttyUSB1 after a replug): the maker, model and serial
    // number under /dev/serial/by-id, and the device it points at now.
    struct StableLink
    {
        QString path; // /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0
        QString target; // /dev/ttyUSB0
    };
    // Where udev puts those names on Linux.
    static constexpr const char *kStableLinkDirectory = "/dev/serial/by-id";
    // The links in `directory` whose device exists, by name. A station binds
    // a lane to one, so that a renumbered adapter cannot take another bay's
    // image.
    static QList<StableLink> stableLinks(const QString &directory = QLatin1String(kStableLinkDirectory));
};
