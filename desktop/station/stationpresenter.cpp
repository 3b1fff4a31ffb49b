#include "desktop/station/stationpresenter.h"

#include "core/common/counted.h"
#include "core/common/printablebytes.h"
#include "core/link/seriallink.h"
#include "desktop/station/historyview.h"
#include "desktop/station/laneeditor.h"
#include "desktop/station/stationwindow.h"
#include "desktop/widgets/messagepresenter.h"
#include "report/historytool.h"

#include <QBuffer>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <memory>

using namespace Qt::Literals::StringLiterals;
using namespace std::chrono_literals;

namespace {

// Units end together on many lanes: the History view reads the history
// once for all of them, this long after the first.
constexpr auto kHistoryRefreshDelay = 500ms;

// What the history says of a unit's last attempt: its outcome, image and
// time; every text from the history printable.
QString aboutLast(const std::optional<HistoryRow> &row)
{
    if (!row)
        return StationPresenter::tr("not in the history yet");
    const QString when
        = QDateTime::fromString(row->finished, Qt::ISODateWithMs).toLocalTime().toString(u"yyyy-MM-dd HH:mm:ss"_s);
    const QString image = QFileInfo(row->image).fileName();
    return StationPresenter::tr("last attempt %1, %2, %3")
        .arg(row->ok ? StationPresenter::tr("PASS")
                     : StationPresenter::tr("FAIL (%1)").arg(printableText(row->outcome)),
             image.isEmpty() ? StationPresenter::tr("no image") : printableText(image), when);
}

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
    connect(window, &StationWindow::laneSerialEntered, this, &StationPresenter::enterSerial);
    connect(window, &StationWindow::historyRequested, this, &StationPresenter::showHistory);
    connect(window->historyView()->reportButton, &QPushButton::clicked, this, &StationPresenter::writeReport);
    connect(window, &StationWindow::serialRequiredChanged, this,
            [this](bool required) { m_lanes.store()->setSerialRequired(required); });
    m_historyRefresh.setSingleShot(true);
    m_historyRefresh.setInterval(kHistoryRefreshDelay);
    connect(&m_historyRefresh, &QTimer::timeout, this, &StationPresenter::refreshHistory);
    connect(&m_lanes, &StationLanes::unitEnded, this, [this] {
        if (m_window->historyViewShown() && !m_historyRefresh.isActive())
            m_historyRefresh.start();
    });
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
    // Opened once for the whole station; an update whose record cannot be
    // kept is not started, as in both other programs.
    if (!m_recordPath.isEmpty() && !m_record.isOpen() && !m_record.open(m_recordPath, m_image.path())) {
        UpdateOutcome outcome = UpdateSequence::outcomeFor(UpdateOutcome::Kind::RecordError);
        outcome.recordError = m_record.error();
        tell(outcome);
        return false;
    }
    if (m_history.enabled() && !m_historyKeeps) {
        if (!m_history.open()) {
            UpdateOutcome outcome = UpdateSequence::outcomeFor(UpdateOutcome::Kind::HistoryError);
            outcome.recordError = m_history.error();
            tell(outcome);
            return false;
        }
        m_record.setKeeper(m_history.store());
        m_historyKeeps = true;
        if (HistoryForwarder *forwarder = m_history.forwarder()) {
            const auto showWaiting = [this, forwarder] {
                const qint64 waiting = forwarder->waiting();
                m_window->setServerWaiting(waiting > 0
                                               ? tr("%1 waiting for the server").arg(counted(waiting, u"record"))
                                               : QString(),
                                           StationLanes::bounded(printableText(forwarder->lastError())));
            };
            connect(forwarder, &HistoryForwarder::waitingChanged, this, showWaiting);
            connect(forwarder, &HistoryForwarder::errorChanged, this, showWaiting);
            connect(&m_lanes, &StationLanes::unitEnded, forwarder, &HistoryForwarder::forwardSoon);
        }
    }
    if (m_record.isActive())
        m_lanes.setRecord(&m_record);
    return true;
}

void StationPresenter::setHistory(const HistoryOptions::Settings &settings)
{
    m_history.setSettings(settings);
    m_lanes.setHistory(settings.enabled ? &m_history : nullptr);
    m_window->setHistoryKept(settings.enabled);
}

void StationPresenter::startAll()
{
    QList<StationLane *> idle;
    for (const auto &lane : m_lanes.all()) {
        if (!m_lanes.busy(*lane))
            idle << lane.get();
    }
    if (idle.isEmpty() || !readyToSend())
        return;
    QList<UnitStart> units;
    for (StationLane *lane : std::as_const(idle))
        units << unitFor(*lane);
    beginUnits(units);
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
    // The same unit again: its serial too.
    for (StationLane *lane : std::as_const(failed))
        lane->retryLast = true;
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
        beginUnits({unitFor(*lane)});
}

