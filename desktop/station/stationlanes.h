#pragma once

#include "core/update/lanegroup.h"
#include "core/update/runrecord.h"
#include "desktop/station/lanestore.h"

#include <QObject>
#include <QString>

#include <deque>
#include <memory>
#include <optional>
#include <vector>

// How a start of a lane ended, for the unit on it.
enum class UnitEnd {
    Passed,
    Failed,
    Stopped, // by the operator or a signal: no unit's failure
    NotStarted, // nothing reached the unit: no port, a port in use, refused
};

class StationHistory;

// A lane of the station with what its tile shows and the lane does not keep.
struct StationLane
{
    LaneStore::Entry entry;
    Lane *lane = nullptr; // the group's
    int erasePercent = 0;
    int linesSent = 0;
    int linesTotal = 0;
    QString detail;
    QString causes; // the whole of what the detail says in short
    // The last unit's end, shown while the lane rests, and after a failure
    // while it waits for the next unit; none once it starts again.
    std::optional<UnitEnd> shown;
    // What the lane's current unit is counted as, so that a retry of the
    // same unit replaces its count instead of adding one.
    std::optional<bool> countedPassed;
    bool sameUnit = false;
    int passed = 0;
    int failed = 0;
    QString recordProblem;
    int recordsLost = 0;
    QString recordNotice; // the record file's last reopening, with its time
    QString device;
    QString serialNumber;
    // With a history kept, the serials of units (not of adapters): the one
    // entered for the next unit to begin on the lane, the one the history
    // gives the attempts of the unit on it now, and the last unit's, which
    // Ctrl+R takes again (retryLast). Each with what the history said of
    // that unit when it was entered.
    QString nextSerial;
    QString nextAbout;
    QString unitSerial;
    QString unitAbout;
    QString lastSerial;
    bool retryLast = false;
    QString serialProblem; // why the serial last entered was refused
    // Redraws: at most one per tick of the redraw timer.
    bool dirty = false;
    int redraws = 0;
    int busiestSecond = 0;
    std::deque<qint64> recentRedraws; // within the last second, ms on the run clock
};

// The station's lanes in their order, the tiles' order: each one's lane in
// the group, what it is called and where it leads, kept in the settings
// unless they came from the command line; what each lane's signals tell
// and the lane does not keep; and the units counted since the window
// opened, each by its last attempt: a unit tried again with Ctrl+R counts
// once.
class StationLanes : public QObject
{
    Q_OBJECT

public:
    StationLanes(LaneStore *store, LaneGroup *group, QObject *parent = nullptr);

    // A tile's cause is a few words; the whole of it is in its details and
    // the record. Texts from outside (a record's error, a path) are cut.
    static QString bounded(const QString &text);

    // Without a name, "Lane N" by its place.
    StationLane &add(const LaneStore::Entry &entry);
    // Another port: counts belong to the port, the lane starts at nought
    // on a new Lane (true).
    bool change(int index, const LaneStore::Entry &entry);
    void remove(int index);
    // Lanes given for this run leave the kept ones as they are.
    void setKept(bool kept) { m_kept = kept; }
    void save();
    LaneStore *store() const { return m_store; }

    int size() const { return int(m_lanes.size()); }
    StationLane &at(int index) const { return *m_lanes.at(size_t(index)); }
    StationLane *of(const Lane *lane) const;
    const std::vector<std::unique_ptr<StationLane>> &all() const { return m_lanes; }
    bool busy(const StationLane &lane) const { return m_group->isBusy(*lane.lane); }
    bool queued(const StationLane &lane) const { return m_group->isQueued(*lane.lane); }
    // A watching lane whose failed unit has gone shows it failed still, but
    // has no unit to try again.
    static bool unitFailed(const StationLane &lane);

    // Every lane's records go here, those added later too.
    void setRecord(RunRecord *record);
    // A lane's unit takes its serial when its first attempt begins, and
    // lets it go when it ends (a serial names one unit). Null: none kept.
    void setHistory(StationHistory *history) { m_history = history; }
    // A watching lane leaves a unit that arrives alone until it has a serial.
    void setSerialRequired(bool required) { m_serialRequired = required; }
    bool serialRequired() const { return m_serialRequired; }
    void setShown(StationLane &lane, std::optional<UnitEnd> end);
    void countUnit(StationLane &lane, bool passed);
    int passed() const { return m_passed; }
    int failed() const { return m_failed; }
    int firstPass() const { return m_firstPass; } // units passed at their first attempt
    // Every lane's last start ended with its unit passed: a lane not
    // started or stopped is not.
    bool allPassed() const;

signals:
    // What its tile shows has changed; its state too (laneStateChanged).
    void laneChanged(StationLane *lane);
    void laneStateChanged(StationLane *lane);
    // The counters, or what they count, have changed.
    void countsChanged();
    // A unit has ended on the lane, its records kept.
    void unitEnded(StationLane *lane);

private:
    // What the lane's signals tell and the lane does not keep.
    void connectLane(StationLane &lane);

    LaneStore *m_store;
    LaneGroup *m_group;
    std::vector<std::unique_ptr<StationLane>> m_lanes;
    RunRecord *m_record = nullptr;
    StationHistory *m_history = nullptr;
    bool m_serialRequired = false;
    bool m_kept = true;
    int m_passed = 0;
    int m_failed = 0;
    int m_firstPass = 0;
};
