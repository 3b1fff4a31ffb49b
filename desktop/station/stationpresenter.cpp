#include "desktop/station/stationpresenter.h"

#include "core/common/counted.h"
#include "core/common/localpath.h"
#include "core/common/printablebytes.h"
#include "core/link/seriallink.h"
#include "desktop/panels/filedialog.h"
#include "desktop/station/laneeditor.h"
#include "desktop/station/lanewidget.h"
#include "desktop/station/sha256text.h"
#include "desktop/station/stationwindow.h"
#include "desktop/widgets/messagepresenter.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTime>

#include <algorithm>
#include <deque>

using namespace Qt::Literals::StringLiterals;

namespace {

// A tile's cause is a few words; the whole of it is in its details and the
// record. Texts from outside (a record's error, a path) are cut to this.
constexpr qsizetype kMaxDetailLength = 300;

QString bounded(const QString &text)
{
    return text.size() > kMaxDetailLength ? text.left(kMaxDetailLength) + u"…"_s : text;
}

// How a lane's unit ended, as the station counts it: only a unit that was
// updated or failed to be counts; a stop or a start that never reached the
// unit is shown apart.
StationPresenter::UnitEnd unitEnd(const UpdateOutcome &outcome, int attempt)
{
    using Kind = UpdateOutcome::Kind;
    using End = StationPresenter::UnitEnd;
    if (outcome.succeeded())
        return End::Passed;
    if (outcome.kind == Kind::Interrupted)
        return End::Stopped;
    const bool untouched = attempt == 1 && !outcome.eraseSent && !outcome.earlier.mayBeErased;
    switch (outcome.kind) {
    case Kind::NoFile:
    case Kind::NoPort:
    case Kind::FileError:
    case Kind::PortError:
    case Kind::RecordError:
        return untouched ? End::NotStarted : End::Failed;
    default:
        return End::Failed;
    }
}

} // namespace

struct StationPresenter::Slot
{
    LaneStore::Entry entry;
    std::unique_ptr<Lane> lane;
    LaneWidget *widget = nullptr;
    // What the lane's signals tell and the lane does not keep.
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
    bool queued = false; // to start on a later turn of the event loop
    // Redraws: at most one per tick of the redraw timer.
    bool dirty = false;
    int redraws = 0;
    int busiestSecond = 0;
    std::deque<qint64> recentRedraws; // within the last second, ms on the run clock
};