void StationPresenter::enterSerial(int index, const QString &text)
{
    if (index < 0 || index >= laneCount() || !m_history.enabled())
        return;
    StationLane &lane = m_lanes.at(index);
    if (!m_lanes.busy(lane)) {
        if (readyToSend())
            beginUnits({{&lane, text}});
        return;
    }
    if (text.trimmed().isEmpty())
        return;
    // Watch is changed only at rest: as the window shows it, the lanes run.
    if (!m_window->watch()) {
        refuseLane(lane, tr("A unit is being updated on this lane: enter the next one's serial once it has ended"));
        return;
    }
    beginUnits({{&lane, text}});
}

StationPresenter::UnitStart StationPresenter::unitFor(StationLane &lane)
{
    if (!m_history.enabled())
        return {&lane, {}};
    // What is typed is the latest word; else what was entered while it watched.
    const QString typed = m_window->serialText(m_group.indexOf(lane.lane));
    if (!typed.trimmed().isEmpty())
        return {&lane, typed};
    return {&lane, lane.nextSerial, !lane.nextSerial.isEmpty()};
}

void StationPresenter::beginUnits(const QList<UnitStart> &units)
{
    QList<StationLane *> start;
    QList<Again> again;
    for (const UnitStart &unit : units) {
        StationLane &lane = *unit.lane;
        const bool busy = m_lanes.busy(lane);
        if (!busy)
            lane.retryLast = false;
        // A scanner's label may carry a space at either end; a serial never does.
        const QString serial = unit.serial.trimmed();
        if (!m_history.enabled() || unit.held || serial.isEmpty()) {
            if (serial.isEmpty() && m_window->serialRequired()) {
                refuseLane(lane, tr("Not started: no unit serial (serial required): scan it into the lane's field"));
                continue;
            }
            if (!busy)
                start << &lane;
            continue;
        }
        QString error;
        if (!HistoryOptions::checkText(tr("the unit serial"), serial, &error)) {
            refuseLane(lane, tr("Not started: %1").arg(StationLanes::bounded(error)));
            continue;
        }
        std::optional<HistoryRow> last;
        if (!m_history.lastAttempt(serial, &last)) {
            refuseLane(lane, tr("Not started: %1").arg(StationLanes::bounded(printableText(m_history.error()))));
            continue;
        }
        // Taken: the field is free for the next scan.
        m_window->setSerialText(m_group.indexOf(lane.lane), {});
        lane.serialProblem.clear();
        // Updated again only when asked: it holds this very image, unless
        // something since put other firmware on it.
        if (last && last->ok && last->imageSha256 == m_image.sha256Text() && !last->imageSha256.isEmpty()) {
            again << Again{lane.lane, serial, aboutLast(last)};
            markDirty(&lane);
            continue;
        }
        lane.nextSerial = serial;
        lane.nextAbout = aboutLast(last);
        markDirty(&lane);
        if (!busy)
            start << &lane;
    }
    if (!start.isEmpty())
        startLanes(start, false);
    if (!again.isEmpty())
        askAgain(again);
}

void StationPresenter::askAgain(const QList<Again> &again)
{
    QStringList units;
    for (const Again &a : again)
        units << tr("%1 (%2)").arg(printableText(a.serial), a.about);
    const QString prompt = again.size() == 1
        ? tr("Unit %1 was updated with this image already. Update it again?").arg(units.constFirst())
        : tr("These units were updated with this image already: %1. Update them again?").arg(units.join(u", "_s));
    // No is the default: a scanner's Return never says Yes.
    m_messages->ask(m_window, {prompt, m_window->windowTitle(), Message::Icon::Critical}, [this, again] {
        QList<StationLane *> start;
        for (const Again &a : again) {
            // Removed meanwhile, or its port changed: no longer that unit's lane.
            StationLane *lane = m_lanes.of(a.lane);
            if (!lane)
                continue;
            lane->nextSerial = a.serial;
            lane->nextAbout = a.about;
            markDirty(lane);
            if (!m_lanes.busy(*lane))
                start << lane;
        }
        if (!start.isEmpty() && readyToSend())
            startLanes(start, false);
    });
}

