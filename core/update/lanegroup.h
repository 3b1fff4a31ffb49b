#pragma once

#include "core/update/lane.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

// The lanes of one run side by side, the station's or the command line's:
// it owns them, keeps two of them from leading to the same device, starts
// and stops them together, and tells when every one has come to rest.
// Lanes started together start at once, or one per turn of the event loop
// (OnePerTurn): each start looks through the system's open files for
// another holder of its port, which for 32 lanes at once would hold a
// window up for a good part of a second.
class LaneGroup : public QObject
{
    Q_OBJECT

public:
    enum class Starting { AtOnce, OnePerTurn };

    // A lane that leads to the device of another: `other` runs, or comes
    // before it among those started together.
    struct Clash
    {
        Lane *lane = nullptr;
        Lane *other = nullptr;
        QString device; // what both lead to; empty when the port names none
        QString key; // the device, or the port text when it names none
    };

    // How a lane is started once its turn comes: its settings, the image.
    using Starter = std::function<void(Lane &)>;

    explicit LaneGroup(Starting starting = Starting::AtOnce, QObject *parent = nullptr);
    ~LaneGroup() override;

    Lane &add(const QString &portText);
    // A new lane on another port in the place of `index`, which rests.
    Lane &replace(int index, const QString &portText);
    void remove(int index);
    int size() const { return int(m_lanes.size()); }
    Lane &lane(int index) const { return *m_lanes.at(size_t(index)); }
    int indexOf(const Lane *lane) const;

    // What a lane's port leads to, for the rule: the device, or the port
    // text when it names none.
    static QString deviceKey(const QString &portText);
    // Two lanes on one device would interleave their lines, also when the
    // names differ (a by-id link and its ttyUSB, "COM 1" and /dev/ttyS0).
    // Of `starting`, in their order, those that lead to the device of a
    // lane that runs or of one before them.
    QList<Clash> clashes(const QList<Lane *> &starting) const;

    // Starts those of `lanes` that clash with none (each clashing one is
    // told by notStarted()) through `starter`; lanes that run are left as
    // they are. Returns whether any was started or queued.
    bool start(const QList<Lane *> &lanes, Starter starter);
    // Every lane that does not run.
    bool startAll(Starter starter);
    // Those not started yet never will be; the others end where they stand,
    // recorded as stopped by `by`.
    void stop(Lane *lane, UpdateOutcome::StoppedBy by);
    void stopAll(UpdateOutcome::StoppedBy by);
    // Stopped by the operator to be started again at once: their ends do
    // not count as the group's rest, which the start that follows tells.
    void stopToRestart(const QList<Lane *> &lanes);

    // Started, or waiting for its turn to start.
    bool isBusy(const Lane &lane) const { return isQueued(lane) || lane.isRunning(); }
    bool isQueued(const Lane &lane) const { return m_queue.contains(&lane); }
    bool anyBusy() const;
    bool anyIdle() const;
    // The units the lanes have updated and failed to, each by its lane.
    int passed() const;
    int failed() const;

signals:
    // In the order of the lanes given to start(), before any starts.
    void notStarted(const LaneGroup::Clash &clash);
    void queued(Lane *lane);
    // A queued lane's start has been made.
    void started(Lane *lane);
    // Every queued lane has started.
    void queueEmpty();
    // A lane has come to rest: it finished, or left the queue unstarted.
    void laneRested(Lane *lane);
    // No lane runs or waits to start any more, after a start or a stop.
    void atRest();

private:
    void connectLane(Lane &lane);
    void startNextQueued();
    void checkRest();

    Starting m_starting;
    std::vector<std::unique_ptr<Lane>> m_lanes;
    QList<const Lane *> m_queue;
    Starter m_starter; // what the queued lanes start with, the last start's
    QTimer m_startTimer;
    bool m_bulk = false; // lanes are being started or stopped together: none is the last yet
};
