#pragma once

#include "desktop/station/lanewidget.h"
#include "desktop/station/stationlanes.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>

// What the tiles and the counters show, and when they are redrawn.
// Progress comes a line at a time, hundreds of lines a second on each of
// dozens of lanes: a lane's tile is redrawn from the lane at most every
// kRedrawInterval, and so are the counters.
class TileRedraws : public QObject
{
    Q_OBJECT

public:
    // At most ten redraws a second a lane: smooth to the eye, and 32 lanes
    // stay far from filling the event loop.
    static constexpr std::chrono::milliseconds kRedrawInterval{100};

    // drawLane: draws the lane at this index now; drawCounters: the counters.
    TileRedraws(const StationLanes *lanes, std::function<void(int)> drawLane, std::function<void()> drawCounters,
                QObject *parent = nullptr);

    // Redrawn on the next tick.
    void markDirty(StationLane &lane);
    void markCountersDirty();
    // The counters now, whatever is dirty.
    void drawCountersNow();
    // From the first start of the run clock, in ms.
    qint64 elapsed() const { return m_clock.elapsed(); }

    // What a lane's tile shows: its phase, progress and the words for them.
    // serialRequired: a watching lane updates a unit only once it has a serial.
    static LaneView viewOf(const StationLane &lane, bool queued, bool busy, bool serialRequired = false);
    struct Counters
    {
        QString passed, failed, total;
    };
    // Units, each by its last attempt; beside the final yield the share
    // that passed at their first, which a retry hides. Lanes that touched
    // no unit, or were stopped, are no unit's failure.
    static Counters countersOf(const StationLanes &lanes);

private:
    void redraw();
    // The line about the unit's serial: the unit's, the next one's, or why
    // one was refused or is wanted (*warning).
    static QString serialNoteOf(const StationLane &lane, bool waitingForSerial, bool *warning);

    const StationLanes *m_lanes;
    std::function<void(int)> m_drawLane;
    std::function<void()> m_drawCounters;
    QTimer m_timer;
    QElapsedTimer m_clock;
    bool m_countersDirty = false;
};