void StationPresenter::refuseLane(StationLane &lane, const QString &why)
{
    if (m_lanes.busy(lane)) {
        lane.serialProblem = why;
    } else {
        // Whatever it showed was another unit's.
        lane.detail = why;
        lane.causes = why;
        m_lanes.setShown(lane, UnitEnd::NotStarted);
    }
    markDirty(&lane);
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

void StationPresenter::startLanes(const QList<StationLane *> &requested, bool sameUnits)
{
    QList<StationLane *> lanes = requested;
    if (m_history.enabled()) {
        // The history tells lanes by their names (a serial is given to a
        // name): two lanes of one name would take each other's serials.
        QStringList names;
        for (const auto &lane : m_lanes.all()) {
            if (m_lanes.busy(*lane))
                names << StationHistory::keyOf(lane->entry);
        }
        lanes.clear();
        for (StationLane *lane : requested) {
            const QString name = StationHistory::keyOf(lane->entry);
            if (names.contains(name)) {
                refuseLane(*lane,
                           tr("Not started: another lane is named %1 too, and the history tells lanes by "
                              "their names: rename one")
                               .arg(printableText(name)));
                continue;
            }
            names << name;
            lanes << lane;
        }
        if (lanes.isEmpty())
            return;
    }
    m_lanes.setSerialRequired(m_window->serialRequired());
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
    m_window->setLaneView(index,
                          TileRedraws::viewOf(lane, m_lanes.queued(lane), m_lanes.busy(lane),
                                              m_lanes.serialRequired()));
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

void StationPresenter::showHistory()
{
    if (!m_history.enabled())
        return;
    refreshHistory();
    HistoryView *view = m_window->historyView();
    view->show();
    view->raise();
    view->activateWindow();
}

void StationPresenter::writeReport()
{
    if (m_reporting || !m_history.enabled())
        return;
    m_reporting = true;
    QPushButton *button = m_window->historyView()->reportButton;
    button->setEnabled(false);
    const QString history = m_history.path();
    const QString out = QFileInfo(history).absoluteDir().filePath(u"wexel-report.html"_s);
    // A long history takes seconds to tally: never on the lanes' thread.
    auto error = std::make_shared<QString>();
    QThread *maker = QThread::create([history, out, error] {
        QByteArray said;
        QBuffer output;
        QBuffer messages(&said);
        output.open(QIODevice::WriteOnly);
        messages.open(QIODevice::WriteOnly);
        HistoryTool tool(output, messages);
        if (tool.run({u"wexel-history"_s, u"--history"_s, history, u"html"_s, out}) != HistoryExit::kSuccess)
            *error = QString::fromUtf8(said).section(u'\n', 0, 0).remove(u"wexel-history: "_s);
    });
    connect(maker, &QThread::finished, this, [this, maker, button, out, error] {
        maker->deleteLater();
        m_reporting = false;
        button->setEnabled(true);
        if (!error->isEmpty()) {
            m_messages->show(m_window,
                             {tr("The report cannot be made"), m_window->windowTitle(), Message::Icon::Critical},
                             {StationLanes::bounded(printableText(*error))});
            return;
        }
        if (!QDesktopServices::openUrl(QUrl::fromLocalFile(out)))
            m_messages->show(m_window,
                             {tr("The report is in %1").arg(printableText(out)), m_window->windowTitle(),
                              Message::Icon::Information},
                             {tr("no browser could be opened: open the file in one")});
    });
    maker->start();
}

void StationPresenter::refreshHistory()
{
    HistoryView::Content content;
    StationHistory::Today today;
    if (!m_history.today(&today))
        content.problem = StationLanes::bounded(printableText(m_history.error()));
    for (const StationHistory::LaneCounts &lane : std::as_const(today.lanes)) {
        const int units = lane.passed + lane.failed;
        content.counts << QStringList{printableText(lane.lane), QString::number(lane.attempts),
                                      QString::number(lane.passed), QString::number(lane.failed),
                                      units == 0 ? u"-"_s : u"%1 %"_s.arg(100.0 * lane.firstPass / units, 0, 'f', 1)};
    }
    const QDate todayDate = QDate::currentDate();
    for (const HistoryRow &row : std::as_const(today.recent)) {
        const QDateTime finished = QDateTime::fromString(row.finished, Qt::ISODateWithMs).toLocalTime();
        content.recent << QStringList{finished.toString(finished.date() == todayDate ? u"HH:mm:ss"_s
                                                                                     : u"yyyy-MM-dd HH:mm"_s),
                                      printableText(row.lane.isEmpty() ? row.port : row.lane),
                                      row.unitSerial.isEmpty() ? u"-"_s : printableText(row.unitSerial),
                                      row.ok ? tr("PASS") : tr("FAIL (%1)").arg(printableText(row.outcome))};
    }
    m_window->historyView()->setContent(content);
}

QList<StationPresenter::LaneStats> StationPresenter::laneStats() const
{
    QList<LaneStats> stats;
    for (const auto &lane : m_lanes.all())
        stats.append({lane->entry.name, lane->redraws, lane->busiestSecond});
    return stats;
}
