#include "desktop/station/stationlanes.h"

#include <QCoreApplication>

#include <algorithm>

StationLanes::StationLanes(LaneStore *store, LaneGroup *group)
    : m_store(store)
    , m_group(group)
{ }

StationLane &StationLanes::add(const LaneStore::Entry &entry)
{
    auto lane = std::make_unique<StationLane>();
    lane->entry = entry;
    if (lane->entry.name.isEmpty())
        lane->entry.name = QCoreApplication::translate("StationPresenter", "Lane %1").arg(m_lanes.size() + 1);
    lane->lane = &m_group->add(entry.port);
    m_lanes.push_back(std::move(lane));
    return *m_lanes.back();
}

bool StationLanes::change(int index, const LaneStore::Entry &entry)
{
    StationLane &lane = at(index);
    const bool moved = entry.port != lane.entry.port;
    if (moved) {
        lane.lane = &m_group->replace(index, entry.port);
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
    }
    lane.entry = entry;
    if (lane.entry.name.isEmpty())
        lane.entry.name = QCoreApplication::translate("StationPresenter", "Lane %1").arg(index + 1);
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
}

bool StationLanes::allPassed() const
{
    return !m_lanes.empty()
        && std::all_of(m_lanes.begin(), m_lanes.end(), [](const auto &l) { return l->shown == UnitEnd::Passed; });
}