StationPresenter::StationPresenter(StationWindow *window, MessagePresenter *messages, LaneStore *store,
                                   const Lane::Settings &laneSettings, QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_messages(messages)
    , m_store(store)
    , m_laneSettings(laneSettings)
{
    m_redrawTimer.setTimerType(Qt::PreciseTimer);
    m_redrawTimer.setInterval(kRedrawInterval);
    m_runClock.start();
    connect(&m_redrawTimer, &QTimer::timeout, this, &StationPresenter::redraw);
    // A zero timer fires once per turn, after the events that came meanwhile.
    m_startTimer.setInterval(0);
    connect(&m_startTimer, &QTimer::timeout, this, &StationPresenter::startNextQueued);
    connect(&m_loader, &ImageLoader::loaded, this, &StationPresenter::handleImageLoaded);

    connect(window->chooseButton, &QPushButton::clicked, this, [this] { m_window->fileDialog->open(m_window); });
    connect(window->fileDialog, &FirmwareFileDialog::finished, this, [this](const QString &fullName) {
        if (!fullName.isEmpty())
            chooseImage(fullName);
    });
    connect(window->startButton, &QPushButton::clicked, this, &StationPresenter::startAll);
    connect(window->retryButton, &QPushButton::clicked, this, &StationPresenter::retryFailed);
    connect(window->stopButton, &QPushButton::clicked, this, &StationPresenter::stopAll);
    connect(window->addLaneButton, &QPushButton::clicked, this, [this] { editLane(-1); });
    connect(window->expectedSha, &QLineEdit::textChanged, this, &StationPresenter::handleExpectedChanged);
    updateCounters();
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
    for (const LaneStore::Entry &entry : m_store->load())
        addSlot(entry);
    updateControls();
}

void StationPresenter::setLanes(const QList<LaneStore::Entry> &lanes)
{
    // Lanes given for this run leave the kept ones as they are.
    m_keepLanes = false;
    for (const LaneStore::Entry &entry : lanes)
        addSlot(entry);
    updateControls();
}

StationPresenter::Slot &StationPresenter::addSlot(const LaneStore::Entry &entry)
{
    auto slot = std::make_unique<Slot>();
    slot->entry = entry;
    if (slot->entry.name.isEmpty())
        slot->entry.name = tr("Lane %1").arg(m_slots.size() + 1);
    slot->lane = std::make_unique<Lane>(entry.port);
    slot->widget = m_window->addLaneWidget();
    Slot &added = *slot;
    m_slots.push_back(std::move(slot));
    connectLane(added);
    LaneWidget *widget = added.widget;
    connect(widget, &LaneWidget::startStopClicked, this, [this, widget] { startOrStop(indexOf(widget)); });
    connect(widget, &LaneWidget::editRequested, this, [this, widget] { editLane(indexOf(widget)); });
    connect(widget, &LaneWidget::removeRequested, this, [this, widget] { removeLane(indexOf(widget)); });
    connect(widget, &LaneWidget::detailsRequested, this, [this, widget] {
        const LaneView &view = widget->view();
        const QString prompt = view.detail.isEmpty() ? widget->verdictText() : view.detail;
        m_messages->show(m_window, {prompt, view.name, Message::Icon::Information}, view.causes.split(u'\n'));
    });
    refreshDevice(added);
    // Drawn at once: a new tile must not stand empty for a tick.
    refreshView(added);
    return added;
}

void StationPresenter::connectLane(Slot &slot)
{
    Slot *s = &slot;
    Lane *lane = slot.lane.get();
    if (m_record.isOpen())
        lane->setRecord(&m_record);
    connect(lane, &Lane::stateChanged, this, [this, s] {
        markDirty(*s);
        updateControls();
    });
    connect(lane, &Lane::busyChanged, this, [this, s] { markDirty(*s); });
    connect(lane, &Lane::attemptStarted, this, [this, s](int attempt) {
        s->erasePercent = 0;
        s->linesSent = 0;
        s->linesTotal = 0;
        if (attempt == 1) {
            // A new unit has arrived, or the first attempt at one begins.
            s->detail.clear();
            s->causes.clear();
            setShown(*s, std::nullopt);
        }
        markDirty(*s);
    });
    UpdateSequence *update = &lane->update();
    connect(update, &UpdateSequence::stateChanged, this, [this, s] { markDirty(*s); });
    connect(update, &UpdateSequence::eraseProgress, this, [this, s](int, int percent) {
        s->erasePercent = percent;
        markDirty(*s);
    });
    // Hundreds a second: two numbers kept, the tile redrawn on the next tick.
    connect(update, &UpdateSequence::lineSent, this, [this, s](int count, int total) {
        s->linesSent = count;
        s->linesTotal = total;
        markDirty(*s);
    });
    connect(lane, &Lane::attemptFinished, this, [this, s](const UpdateOutcome &outcome) {
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
        markDirty(*s);
    });
    connect(lane, &Lane::unitFinished, this, [this, s](const UpdateOutcome &outcome) {
        const UnitEnd end = unitEnd(outcome, s->lane->attempt());
        s->detail = bounded(outcome.operatorCause());
        s->causes = outcome.causes().join(u'\n');
        setShown(*s, end);
        if (end == UnitEnd::Passed || end == UnitEnd::Failed)
            countUnit(*s, end == UnitEnd::Passed);
        markDirty(*s);
    });
    connect(lane, &Lane::finished, this, [this, s] {
        markDirty(*s);
        updateControls();
        if (!m_starting && !anyRunning())
            reachedRest();
    });
}

void StationPresenter::setShown(Slot &slot, std::optional<UnitEnd> end)
{
    slot.shown = end;
    m_countersDirty = true; // the lanes not started and stopped are counted there
}

void StationPresenter::countUnit(Slot &slot, bool passed)
{
    // A unit is counted by its last attempt: a retry of one counted already
    // takes its count back first, and never passes at the first go.
    const bool retried = std::exchange(slot.sameUnit, false);
    if (retried && slot.countedPassed) {
        int &lane = *slot.countedPassed ? slot.passed : slot.failed;
        int &station = *slot.countedPassed ? m_passed : m_failed;
        --lane;
        --station;
    }
    slot.countedPassed = passed;
    ++(passed ? slot.passed : slot.failed);
    ++(passed ? m_passed : m_failed);
    if (passed && !retried && slot.lane->attempt() == 1)
        ++m_firstPass;
    m_countersDirty = true;
}

bool StationPresenter::allPassed() const
{
    return !m_slots.empty()
        && std::all_of(m_slots.begin(), m_slots.end(), [](const auto &s) { return s->shown == UnitEnd::Passed; });
}

bool StationPresenter::unitFailed(const Slot &slot)
{
    // A watching lane whose failed unit has gone shows it failed still, but
    // has no unit to try again.
    return slot.shown == UnitEnd::Failed && slot.lane->state() == Lane::State::Failed;
}

Lane &StationPresenter::lane(int index)
{
    return *m_slots.at(size_t(index))->lane;
}

int StationPresenter::indexOf(const LaneWidget *widget) const
{
    for (size_t i = 0; i < m_slots.size(); ++i) {
        if (m_slots[i]->widget == widget)
            return int(i);
    }
    return -1;
}

bool StationPresenter::busy(const Slot &slot)
{
    return slot.queued || slot.lane->isRunning();
}

bool StationPresenter::anyRunning() const
{
    return std::any_of(m_slots.begin(), m_slots.end(), [](const auto &s) { return busy(*s); });
}

// --- The image -------------------------------------------------------------

void StationPresenter::chooseImage(const QString &path)
{
    // The image of lanes that run stays theirs: Stop first.
    if (anyRunning() || path.isEmpty())
        return;
    m_imagePath = LocalPath::absolute(path);
    m_image = FirmwareImage();
    m_imageState = ImageState::Reading;
    m_window->imageName->setText(printableText(QFileInfo(m_imagePath).fileName()));
    m_window->imageName->setToolTip(printableText(m_imagePath));
    m_window->imageSummary->setText(tr("Reading and checking the image..."));
    m_window->imageSha->clear();
    handleExpectedChanged();
    updateControls();
    m_loader.load(m_imagePath);
}

void StationPresenter::handleImageLoaded(const ImageLoader::Result &result)
{
    if (result.problem.refused()) {
        m_imageState = ImageState::Refused;
        m_imageProblem = result.problem;
        m_window->imageSummary->setText(tr("Refused: %1").arg(result.problem.describe(printableText(m_imagePath))));
        m_window->imageSha->clear();
        UpdateOutcome outcome = UpdateSequence::outcomeFor(UpdateOutcome::Kind::FileError);
        outcome.fileProblem = result.problem;
        outcome.fileName = m_imagePath;
        tell(outcome);
    } else {
        m_imageState = ImageState::Ready;
        m_image = result.image;
        const ImageSummary &summary = m_image.summary();
        QString text = tr("%1 to send, %2 at %3")
                           .arg(counted(summary.linesToSend, u"line"), counted(summary.dataBytes, u"data byte"),
                                summary.rangesText());
        if (!summary.endLine)
            text += tr("; no end line (q): the instrument is not told that the image is complete");
        if (!summary.endRecord)
            text += u"; "_s + summary.endRecordWarning();
        m_window->imageSummary->setText(text);
        m_window->imageSha->setText(QString::fromLatin1(summary.sha256));
    }
    handleExpectedChanged();
    updateControls();
    // The start --start asked for is made now, or refused (its message
    // said why); either way it was for this image only.
    if (std::exchange(m_startWhenReady, false)) {
        if (m_imageState == ImageState::Ready)
            startAll();
        if (!anyRunning())
            emit startRefused();
    }
}

void StationPresenter::handleExpectedChanged()
{
    const QString expected = Sha256Text::hashOf(m_window->expectedSha->text());
    QString state;
    QString style;
    if (expected.isEmpty()) {
        state = tr("(none given: any image that passes the check is sent)");
    } else if (!Sha256Text::isHash(expected)) {
        state = tr("not a SHA-256: 64 hexadecimal digits");
        style = u"color: #c0221b; font-weight: bold;"_s;
    } else if (m_imageState != ImageState::Ready) {
        state = tr("compared once the image has been read");
    } else if (expected == QString::fromLatin1(m_image.summary().sha256).toLower()) {
        state = tr("matches the image");
        style = u"color: #1b7f2a; font-weight: bold;"_s;
    } else {
        state = tr("DIFFERS from the image: no lane starts with it");
        style = u"color: #c0221b; font-weight: bold;"_s;
    }
    m_window->expectedState->setText(state);
    m_window->expectedState->setStyleSheet(style);
}

// --- Starting and stopping ---------------------------------------------------

bool StationPresenter::readyToSend()
{
    switch (m_imageState) {
    case ImageState::None:
        tell(UpdateSequence::outcomeFor(UpdateOutcome::Kind::NoFile));
        return false;
    case ImageState::Reading:
        // The lanes start once it has been read, if --start asked; a key
        // pressed meanwhile does nothing.
        return false;
    case ImageState::Refused: {
        UpdateOutcome outcome = UpdateSequence::outcomeFor(UpdateOutcome::Kind::FileError);
        outcome.fileProblem = m_imageProblem;
        outcome.fileName = m_imagePath;
        tell(outcome);
        return false;
    }
    case ImageState::Ready:
        break;
    }
    const QString expected = Sha256Text::hashOf(m_window->expectedSha->text());
    const QString actual = QString::fromLatin1(m_image.summary().sha256).toLower();
    if (!expected.isEmpty() && expected != actual) {
        const Message wrong{Sha256Text::isHash(expected)
                                ? tr("The image is not the released one: no lane was started.")
                                : tr("The released SHA-256 is not 64 hexadecimal digits: no lane "
                                     "was started."),
                            tr("Wrong image"), Message::Icon::Critical};
        m_messages->show(m_window, wrong,
                         {tr("%1 has SHA-256 %2").arg(printableText(m_imagePath), actual),
                          tr("the released image has %1").arg(printableText(expected.left(Sha256Text::kDigits * 2)))});
        return false;
    }
    return setUpRecord();
}

void StationPresenter::tell(const UpdateOutcome &outcome)
{
    // The station's own words: the desktop program's prompts are its own,
    // and name no reason. The causes stay one click away.
    const Message message{bounded(outcome.operatorCause()), m_window->windowTitle(), Message::Icon::Critical};
    m_messages->show(m_window, message, outcome.causes());
}

bool StationPresenter::setUpRecord()
{
    if (m_recordPath.isEmpty() || m_record.isOpen())
        return true;
    // Opened once for the whole station; an update whose record cannot be
    // kept is not started, as in both other programs.
    if (!m_record.open(m_recordPath, m_imagePath)) {
        UpdateOutcome outcome = UpdateSequence::outcomeFor(UpdateOutcome::Kind::RecordError);
        outcome.recordError = m_record.error();
        tell(outcome);
        return false;
    }
    for (const auto &slot : m_slots)
        slot->lane->setRecord(&m_record);
    return true;
}

void StationPresenter::startAll()
{
    QList<Slot *> idle;
    for (const auto &slot : m_slots) {
        if (!busy(*slot))
            idle << slot.get();
    }
    if (!idle.isEmpty() && readyToSend())
        startLanes(idle, false);
}

void StationPresenter::retryFailed()
{
    QList<Slot *> failed;
    for (const auto &slot : m_slots) {
        if (unitFailed(*slot))
            failed << slot.get();
    }
    if (failed.isEmpty() || !readyToSend())
        return;
    // A watching lane waits for its failed unit to go before it looks for
    // the next: Ctrl+R takes the unit that stays as a new one.
    m_starting = true;
    for (Slot *slot : std::as_const(failed))
        stopLane(*slot, UpdateOutcome::StoppedBy::Operator);
    m_starting = false;
    startLanes(failed, true);
}

void StationPresenter::startOrStop(int index)
{
    if (index < 0 || index >= laneCount())
        return;
    Slot *slot = m_slots[size_t(index)].get();
    if (busy(*slot))
        stopLane(*slot, UpdateOutcome::StoppedBy::Operator);
    else if (readyToSend())
        startLanes({slot}, false);
}

void StationPresenter::stopAll()
{
    stopEvery(UpdateOutcome::StoppedBy::Operator);
}

void StationPresenter::stopForSignal()
{
    stopEvery(UpdateOutcome::StoppedBy::Signal);
}

void StationPresenter::stopEvery(UpdateOutcome::StoppedBy by)
{
    // Those not started yet never will be; none has sent anything.
    m_starting = true;
    for (const auto &slot : m_slots)
        stopLane(*slot, by);
    m_starting = false;
    if (!anyRunning())
        reachedRest();
}

void StationPresenter::stopLane(Slot &slot, UpdateOutcome::StoppedBy by)
{
    if (slot.queued) {
        slot.queued = false;
        m_startQueue.removeOne(&slot);
        markDirty(slot);
        updateControls();
        if (!m_starting && !anyRunning())
            reachedRest();
        return;
    }
    slot.lane->stop(by);
}

void StationPresenter::reachedRest()
{
    m_runMs = m_runClock.elapsed() - m_runStartMs;
    emit atRest();
}

void StationPresenter::startLanes(const QList<Slot *> &lanes, bool sameUnits)
{
    if (!anyRunning()) {
        m_runStartMs = m_runClock.elapsed();
        emit runStarted();
    }
    m_startSettings = m_laneSettings;
    m_startSettings.watch = m_window->watchBox->isChecked();
    m_startSettings.retries = m_window->retriesBox->value();
    // Two lanes on one device would interleave their lines: the second is
    // not started, also when the names differ (a by-id link and its ttyUSB).
    QHash<QString, const Slot *> taken;
    for (const auto &slot : m_slots) {
        if (busy(*slot)) {
            refreshDevice(*slot);
            taken.insert(slot->device.isEmpty() ? slot->entry.port : slot->device, slot.get());
        }
    }
    for (Slot *slot : lanes) {
        refreshDevice(*slot);
        const QString key = slot->device.isEmpty() ? slot->entry.port : slot->device;
        if (const Slot *other = taken.value(key)) {
            // Whatever it showed was another unit's: the one there now is untouched.
            slot->detail
                = tr("not started: %1 is the port of %2 too").arg(printableText(key), printableText(other->entry.name));
            slot->causes = slot->detail;
            setShown(*slot, UnitEnd::NotStarted);
            markDirty(*slot);
            continue;
        }
        taken.insert(key, slot);
        slot->queued = true;
        slot->sameUnit = sameUnits;
        slot->detail.clear();
        slot->causes.clear();
        setShown(*slot, std::nullopt);
        m_startQueue.append(slot);
        markDirty(*slot);
    }
    updateControls();
    if (!m_startQueue.isEmpty()) {
        m_startTimer.start();
    } else if (!anyRunning()) {
        reachedRest();
    }
}

void StationPresenter::startNextQueued()
{
    if (m_startQueue.isEmpty()) {
        m_startTimer.stop();
        return;
    }
    Slot *slot = m_startQueue.takeFirst();
    slot->queued = false;
    slot->lane->setSettings(m_startSettings);
    slot->lane->setName(slot->entry.name);
    // A lane that ends at once (no such port) is not the last to come to
    // rest while others wait their turn.
    m_starting = !m_startQueue.isEmpty();
    slot->lane->start(m_image, m_imagePath);
    m_starting = false;
    markDirty(*slot);
    if (m_startQueue.isEmpty()) {
        m_startTimer.stop();
        // The adapters' serial numbers, for the tiles: listing them reads the
        // system's device tree, a turn of its own once every lane has started.
        QTimer::singleShot(0, this, &StationPresenter::listAdapters);
    }
}

void StationPresenter::listAdapters()
{
    m_devices = PortCatalog::devices();
    for (const auto &slot : m_slots) {
        refreshDevice(*slot);
        markDirty(*slot);
    }
}

// --- Lanes kept, added, changed and removed ---------------------------------

void StationPresenter::saveLanes()
{
    if (!m_keepLanes)
        return;
    QList<LaneStore::Entry> entries;
    for (const auto &slot : m_slots)
        entries << slot->entry;
    m_store->save(entries);
}

void StationPresenter::editLane(int index)
{
    if (index >= laneCount() || (index >= 0 && busy(*m_slots[size_t(index)])))
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
            others.append({m_slots[size_t(i)]->entry.name, m_slots[size_t(i)]->entry.port});
    }
    if (index < 0)
        editor()->edit(-1, tr("Lane %1").arg(laneCount() + 1), QString(), offers, others);
    else
        editor()->edit(index, m_slots[size_t(index)]->entry.name, m_slots[size_t(index)]->entry.port, offers, others);
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
            addSlot(entry);
    } else if (index < laneCount()) {
        Slot &slot = *m_slots[size_t(index)];
        // Started since the editor opened: its port stays until it stops.
        if (busy(slot))
            return;
        if (entry.port != slot.entry.port) {
            // Counts belong to the port: a lane on another port starts at nought.
            slot.lane = std::make_unique<Lane>(entry.port);
            connectLane(slot);
            slot.detail.clear();
            slot.causes.clear();
            slot.shown.reset();
            slot.countedPassed.reset();
            slot.sameUnit = false;
            slot.passed = 0;
            slot.failed = 0;
            slot.recordProblem.clear();
            slot.recordsLost = 0;
            slot.recordNotice.clear();
        }
        slot.entry = entry;
        if (slot.entry.name.isEmpty())
            slot.entry.name = tr("Lane %1").arg(index + 1);
        refreshDevice(slot);
        markDirty(slot);
    }
    saveLanes();
    updateControls();
}

