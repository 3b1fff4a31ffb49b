#include "core/update/lanegroup.h"

#include "core/link/seriallink.h"

#include <QHash>

#include <algorithm>

LaneGroup::LaneGroup(Starting starting, QObject *parent)
    : QObject(parent)
    , m_starting(starting)
{
    // A zero timer fires once per turn, after the events that came meanwhile.
    m_startTimer.setInterval(0);
    connect(&m_startTimer, &QTimer::timeout, this, &LaneGroup::startNextQueued);
}

LaneGroup::~LaneGroup() = default;

Lane &LaneGroup::add(const QString &portText)
{
    m_lanes.push_back(std::make_unique<Lane>(portText));
    connectLane(*m_lanes.back());
    return *m_lanes.back();
}

Lane &LaneGroup::replace(int index, const QString &portText)
{
    auto &slot = m_lanes.at(size_t(index));
    m_queue.removeOne(slot.get());
    slot = std::make_unique<Lane>(portText);
    connectLane(*slot);
    return *slot;
}

void LaneGroup::remove(int index)
{
    m_queue.removeOne(m_lanes.at(size_t(index)).get());
    m_lanes.erase(m_lanes.begin() + index);
}

int LaneGroup::indexOf(const Lane *lane) const
{
    for (size_t i = 0; i < m_lanes.size(); ++i) {
        if (m_lanes[i].get() == lane)
            return int(i);
    }
    return -1;
}

void LaneGroup::connectLane(Lane &lane)
{
    Lane *l = &lane;
    connect(l, &Lane::finished, this, [this, l] {
        emit laneRested(l);
        checkRest();
    });
}

QString LaneGroup::deviceKey(const QString &portText)
{
    const QString device = SerialLink::deviceForPortText(portText);
    return device.isEmpty() ? portText : device;
}

QList<LaneGroup::Clash> LaneGroup::clashes(const QList<Lane *> &starting) const
{
    QHash<QString, Lane *> taken;
    for (const auto &lane : m_lanes) {
        if (isBusy(*lane) && !starting.contains(lane.get()))
            taken.insert(deviceKey(lane->portText()), lane.get());
    }
    QList<Clash> found;
    for (Lane *lane : starting) {
        const QString device = SerialLink::deviceForPortText(lane->portText());
        const QString key = device.isEmpty() ? lane->portText() : device;
        if (Lane *other = taken.value(key)) {
            found.append({lane, other, device, key});
            continue;
        }
        taken.insert(key, lane);
    }
    return found;
}

bool LaneGroup::start(const QList<Lane *> &lanes, Starter starter)
{
    QList<Lane *> free;
    const QList<Clash> clashing = clashes(lanes);
    for (Lane *lane : lanes) {
        const auto clash
            = std::find_if(clashing.begin(), clashing.end(), [lane](const Clash &c) { return c.lane == lane; });
        if (clash != clashing.end()) {
            emit notStarted(*clash);
            continue;
        }
        if (isBusy(*lane))
            continue;
        free.append(lane);
        if (m_starting == Starting::OnePerTurn) {
            m_queue.append(lane);
            emit queued(lane);
        }
    }
    if (m_starting == Starting::OnePerTurn) {
        m_starter = std::move(starter);
        if (!m_queue.isEmpty())
            m_startTimer.start();
        else
            checkRest();
        return !free.isEmpty();
    }
    // A lane that ends at once (no such port) is not the last to come to
    // rest while the others are still to start.
    m_bulk = true;
    for (Lane *lane : std::as_const(free))
        starter(*lane);
    m_bulk = false;
    checkRest();
    return !free.isEmpty();
}

bool LaneGroup::startAll(Starter starter)
{
    QList<Lane *> idle;
    for (const auto &lane : m_lanes) {
        if (!isBusy(*lane))
            idle << lane.get();
    }
    return start(idle, std::move(starter));
}

void LaneGroup::startNextQueued()
{
    if (m_queue.isEmpty()) {
        m_startTimer.stop();
        return;
    }
    Lane *lane = const_cast<Lane *>(m_queue.takeFirst());
    m_bulk = !m_queue.isEmpty();
    m_starter(*lane);
    m_bulk = false;
    emit started(lane);
    if (m_queue.isEmpty()) {
        m_startTimer.stop();
        emit queueEmpty();
    }
}

void LaneGroup::stop(Lane *lane, UpdateOutcome::StoppedBy by)
{
    if (m_queue.removeOne(lane)) {
        emit laneRested(lane);
        checkRest();
        return;
    }
    lane->stop(by);
}

void LaneGroup::stopAll(UpdateOutcome::StoppedBy by)
{
    // Those not started yet never will be; none has sent anything.
    m_bulk = true;
    for (const auto &lane : m_lanes)
        stop(lane.get(), by);
    m_bulk = false;
    checkRest();
}

void LaneGroup::stopToRestart(const QList<Lane *> &lanes)
{
    m_bulk = true;
    for (Lane *lane : lanes)
        stop(lane, UpdateOutcome::StoppedBy::Operator);
    m_bulk = false;
}

void LaneGroup::checkRest()
{
    if (!m_bulk && !anyBusy())
        emit atRest();
}

bool LaneGroup::anyBusy() const
{
    return std::any_of(m_lanes.begin(), m_lanes.end(), [this](const auto &l) { return isBusy(*l); });
}

bool LaneGroup::anyIdle() const
{
    return std::any_of(m_lanes.begin(), m_lanes.end(), [this](const auto &l) { return !isBusy(*l); });
}

int LaneGroup::passed() const
{
    int count = 0;
    for (const auto &lane : m_lanes)
        count += lane->passed();
    return count;
}

int LaneGroup::failed() const
{
    int count = 0;
    for (const auto &lane : m_lanes)
        count += lane->failed();
    return count;
}
