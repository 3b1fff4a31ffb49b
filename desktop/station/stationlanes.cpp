#include "desktop/station/stationlanes.h"

#include "desktop/station/stationhistory.h"

#include <QTime>

#include <algorithm>
#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace {

// A tile's cause is a few words; the whole of it is in its details and the
// record. Texts from outside (a record's error, a path) are cut to this.
constexpr qsizetype kMaxDetailLength = 300;

// How a lane's unit ended, as the station counts it: only a unit that was
// updated or failed to be counts; a stop or a start that never reached the
// unit is shown apart.
UnitEnd unitEnd(const UpdateOutcome &outcome, int attempt)
{
    using Kind = UpdateOutcome::Kind;
    if (outcome.succeeded())
        return UnitEnd::Passed;
    if (outcome.kind == Kind::Interrupted)
        return UnitEnd::Stopped;
    const bool untouched = attempt == 1 && !outcome.eraseSent && !outcome.earlier.mayBeErased;
    switch (outcome.kind) {
    case Kind::NoFile:
    case Kind::NoPort:
    case Kind::FileError:
    case Kind::PortError:
    case Kind::RecordError:
    case Kind::HistoryError:
        return untouched ? UnitEnd::NotStarted : UnitEnd::Failed;
    default:
        return UnitEnd::Failed;
    }
}

} // namespace

