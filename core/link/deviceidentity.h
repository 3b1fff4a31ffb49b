#pragma once

#include <QString>

// Which device a port text leads to, as far as the system can tell, so that
// an attempt can be bound to a device rather than to a name. A name is not
// enough: a pseudo-terminal's or a ttyUSB number is handed to the next
// device that appears, with the same path and the same device number. Only
// a USB adapter that gives its serial number can prove, after it went away,
// that what came back is the same adapter.
struct DeviceIdentity
{
    enum class Kind {
        Absent, // the port text leads to no device node
        PseudoTerminal,
        SerialPort, // a port without a USB adapter's serial number behind it
        UsbAdapter, // an adapter that gives its serial number
    };

    enum class Sameness {
        Same,
        Other, // the port now leads to another device
        Gone, // the port leads to no device now
        Unprovable, // the device went away, and what is there now cannot prove it is the one
    };

    Kind kind = Kind::Absent;
    QString portText;
    QString node; // the device node, links followed
    quint64 number = 0; // the node's device number (st_rdev)
    QString usbPath; // the adapter's sysfs path, for USB adapters
    QString usbSerial; // the adapter's serial number, where its driver gives one
    QString byId; // its /dev/serial/by-id link, where there is one

    bool exists() const { return kind != Kind::Absent; }
    // Whether the device could show, after it went away, that it is the same.
    bool provable() const { return kind == Kind::UsbAdapter; }

    // The identity of the device the port text leads to now.
    static DeviceIdentity of(const QString &portText);
    // The same with the places the system describes its devices in given:
    // tests hand in a made-up sysfs tree and by-id folder.
    static DeviceIdentity of(const QString &portText, const QString &sysClassTty, const QString &byIdDir);

    // Whether `now` is the device `noted` was. Before the device went away
    // (a hang-up seen, its node seen missing) the same node with the same
    // device number is the same device; after, only the same adapter serial
    // number is.
    static Sameness compare(const DeviceIdentity &noted, const DeviceIdentity &now, bool wentAway);

    // "/dev/ttyUSB0 (adapter 1-1.2, serial FT12AB)", for causes and records.
    QString describe() const;
};