void StationPresenter::removeLane(int index)
{
    if (index < 0 || index >= laneCount() || busy(*m_slots[size_t(index)]))
        return;
    m_window->removeLaneWidget(m_slots[size_t(index)]->widget);
    m_slots.erase(m_slots.begin() + index);
    saveLanes();
    updateControls();
    updateCounters();
}

// --- What the window shows ---------------------------------------------------

void StationPresenter::refreshDevice(Slot &slot)
{
    slot.device = SerialLink::deviceForPortText(slot.entry.port);
    const auto found = PortCatalog::find(m_devices, slot.device);
    slot.serialNumber = found ? found->serialNumber : QString();
}

void StationPresenter::markDirty(Slot &slot)
{
    slot.dirty = true;
    if (!m_redrawTimer.isActive())
        m_redrawTimer.start();
}

void StationPresenter::redraw()
{
    bool drew = false;
    const qint64 now = m_runClock.elapsed();
    for (const auto &slot : m_slots) {
        if (!slot->dirty)
            continue;
        slot->dirty = false;
        refreshView(*slot);
        drew = true;
        ++slot->redraws;
        auto &recent = slot->recentRedraws;
        while (!recent.empty() && recent.front() <= now - 1000)
            recent.pop_front();
        recent.push_back(now);
        slot->busiestSecond = std::max(slot->busiestSecond, int(recent.size()));
    }
    if (m_countersDirty) {
        updateCounters();
        drew = true;
    }
    // Nothing changed for a whole tick: the timer rests until something does.
    if (!drew)
        m_redrawTimer.stop();
}

