#pragma once

#include <QList>
#include <QString>

class QSettings;

// The station's lanes between runs: each lane's name and port, in the
// user's settings; and beside them whether a lane needs its unit's serial. A settings file is anyone's to edit, so what is read
// back is bounded like anything else from outside.
class LaneStore
{
public:
    struct Entry
    {
        QString name; // "Bay 3"
        QString port; // "/dev/serial/by-id/usb-FTDI_..."
        bool operator==(const Entry &) const = default;
    };

    // Far more than a bench has room for; the window stays usable with them.
    static constexpr int kMaxLanes = 64;
    // A name is read from two metres away: a few words.
    static constexpr qsizetype kMaxNameLength = 40;
    // Longer than any device path a system makes (by-id names are about 80).
    static constexpr qsizetype kMaxPortLength = 256;

    // Without settings nothing is kept.
    explicit LaneStore(QSettings *settings);

    QList<Entry> load() const;
    void save(const QList<Entry> &lanes);
    // Serial required, as the operator last set it; off when never set.
    bool serialRequired() const;
    void setSerialRequired(bool required);

    // The entry as it may be used, or one with an empty port when it may
    // not: a port text is never cut (a cut path could name another device),
    // a name is cut to its limit.
    static Entry bounded(const Entry &entry);

private:
    QSettings *m_settings;
};