StationLanes::StationLanes(LaneStore *store, LaneGroup *group, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_group(group)
{ }

QString StationLanes::bounded(const QString &text)
{
    return text.size() > kMaxDetailLength ? text.left(kMaxDetailLength) + u"…"_s : text;
}

StationLane &StationLanes::add(const LaneStore::Entry &entry)
{
    auto lane = std::make_unique<StationLane>();
    lane->entry = entry;
    if (lane->entry.name.isEmpty())
        lane->entry.name = tr("Lane %1").arg(m_lanes.size() + 1);
    lane->lane = &m_group->add(entry.port);
    m_lanes.push_back(std::move(lane));
    connectLane(*m_lanes.back());
    return *m_lanes.back();
}

bool StationLanes::change(int index, const LaneStore::Entry &entry)
{
    StationLane &lane = at(index);
    const bool moved = entry.port != lane.entry.port;
    if (moved) {
        lane.lane = &m_group->replace(index, entry.port);
        connectLane(lane);
        lane.detail.clear();
        lane.causes.clear();
        lane.shown.reset();
        lane.countedPassed.reset();
        lane.sameUnit = false;
        lane.passed = 0;
        lane.failed = 0;
        lane.recordProblem.clear();
        lane.recordsLost = 0;
        lane.recordNotice.clear();
        // Another bay: no unit there has been named yet.
        lane.nextSerial.clear();
        lane.nextAbout.clear();
        lane.lastSerial.clear();
        lane.retryLast = false;
        lane.serialProblem.clear();
    }
    lane.entry = entry;
    if (lane.entry.name.isEmpty())
        lane.entry.name = tr("Lane %1").arg(index + 1);
    return moved;
}

void StationLanes::remove(int index)
{
    // The lane goes first: nothing it tells on its way reaches what it told it to.
    m_group->remove(index);
    m_lanes.erase(m_lanes.begin() + index);
}

void StationLanes::save()
{
    if (!m_kept)
        return;
    QList<LaneStore::Entry> entries;
    for (const auto &lane : m_lanes)
        entries << lane->entry;
    m_store->save(entries);
}

void StationLanes::connectLane(StationLane &lane)
{
    StationLane *s = &lane;
    Lane *l = lane.lane;
    if (m_record)
        l->setRecord(m_record);
    l->setArrivalCheck([this, s] { return !m_serialRequired || s->retryLast || !s->nextSerial.isEmpty(); });
    connect(l, &Lane::stateChanged, this, [this, s] { emit laneStateChanged(s); });
    connect(l, &Lane::busyChanged, this, [this, s] { emit laneChanged(s); });
    connect(l, &Lane::attemptStarted, this, [this, s](int attempt) {
        s->erasePercent = 0;
        s->linesSent = 0;
        s->linesTotal = 0;
        if (attempt == 1) {
            // A new unit has arrived, or the first attempt at one begins.
            s->detail.clear();
            s->causes.clear();
            setShown(*s, std::nullopt);
            if (m_history) {
                // Before its first record: every attempt at the unit carries it.
                if (std::exchange(s->retryLast, false)) {
                    s->unitSerial = s->lastSerial;
                    s->unitAbout.clear();
                } else {
                    s->unitSerial = std::exchange(s->nextSerial, {});
                    s->unitAbout = std::exchange(s->nextAbout, {});
                }
                s->serialProblem.clear();
                m_history->setUnitSerial(StationHistory::keyOf(s->entry), s->unitSerial);
            }
        }
        emit laneChanged(s);
    });
    UpdateSequence *update = &l->update();
    connect(update, &UpdateSequence::stateChanged, this, [this, s] { emit laneChanged(s); });
    connect(update, &UpdateSequence::eraseProgress, this, [this, s](int, int percent) {
        s->erasePercent = percent;
        emit laneChanged(s);
    });
    // Hundreds a second: two numbers kept, the tile redrawn on the next tick.
    connect(update, &UpdateSequence::lineSent, this, [this, s](int count, int total) {
        s->linesSent = count;
        s->linesTotal = total;
        emit laneChanged(s);
    });
    connect(l, &Lane::attemptFinished, this, [this, s](const UpdateOutcome &outcome) {
        if (!outcome.succeeded()) {
            s->detail = bounded(outcome.operatorCause());
            s->causes = outcome.causes().join(u'\n');
        }
        if (!outcome.recordError.isEmpty()) {
            // Never lost in silence: the lane says so until the window closes.
            ++s->recordsLost;
            s->recordProblem = tr("%n record(s) lost, the last: %1", nullptr, s->recordsLost)
                                   .arg(outcome.recordError.left(kMaxDetailLength));
        }
        // Rotated away: records go on, to a new file, and the lane tells where.
        if (!outcome.recordNotice.isEmpty())
            s->recordNotice
                = tr("%1 at %2")
                      .arg(outcome.recordNotice.left(kMaxDetailLength), QTime::currentTime().toString(u"HH:mm:ss"_s));
        emit laneChanged(s);
    });
    connect(l, &Lane::unitFinished, this, [this, s](const UpdateOutcome &outcome) {
        const UnitEnd end = unitEnd(outcome, s->lane->attempt());
        s->detail = bounded(outcome.operatorCause());
        s->causes = outcome.causes().join(u'\n');
        setShown(*s, end);
        if (end == UnitEnd::Passed || end == UnitEnd::Failed)
            countUnit(*s, end == UnitEnd::Passed);
        if (m_history) {
            // Its records are kept; nothing is kept under its serial again.
            m_history->setUnitSerial(StationHistory::keyOf(s->entry), {});
            s->lastSerial = std::exchange(s->unitSerial, {});
            s->unitAbout.clear();
        }
        emit laneChanged(s);
        emit unitEnded(s);
    });
}

void StationLanes::setRecord(RunRecord *record)
{
    m_record = record;
    for (const auto &lane : m_lanes)
        lane->lane->setRecord(record);
}

void StationLanes::setShown(StationLane &lane, std::optional<UnitEnd> end)
{
    lane.shown = end;
    emit countsChanged(); // the lanes not started and stopped are counted there
}

StationLane *StationLanes::of(const Lane *lane) const
{
    const int index = m_group->indexOf(lane);
    return index < 0 ? nullptr : m_lanes.at(size_t(index)).get();
}

bool StationLanes::unitFailed(const StationLane &lane)
{
    return lane.shown == UnitEnd::Failed && lane.lane->state() == Lane::State::Failed;
}

void StationLanes::countUnit(StationLane &lane, bool passed)
{
    // A unit is counted by its last attempt: a retry of one counted already
    // takes its count back first, and never passes at the first go.
    const bool retried = std::exchange(lane.sameUnit, false);
    if (retried && lane.countedPassed) {
        int &own = *lane.countedPassed ? lane.passed : lane.failed;
        int &station = *lane.countedPassed ? m_passed : m_failed;
        --own;
        --station;
    }
    lane.countedPassed = passed;
    ++(passed ? lane.passed : lane.failed);
    ++(passed ? m_passed : m_failed);
    if (passed && !retried && lane.lane->attempt() == 1)
        ++m_firstPass;
    emit countsChanged();
}

bool StationLanes::allPassed() const
{
    return !m_lanes.empty()
        && std::all_of(m_lanes.begin(), m_lanes.end(), [](const auto &l) { return l->shown == UnitEnd::Passed; });
}