void StationPresenter::refreshView(Slot &slot)
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
    view.recordProblem = slot.recordProblem;
    view.recordNotice = slot.recordNotice;
    view.lastFinished = lane.lastFinished();
    view.passed = slot.passed;
    view.failed = slot.failed;
    if (slot.queued)
        view.phase = Phase::Starting;
    view.running = busy(slot);
    view.canEdit = !view.running;
    slot.widget->setView(view);
}

void StationPresenter::updateCounters()
{
    m_countersDirty = false;
    const int total = m_passed + m_failed;
    m_window->passedLabel->setText(tr("PASSED %1").arg(m_passed));
    m_window->failedLabel->setText(tr("FAILED %1").arg(m_failed));
    // Units, each by its last attempt; beside the final yield the share
    // that passed at their first, which a retry hides.
    QString text = total == 0 ? tr("TOTAL 0")
                              : tr("TOTAL %1, yield %2 %, first pass %3 %")
                                    .arg(total)
                                    .arg(100.0 * m_passed / total, 0, 'f', 1)
                                    .arg(100.0 * m_firstPass / total, 0, 'f', 1);
    // Lanes that touched no unit, or were stopped, are no unit's failure.
    int notStarted = 0;
    int stopped = 0;
    for (const auto &slot : m_slots) {
        if (busy(*slot))
            continue;
        notStarted += slot->shown == UnitEnd::NotStarted;
        stopped += slot->shown == UnitEnd::Stopped;
    }
    if (notStarted > 0)
        text += tr("; not started %1").arg(notStarted);
    if (stopped > 0)
        text += tr("; stopped %1").arg(stopped);
    m_window->totalLabel->setText(text);
}

void StationPresenter::updateControls()
{
    const bool running = anyRunning();
    const bool anyIdle = std::any_of(m_slots.begin(), m_slots.end(), [](const auto &s) { return !busy(*s); });
    const bool anyFailed = std::any_of(m_slots.begin(), m_slots.end(), [](const auto &s) { return unitFailed(*s); });
    m_window->chooseButton->setEnabled(!running && m_imageState != ImageState::Reading);
    m_window->startButton->setEnabled(m_imageState == ImageState::Ready && anyIdle);
    m_window->retryButton->setEnabled(m_imageState == ImageState::Ready && anyFailed);
    m_window->stopButton->setEnabled(running);
    // A lane takes Watch and Retries when it starts: changed only at rest,
    // so what the window shows is what every lane runs with.
    m_window->watchBox->setEnabled(!running);
    m_window->retriesBox->setEnabled(!running);
    m_window->addLaneButton->setEnabled(laneCount() < LaneStore::kMaxLanes);
}

QList<StationPresenter::LaneStats> StationPresenter::laneStats() const
{
    QList<LaneStats> stats;
    for (const auto &slot : m_slots)
        stats.append({slot->entry.name, slot->redraws, slot->busiestSecond});
    return stats;
}
