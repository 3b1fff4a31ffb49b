#include "desktop/station/tileredraws.h"

#include "core/common/printablebytes.h"

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

TileRedraws::TileRedraws(const StationLanes *lanes, std::function<void(int)> drawLane,
                         std::function<void()> drawCounters, QObject *parent)
    : QObject(parent)
    , m_lanes(lanes)
    , m_drawLane(std::move(drawLane))
    , m_drawCounters(std::move(drawCounters))
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(kRedrawInterval);
    m_clock.start();
    connect(&m_timer, &QTimer::timeout, this, &TileRedraws::redraw);
}

void TileRedraws::markDirty(StationLane &lane)
{
    lane.dirty = true;
    if (!m_timer.isActive())
        m_timer.start();
}

void TileRedraws::markCountersDirty()
{
    m_countersDirty = true;
}

void TileRedraws::drawCountersNow()
{
    m_countersDirty = false;
    m_drawCounters();
}

void TileRedraws::redraw()
{
    bool drew = false;
    const qint64 now = m_clock.elapsed();
    for (int i = 0; i < m_lanes->size(); ++i) {
        StationLane &lane = m_lanes->at(i);
        if (!lane.dirty)
            continue;
        lane.dirty = false;
        m_drawLane(i);
        drew = true;
        ++lane.redraws;
        auto &recent = lane.recentRedraws;
        while (!recent.empty() && recent.front() <= now - 1000)
            recent.pop_front();
        recent.push_back(now);
        lane.busiestSecond = std::max(lane.busiestSecond, int(recent.size()));
    }
    if (m_countersDirty) {
        drawCountersNow();
        drew = true;
    }
    // Nothing changed for a whole tick: the timer rests until something does.
    if (!drew)
        m_timer.stop();
}

QString TileRedraws::serialNoteOf(const StationLane &slot, bool waitingForSerial, bool *warning)
{
    *warning = false;
    if (!slot.serialProblem.isEmpty()) {
        *warning = true;
        return slot.serialProblem;
    }
    const auto withAbout = [](const QString &text, const QString &about) {
        return about.isEmpty() ? text : tr("%1: %2").arg(text, about);
    };
    if (!slot.unitSerial.isEmpty()) {
        const QString unit = withAbout(tr("Unit %1").arg(printableText(slot.unitSerial)), slot.unitAbout);
        return slot.nextSerial.isEmpty() ? unit : tr("%1; next %2").arg(unit, printableText(slot.nextSerial));
    }
    if (!slot.nextSerial.isEmpty())
        return withAbout(tr("Next unit %1").arg(printableText(slot.nextSerial)), slot.nextAbout);
    if (waitingForSerial) {
        *warning = true;
        return tr("Serial required: enter the next unit's serial, then it is updated");
    }
    return {};
}

