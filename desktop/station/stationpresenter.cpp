#include "desktop/station/stationpresenter.h"

#include "core/common/printablebytes.h"
#include "core/link/seriallink.h"
#include "desktop/station/laneeditor.h"
#include "desktop/station/stationwindow.h"
#include "desktop/widgets/messagepresenter.h"

#include <QTimer>

#include <algorithm>

namespace {

QList<Lane *> lanesOf(const QList<StationLane *> &lanes)
{
    QList<Lane *> of;
    for (const StationLane *lane : lanes)
        of << lane->lane;
    return of;
}

} // namespace

StationPresenter::StationPresenter(StationWindow *window, MessagePresenter *messages, LaneStore *store,
                                   const Lane::Settings &laneSettings, QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_messages(messages)
    , m_laneSettings(laneSettings)
    , m_lanes(store, &m_group)
    , m_redraws(
          &m_lanes, [this](int index) { drawLane(index); }, [this] { drawCounters(); })
{
    m_runClock.start();
    connect(&m_image, &StationImage::loaded, this, &StationPresenter::handleImageLoaded);

    connect(window, &StationWindow::imageChosen, this, &StationPresenter::chooseImage);
    connect(window, &StationWindow::startAllRequested, this, &StationPresenter::startAll);
    connect(window, &StationWindow::retryFailedRequested, this, &StationPresenter::retryFailed);
    connect(window, &StationWindow::stopAllRequested, this, &StationPresenter::stopAll);
    connect(window, &StationWindow::stopForSignalRequested, this, &StationPresenter::stopForSignal);
    connect(window, &StationWindow::addLaneRequested, this, [this] { editLane(-1); });
    connect(window, &StationWindow::laneStartStopRequested, this, &StationPresenter::startOrStop);
    connect(window, &StationWindow::laneEditRequested, this, &StationPresenter::editLane);
    connect(window, &StationWindow::laneRemoveRequested, this, &StationPresenter::removeLane);
    connect(window, &StationWindow::expectedShaChanged, this, [this](const QString &text) {
        m_image.setExpected(text);
        showComparison();
    });

    // Two lanes on one device would interleave their lines: the second is
    // not started, and its tile says which lane has the device.
    connect(&m_lanes, &StationLanes::laneChanged, this, &StationPresenter::markDirty);
    connect(&m_lanes, &StationLanes::laneStateChanged, this, [this](StationLane *lane) {
        markDirty(lane);
        updateControls();
    });
    connect(&m_lanes, &StationLanes::countsChanged, &m_redraws, &TileRedraws::markCountersDirty);

    connect(&m_group, &LaneGroup::notStarted, this, [this](const LaneGroup::Clash &clash) {
        StationLane *s = m_lanes.of(clash.lane);
        // Whatever it showed was another unit's: the one there now is untouched.
        s->detail = tr("not started: %1 is the port of %2 too")
                        .arg(printableText(clash.key), printableText(m_lanes.of(clash.other)->entry.name));
        s->causes = s->detail;
        m_lanes.setShown(*s, UnitEnd::NotStarted);
        markDirty(s);
    });
    connect(&m_group, &LaneGroup::queued, this, [this](Lane *lane) {
        StationLane *s = m_lanes.of(lane);
        s->sameUnit = m_sameUnits;
        s->detail.clear();
        s->causes.clear();
        m_lanes.setShown(*s, std::nullopt);
        markDirty(s);
    });
    connect(&m_group, &LaneGroup::started, this, [this](Lane *lane) { markDirty(m_lanes.of(lane)); });
    // The adapters' serial numbers, for the tiles: listing them reads the
    // system's device tree, a turn of its own once every lane has started.
    connect(&m_group, &LaneGroup::queueEmpty, this,
            [this] { QTimer::singleShot(0, this, &StationPresenter::listAdapters); });
    connect(&m_group, &LaneGroup::laneRested, this, [this](Lane *lane) {
        if (StationLane *s = m_lanes.of(lane))
            markDirty(s);
        updateControls();
    });
    connect(&m_group, &LaneGroup::atRest, this, [this] {
        updateControls();
        reachedRest();
    });
    m_redraws.drawCountersNow();
    updateControls();
}

StationPresenter::~StationPresenter() = default;

LaneEditor *StationPresenter::editor()
{
    if (!m_editor) {
        m_editor = new LaneEditor(m_window);
        connect(m_editor, &LaneEditor::laneAccepted, this, &StationPresenter::handleLaneAccepted);
    }
    return m_editor;
}

void StationPresenter::loadLanes()
{
    for (const LaneStore::Entry &entry : m_lanes.store()->load())
        addLane(entry);
    updateControls();
}

void StationPresenter::setLanes(const QList<LaneStore::Entry> &lanes)
{
    m_lanes.setKept(false);
    for (const LaneStore::Entry &entry : lanes)
        addLane(entry);
    updateControls();
}

StationLane &StationPresenter::addLane(const LaneStore::Entry &entry)
{
    StationLane &added = m_lanes.add(entry);
    m_window->addLane();
    refreshDevice(added);
    // Drawn at once: a new tile must not stand empty for a tick.
    drawLane(m_lanes.size() - 1);
    return added;
}

// --- The image -------------------------------------------------------------

void StationPresenter::chooseImage(const QString &path)
{
    // The image of lanes that run stays theirs: Stop first.
    if (anyRunning() || path.isEmpty())
        return;
    m_image.choose(path);
    m_window->setImageChosen(m_image.nameText(), m_image.pathText());
    m_window->setImageSummary(m_image.summaryText(), QString());
    showComparison();
    updateControls();
}

void StationPresenter::handleImageLoaded()
{
    m_window->setImageSummary(m_image.summaryText(), m_image.sha256Text());
    if (const std::optional<UpdateOutcome> refused = m_image.refusal())
        tell(*refused);
    showComparison();
    updateControls();
    // The start --start asked for is made now, or refused (its message
    // said why); either way it was for this image only.
    if (std::exchange(m_startWhenReady, false)) {
        if (m_image.state() == StationImage::State::Ready)
            startAll();
        if (!anyRunning())
            emit startRefused();
    }
}

void StationPresenter::showComparison()
{
    const StationImage::Comparison comparison = m_image.comparison();
    m_window->setExpectedState(comparison.text, comparison.style);
}

// --- Starting and stopping ---------------------------------------------------

bool StationPresenter::readyToSend()
{
    // While it is read, the lanes start once it has been, if --start asked;
    // a key pressed meanwhile does nothing.
    if (m_image.state() == StationImage::State::Reading)
        return false;
    if (const std::optional<UpdateOutcome> refused = m_image.refusal()) {
        tell(*refused);
        return false;
    }
    if (const std::optional<StationImage::Mismatch> wrong = m_image.mismatch()) {
        m_messages->show(m_window, wrong->message, wrong->causes);
        return false;
    }
    return setUpRecord();
}

void StationPresenter::tell(const UpdateOutcome &outcome)
{
    // The station's own words: the desktop program's prompts are its own,
    // and name no reason. The causes stay one click away.
    const Message message{StationLanes::bounded(outcome.operatorCause()), m_window->windowTitle(),
                          Message::Icon::Critical};
    m_messages->show(m_window, message, outcome.causes());
}

bool StationPresenter::setUpRecord()
{
    if (m_recordPath.isEmpty() || m_record.isOpen())
        return true;
    // Opened once for the whole station; an update whose record cannot be
    // kept is not started, as in both other programs.
    if (!m_record.open(m_recordPath, m_image.path())) {
        UpdateOutcome outcome = UpdateSequence::outcomeFor(UpdateOutcome::Kind::RecordError);
        outcome.recordError = m_record.error();
        tell(outcome);
        return false;
    }
    m_lanes.setRecord(&m_record);
    return true;
}

void StationPresenter::startAll()
{
    QList<StationLane *> idle;
    for (const auto &lane : m_lanes.all()) {
        if (!m_lanes.busy(*lane))
            idle << lane.get();
    }
    if (!idle.isEmpty() && readyToSend())
        startLanes(idle, false);
}

void StationPresenter::retryFailed()
{
    QList<StationLane *> failed;
    for (const auto &lane : m_lanes.all()) {
        if (StationLanes::unitFailed(*lane))
            failed << lane.get();
    }
    if (failed.isEmpty() || !readyToSend())
        return;
    // A watching lane waits for its failed unit to go before it looks for
    // the next: Ctrl+R takes the unit that stays as a new one.
    m_group.stopToRestart(lanesOf(failed));
    startLanes(failed, true);
}

void StationPresenter::startOrStop(int index)
{
    if (index < 0 || index >= laneCount())
        return;
    StationLane *lane = &m_lanes.at(index);
    if (m_lanes.busy(*lane))
        m_group.stop(lane->lane, UpdateOutcome::StoppedBy::Operator);
    else if (readyToSend())
        startLanes({lane}, false);
}

void StationPresenter::stopAll()
{
    m_group.stopAll(UpdateOutcome::StoppedBy::Operator);
}

void StationPresenter::stopForSignal()
{
    m_group.stopAll(UpdateOutcome::StoppedBy::Signal);
}

void StationPresenter::reachedRest()
{
    m_runMs = m_runClock.elapsed() - m_runStartMs;
    emit atRest();
}

void StationPresenter::startLanes(const QList<StationLane *> &lanes, bool sameUnits)
{
    if (!anyRunning()) {
        m_runStartMs = m_runClock.elapsed();
        emit runStarted();
    }
    Lane::Settings settings = m_laneSettings;
    settings.watch = m_window->watch();
    settings.retries = m_window->retries();
    // The devices the ports lead to now, by-id links followed: the rule
    // compares those, and the tiles show them.
    for (const auto &lane : m_lanes.all()) {
        if (m_lanes.busy(*lane) || lanes.contains(lane.get()))
            refreshDevice(*lane);
    }
    m_sameUnits = sameUnits;
    m_group.start(lanesOf(lanes), [this, settings](Lane &lane) {
        lane.setSettings(settings);
        lane.setName(m_lanes.of(&lane)->entry.name);
        lane.start(m_image.image(), m_image.path());
    });
    updateControls();
}

void StationPresenter::listAdapters()
{
    m_devices = PortCatalog::devices();
    for (const auto &lane : m_lanes.all()) {
        refreshDevice(*lane);
        markDirty(lane.get());
    }
}

// --- Lanes added, changed and removed ----------------------------------------

void StationPresenter::editLane(int index)
{
    if (index >= laneCount() || (index >= 0 && m_lanes.busy(m_lanes.at(index))))
        return;
    if (index < 0 && laneCount() >= LaneStore::kMaxLanes)
        return;
    m_devices = PortCatalog::devices();
    QList<LaneEditor::Offer> offers;
    // Stable paths first: the ones a lane should be bound to.
    for (const PortCatalog::StableLink &link : PortCatalog::stableLinks(m_stableLinkDirectory)) {
        QString about = link.target;
        if (const auto device = PortCatalog::find(m_devices, link.target); device && !device->serialNumber.isEmpty())
            about += tr(", serial number %1").arg(printableText(device->serialNumber));
        offers.append({link.path, about, link.target});
    }
    for (const PortCatalog::Device &device : std::as_const(m_devices))
        offers.append({device.location, printableText(device.summary()), {}});
    for (const QString &com : PortCatalog::comItems())
        offers.append({com, {}, {}});
    QList<LaneEditor::OtherLane> others;
    for (int i = 0; i < laneCount(); ++i) {
        if (i != index)
            others.append({m_lanes.at(i).entry.name, m_lanes.at(i).entry.port});
    }
    if (index < 0)
        editor()->edit(-1, tr("Lane %1").arg(laneCount() + 1), QString(), offers, others);
    else
        editor()->edit(index, m_lanes.at(index).entry.name, m_lanes.at(index).entry.port, offers, others);
}

void StationPresenter::handleLaneAccepted(int index, const QString &name, const QString &port)
{
    const LaneStore::Entry entry = LaneStore::bounded({name, port});
    if (entry.port.isEmpty()) {
        tell(UpdateSequence::outcomeFor(UpdateOutcome::Kind::NoPort));
        return;
    }
    if (index < 0) {
        if (laneCount() < LaneStore::kMaxLanes)
            addLane(entry);
    } else if (index < laneCount()) {
        StationLane &lane = m_lanes.at(index);
        // Started since the editor opened: its port stays until it stops.
        if (m_lanes.busy(lane))
            return;
        m_lanes.change(index, entry);
        refreshDevice(lane);
        markDirty(&lane);
    }
    m_lanes.save();
    updateControls();
}

void StationPresenter::removeLane(int index)
{
    if (index < 0 || index >= laneCount() || m_lanes.busy(m_lanes.at(index)))
        return;
    m_window->removeLane(index);
    m_lanes.remove(index);
    m_lanes.save();
    updateControls();
    m_redraws.drawCountersNow();
}

// --- What the window shows ---------------------------------------------------

void StationPresenter::refreshDevice(StationLane &lane)
{
    lane.device = SerialLink::deviceForPortText(lane.entry.port);
    const auto found = PortCatalog::find(m_devices, lane.device);
    lane.serialNumber = found ? found->serialNumber : QString();
}

void StationPresenter::drawLane(int index)
{
    const StationLane &lane = m_lanes.at(index);
    m_window->setLaneView(index, TileRedraws::viewOf(lane, m_lanes.queued(lane), m_lanes.busy(lane)));
}

void StationPresenter::drawCounters()
{
    const TileRedraws::Counters counters = TileRedraws::countersOf(m_lanes);
    m_window->setLaneCounts(counters.passed, counters.failed, counters.total);
}

void StationPresenter::updateControls()
{
    const bool running = anyRunning();
    const bool ready = m_image.state() == StationImage::State::Ready;
    const auto &lanes = m_lanes.all();
    StationWindow::Controls controls;
    controls.running = running;
    controls.canChoose = !running && m_image.state() != StationImage::State::Reading;
    controls.canStart = ready && m_group.anyIdle();
    controls.canRetry
        = ready && std::any_of(lanes.begin(), lanes.end(), [](const auto &l) { return StationLanes::unitFailed(*l); });
    controls.canAddLane = laneCount() < LaneStore::kMaxLanes;
    m_window->setControls(controls);
}

QList<StationPresenter::LaneStats> StationPresenter::laneStats() const
{
    QList<LaneStats> stats;
    for (const auto &lane : m_lanes.all())
        stats.append({lane->entry.name, lane->redraws, lane->busiestSecond});
    return stats;
}
