#include "desktop/station/stationhistory.h"

#include <QDateTime>
#include <QHash>
#include <QMap>

#include <algorithm>

bool StationHistory::open()
{
    if (m_store.isOpen())
        return true;
    if (!m_store.open(m_settings.path))
        return false;
    m_store.setKeeper(m_settings.keeper);
    if (!m_settings.server.isEmpty() && !m_forwarder) {
        m_forwarder = std::make_unique<HistoryForwarder>(m_settings.path, m_settings.server);
        m_forwarder->start();
    }
    return true;
}

QString StationHistory::keyOf(const LaneStore::Entry &entry)
{
    return entry.name.isEmpty() ? entry.port : entry.name;
}

bool StationHistory::lastAttempt(const QString &serial, std::optional<HistoryRow> *row)
{
    row->reset();
    if (!open())
        return false;
    HistoryStore::Filter filter;
    filter.unitSerial = serial;
    filter.limit = 1;
    return m_store.read(filter, [row](const HistoryRow &r) { *row = r; });
}

bool StationHistory::today(Today *today)
{
    *today = {};
    if (!open())
        return false;
    // Times are kept in UTC: the local day begins at this UTC time.
    const QDateTime midnight = QDate::currentDate().startOfDay();
    HistoryStore::Filter filter;
    filter.since = midnight.toUTC().toString(Qt::ISODateWithMs);
    struct Unit
    {
        bool firstOk = false;
        bool lastOk = false;
    };
    struct Lane
    {
        int attempts = 0;
        QHash<QString, Unit> units;
    };
    QMap<QString, Lane> lanes;
    const bool read = m_store.read(filter, [&lanes](const HistoryRow &row) {
        Lane &lane = lanes[row.lane.isEmpty() ? row.port : row.lane];
        ++lane.attempts;
        // Oldest first: a unit's first row is its first attempt today.
        const QString unit = row.unit();
        if (!lane.units.contains(unit))
            lane.units.insert(unit, {row.ok, row.ok});
        lane.units[unit].lastOk = row.ok;
    });
    if (!read)
        return false;
    for (auto it = lanes.cbegin(); it != lanes.cend(); ++it) {
        LaneCounts counts{it.key(), it->attempts};
        for (const Unit &unit : it->units) {
            ++(unit.lastOk ? counts.passed : counts.failed);
            counts.firstPass += unit.firstOk;
        }
        today->lanes << counts;
    }
    HistoryStore::Filter newest;
    newest.limit = kRecentAttempts;
    if (!m_store.read(newest, [today](const HistoryRow &row) { today->recent << row; }))
        return false;
    std::reverse(today->recent.begin(), today->recent.end());
    return true;
}
