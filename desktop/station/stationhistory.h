#pragma once

#include "desktop/station/lanestore.h"
#include "history/historyforwarder.h"
#include "history/historyoptions.h"
#include "history/historyrow.h"
#include "history/historystore.h"

#include <QList>
#include <QString>

#include <memory>
#include <optional>

// The station's unit history: the store every lane's records are kept in,
// opened at the first need and open from then on for the window's life;
// the serial of the unit on each lane; a unit's last attempt; and what the
// History view shows of today.
class StationHistory
{
public:
    // The attempts the History view lists, the newest first.
    static constexpr int kRecentAttempts = 20;

    // None is kept until settings say where.
    StationHistory() { m_settings.enabled = false; }

    void setSettings(const HistoryOptions::Settings &settings) { m_settings = settings; }
    // Kept at all (not --no-history).
    bool enabled() const { return m_settings.enabled; }
    QString path() const { return m_settings.path; }
    // Opens it unless it is open; false with error() set.
    bool open();
    bool isOpen() const { return m_store.isOpen(); }
    QString error() const { return m_store.error(); }
    HistoryStore *store() { return &m_store; }
    // What sends the history to the central server once it is open, when
    // one is named; null otherwise.
    HistoryForwarder *forwarder() { return m_forwarder.get(); }

    // What the history calls a lane, as it reads a record: its name, or its
    // port when it has none. Two lanes of one name are one lane to it.
    static QString keyOf(const LaneStore::Entry &entry);
    // The serial of the unit the lane `key` updates now; empty: none.
    void setUnitSerial(const QString &key, const QString &serial) { m_store.setUnitSerial(key, serial); }

    // The newest attempt of the unit `serial` (none when it has none);
    // false with error() set when the history cannot be read.
    bool lastAttempt(const QString &serial, std::optional<HistoryRow> *row);

    // Today's units of one lane, each by its attempts today: passed or
    // failed by the last, at the first go by the first.
    struct LaneCounts
    {
        QString lane;
        int attempts = 0;
        int passed = 0;
        int failed = 0;
        int firstPass = 0;
    };
    struct Today
    {
        QList<LaneCounts> lanes; // by name
        QList<HistoryRow> recent; // the newest first, at most kRecentAttempts
    };
    // False with error() set when the history cannot be read.
    bool today(Today *today);

private:
    HistoryOptions::Settings m_settings;
    HistoryStore m_store;
    std::unique_ptr<HistoryForwarder> m_forwarder;
};