LaneView TileRedraws::viewOf(const StationLane &slot, bool queued, bool busy, bool serialRequired)
{
    using Phase = LaneView::Phase;
    const Lane &lane = *slot.lane;
    LaneView view;
    view.name = printableText(slot.entry.name);
    view.port = printableText(slot.entry.port);
    view.device = printableText(slot.device);
    view.serialNumber = printableText(slot.serialNumber);
    switch (lane.state()) {
    case Lane::State::Idle:
        view.phase = Phase::Idle;
        break;
    case Lane::State::Waiting:
        view.phase = Phase::Waiting;
        break;
    case Lane::State::Updating:
        switch (slot.lane->update().state()) {
        case UpdateSequence::State::Erasing:
            view.phase = Phase::Erasing;
            break;
        case UpdateSequence::State::HandingOver:
            view.phase = Phase::HandingOver;
            break;
        case UpdateSequence::State::Writing:
            view.phase = Phase::Writing;
            break;
        default:
            view.phase = Phase::Starting;
            break;
        }
        break;
    case Lane::State::Retrying:
        view.phase = Phase::Retrying;
        break;
    case Lane::State::Passed:
        view.phase = Phase::Passed;
        break;
    case Lane::State::Failed:
        view.phase = Phase::Failed;
        break;
    }
    view.erasePercent = slot.erasePercent;
    view.linesSent = slot.linesSent;
    view.linesTotal = slot.linesTotal;
    view.attempt = lane.attempt();
    view.attempts = lane.attempts();
    view.detail = slot.detail;
    view.causes = slot.causes;
    const auto phaseOf = [](UnitEnd end) {
        switch (end) {
        case UnitEnd::Passed:
            return Phase::Passed;
        case UnitEnd::Failed:
            break;
        case UnitEnd::Stopped:
            return Phase::Stopped;
        case UnitEnd::NotStarted:
            return Phase::NotStarted;
        }
        return Phase::Failed;
    };
    // The word is about the unit on the lane now: a lane at rest shows how
    // its last start ended, a refused one included, whatever the lane's
    // previous unit did.
    if (slot.shown && (view.phase == Phase::Idle || view.phase == Phase::Passed || view.phase == Phase::Failed))
        view.phase = phaseOf(*slot.shown);
    if (view.phase == Phase::Waiting && slot.shown == UnitEnd::Failed) {
        // A failed unit that was pulled stays a failure in view until the
        // next one arrives, not an empty bay.
        view.phase = Phase::Failed;
        view.detail = tr("%1 (the unit has gone; waiting for the next)").arg(slot.detail);
    } else if (view.phase == Phase::Waiting) {
        view.detail = slot.shown == UnitEnd::Passed
            ? tr("last unit PASS at %1; waiting for the next").arg(lane.lastFinished().toString(u"HH:mm:ss"_s))
            : tr("waiting for a unit to answer on the port");
        if (!lane.busyHolder().isEmpty())
            view.detail = tr("busy, in use by %1").arg(printableText(lane.busyHolder()));
    } else if (view.phase == Phase::Passed && lane.isRunning()) {
        // Behind an adapter that stays, the next unit answers as this one
        // did: it is told apart only by this one's absence.
        view.detail = tr("PASS - remove the unit (the next is seen once this one has been gone %1 ms)")
                          .arg(lane.settings().goneAfter.count());
    }
    // A watching lane that needs a serial for the next unit says so while
    // it waits: the unit that arrives is not updated until it has one.
    const bool waitingForSerial = serialRequired && lane.isRunning() && lane.state() == Lane::State::Waiting
        && slot.nextSerial.isEmpty() && !slot.retryLast;
    view.serialNote = serialNoteOf(slot, waitingForSerial, &view.serialWarning);
    view.lastSerial = printableText(slot.lastSerial);
    view.recordProblem = slot.recordProblem;
    view.recordNotice = slot.recordNotice;
    view.lastFinished = lane.lastFinished();
    view.passed = slot.passed;
    view.failed = slot.failed;
    if (queued)
        view.phase = Phase::Starting;
    view.running = busy;
    view.canEdit = !view.running;
    return view;
}

TileRedraws::Counters TileRedraws::countersOf(const StationLanes &lanes)
{
    const int passed = lanes.passed();
    const int failed = lanes.failed();
    const int total = passed + failed;
    Counters counters{tr("PASSED %1").arg(passed), tr("FAILED %1").arg(failed), {}};
    counters.total = total == 0 ? tr("TOTAL 0")
                                : tr("TOTAL %1, yield %2 %, first pass %3 %")
                                      .arg(total)
                                      .arg(100.0 * passed / total, 0, 'f', 1)
                                      .arg(100.0 * lanes.firstPass() / total, 0, 'f', 1);
    int notStarted = 0;
    int stopped = 0;
    for (const auto &lane : lanes.all()) {
        if (lanes.busy(*lane))
            continue;
        notStarted += lane->shown == UnitEnd::NotStarted;
        stopped += lane->shown == UnitEnd::Stopped;
    }
    if (notStarted > 0)
        counters.total += tr("; not started %1").arg(notStarted);
    if (stopped > 0)
        counters.total += tr("; stopped %1").arg(stopped);
    return counters;
}
