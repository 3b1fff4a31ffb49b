#include "core/update/lane.h"

#include "core/link/portholder.h"
#include "core/update/imageloader.h"
#include "core/update/runrecord.h"

#include <QFileInfo>
#include <QJsonObject>

using namespace std::chrono_literals;

namespace {
// Between a failed attempt and the next: the instrument finishes whatever
// it was doing with the failed line before it hears "KILL" again.
constexpr auto kRetryPause = 500ms;
// How often a lane looks whether a port that hung up is back.
constexpr auto kPortBackPoll = 100ms;
} // namespace

Lane::Lane(const QString &portText, QObject *parent)
    : QObject(parent)
    , m_portText(portText)
{
    m_probeTimer.setSingleShot(true);
    m_retryTimer.setSingleShot(true);
    connect(&m_probeTimer, &QTimer::timeout, this, &Lane::probe);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] {
        if (m_portAwaited)
            awaitPortBack();
        else
            checkBeforeRetry(m_wentAway);
    });
    connect(&m_update, &UpdateSequence::finished, this, &Lane::handleAttemptFinished);
    // The last moment before a first attempt's "KILL": the unit is the device
    // the port leads to now. A retry or a watched unit was bound before.
    connect(&m_update, &UpdateSequence::imageLoaded, this, [this] {
        if (m_attempt == 1 && !m_watching)
            noteDevice(DeviceIdentity::of(m_portText));
    });
    connect(&m_linkTest, &LinkTest::finished, this, &Lane::handleProbe);
    connect(&m_link, &SerialLink::linkFailed, this, &Lane::handleLinkFailed);
    m_link.setReadTimeout(m_settings.readTimeout);
}

void Lane::setName(const QString &name)
{
    m_name = name;
}

void Lane::setSettings(const Settings &settings)
{
    m_settings = settings;
    m_link.setReadTimeout(settings.readTimeout);
    m_update.setTimings(settings.timings);
}

void Lane::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

void Lane::setBusy(const QString &holder)
{
    if (m_busyHolder == holder)
        return;
    m_busyHolder = holder;
    emit busyChanged(holder);
}

bool Lane::mayRetry(const UpdateOutcome &outcome)
{
    using Kind = UpdateOutcome::Kind;
    using LinkKind = LinkError::Kind;
    switch (outcome.kind) {
    case Kind::WriteRefused:
    case Kind::OutOfStep:
        return true;
    case Kind::EraseFailed:
    case Kind::WriteFailed:
        return outcome.linkError.kind == LinkKind::Timeout || outcome.linkError.kind == LinkKind::ReplyTooLong
            || outcome.linkError.kind == LinkKind::HangUp;
    default:
        return false;
    }
}

void Lane::noteDevice(const DeviceIdentity &identity)
{
    m_device = identity;
    m_wentAway = false;
}

void Lane::handleLinkFailed()
{
    // A hang-up or an unplug while the port was held: whatever answers on
    // the name from now on must prove it is the unit. Once the unit has
    // ended (the update's own handling of the failure may end it first)
    // there is nothing bound to the port.
    if (!m_device.exists())
        return;
    m_wentAway = true;
    if (m_watching && (m_state == State::Passed || m_state == State::Failed))
        unitGone();
}

void Lane::start(ImageLoader &loader, const QString &fileName)
{
    if (isRunning())
        return;
    m_fileName = fileName;
    m_haveImage = false;
    m_watching = false;
    m_attempt = 1;
    prepareAttempt();
    m_update.start(loader, fileName, m_portText);
}

void Lane::start(const FirmwareImage &image, const QString &fileName)
{
    if (isRunning())
        return;
    m_image = image;
    m_haveImage = true;
    m_fileName = fileName;
    m_watching = m_settings.watch;
    if (m_watching) {
        // Known before the lane says it waits, so that a held port is told
        // as such rather than as a wait for a unit.
        if (const DeviceIdentity now = DeviceIdentity::of(m_portText); now.exists())
            setBusy(otherProcessUsing(now.node));
        setState(State::Waiting);
        probe();
        return;
    }
    m_attempt = 1;
    beginAttempt();
}

QJsonObject Lane::recordExtra() const
{
    QJsonObject extra{{QStringLiteral("attempt"), m_attempt}, {QStringLiteral("of"), attempts()}};
    if (!m_name.isEmpty())
        extra.insert(QStringLiteral("lane"), m_name);
    return extra;
}

void Lane::prepareAttempt()
{
    // Each attempt is a record of its own.
    m_update.setRecordExtra(recordExtra());
    m_portAwaited = false;
    setState(State::Updating);
    emit attemptStarted(m_attempt, attempts());
}

void Lane::beginAttempt()
{
    prepareAttempt();
    m_update.start(m_image, ImageProblem(), m_fileName, m_portText);
}

void Lane::handleAttemptFinished(const UpdateOutcome &outcome)
{
    if (m_state != State::Updating)
        return;
    if (!m_haveImage && !outcome.fileProblem.refused()) {
        // Read once by the loader; every further attempt sends the same image.
        m_image = m_update.image();
        m_haveImage = !m_image.isEmpty();
    }
    m_lastAttempt = outcome;
    emit attemptFinished(outcome, m_attempt, attempts());
    const bool hungUp = outcome.linkError.kind == LinkError::Kind::HangUp;
    m_wentAway = m_wentAway || hungUp;
    // Watching, a unit that went away mid-update is gone: what answers next
    // is a new arrival with an attempt 1 of its own.
    if (m_stopping || !m_haveImage || m_attempt >= attempts() || !mayRetry(outcome) || (m_watching && m_wentAway)) {
        endUnit(outcome);
        return;
    }
    ++m_attempt;
    setState(State::Retrying);
    if (m_wentAway && !m_device.provable()) {
        // Nothing could tell the unit from the next device given its name.
        refuseAttempt(UpdateOutcome::DeviceCheck::Unprovable, DeviceIdentity::of(m_portText));
        return;
    }
    m_portAwaited = m_wentAway;
    if (m_portAwaited)
        m_since.start();
    m_retryTimer.start(m_portAwaited ? kPortBackPoll : kRetryPause);
}

void Lane::awaitPortBack()
{
    // An adapter that reset itself comes back at once; one that was
    // unplugged does not, and is then not retried.
    if (DeviceIdentity::of(m_portText).exists()) {
        m_portAwaited = false;
        checkBeforeRetry(true);
        return;
    }
    if (m_since.hasExpired(m_settings.portBackWithin.count())) {
        m_portAwaited = false;
        endUnit(*m_lastAttempt);
        return;
    }
    m_retryTimer.start(kPortBackPoll);
}

void Lane::checkBeforeRetry(bool wentAway)
{
    const DeviceIdentity now = DeviceIdentity::of(m_portText);
    const DeviceIdentity::Sameness sameness = DeviceIdentity::compare(m_device, now, wentAway);
    using Check = UpdateOutcome::DeviceCheck;
    switch (sameness) {
    case DeviceIdentity::Sameness::Same:
        break;
    case DeviceIdentity::Sameness::Other:
        return refuseAttempt(Check::Other, now);
    case DeviceIdentity::Sameness::Gone:
        return refuseAttempt(Check::Gone, now);
    case DeviceIdentity::Sameness::Unprovable:
        return refuseAttempt(Check::Unprovable, now);
    }
    // The same device; it must also still answer. On the port held open
    // since the unit was noted, when it was: that is still the unit.
    m_link.setReadTimeout(m_settings.readTimeout);
    if (wentAway)
        m_linkTest.start(m_portText);
    else
        m_linkTest.startOnOpenLink(m_portText);
}

void Lane::handleRetryProbe(const LinkTestOutcome &outcome)
{
    if (outcome.kind != LinkTestOutcome::Kind::Reply) {
        const DeviceIdentity now = DeviceIdentity::of(m_portText);
        refuseAttempt(now.exists() ? UpdateOutcome::DeviceCheck::Silent : UpdateOutcome::DeviceCheck::Gone, now);
        return;
    }
    // Bound anew: an adapter that came back may have another node.
    noteDevice(DeviceIdentity::of(m_portText));
    beginAttempt();
}

UpdateOutcome Lane::attemptNotMade(UpdateOutcome::Kind kind) const
{
    UpdateOutcome outcome = UpdateSequence::outcomeFor(kind);
    outcome.fileName = m_fileName;
    outcome.portText = m_portText;
    outcome.device = m_device.node;
    outcome.linesTotal = int(m_image.lineCount());
    if (m_lastAttempt) {
        const UpdateOutcome &last = *m_lastAttempt;
        outcome.earlier = last.eraseSent
            ? UpdateOutcome::EarlierState{true, last.linesAcknowledged,
                                          last.linesAcknowledged > 0 || last.failedLine > 0 ? last.linesTotal : 0}
            : last.earlier;
    }
    return outcome;
}

void Lane::refuseAttempt(UpdateOutcome::DeviceCheck check, const DeviceIdentity &now)
{
    UpdateOutcome outcome = attemptNotMade(UpdateOutcome::Kind::DeviceChanged);
    outcome.deviceCheck = check;
    outcome.deviceNoted = m_device.describe();
    outcome.deviceNow = now.describe();
    endWithoutAttempt(outcome);
}

void Lane::endWithoutAttempt(UpdateOutcome outcome)
{
    m_portAwaited = false;
    if (m_record) {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        m_record->appendOutcome(outcome, RunRecord::Context::of(m_image.summary(), now, now, recordExtra()));
    }
    m_lastAttempt = outcome;
    emit attemptFinished(outcome, m_attempt, attempts());
    endUnit(outcome);
}

void Lane::endUnit(const UpdateOutcome &outcome)
{
    m_lastOutcome = outcome;
    m_lastFinished = QDateTime::currentDateTime();
    if (outcome.succeeded())
        ++m_passed;
    else
        ++m_failed;
    setState(outcome.succeeded() ? State::Passed : State::Failed);
    emit unitFinished(outcome);
    if (m_watching) {
        if (m_wentAway || !m_link.isOpen()) {
            unitGone();
            return;
        }
        // The unit answered a moment ago: it goes when it stops answering.
        m_since.start();
        scheduleProbe();
        return;
    }
    emit finished();
}

void Lane::unitGone()
{
    if (m_linkTest.isRunning())
        m_linkTest.abort();
    m_link.close();
    noteDevice({});
    setState(State::Waiting);
    scheduleProbe();
}

void Lane::stop(UpdateOutcome::StoppedBy by)
{
    if (!isRunning())
        return;
    const bool betweenAttempts = m_state == State::Retrying;
    m_watching = false;
    m_probeTimer.stop();
    m_retryTimer.stop();
    m_portAwaited = false;
    if (m_linkTest.isRunning())
        m_linkTest.abort();
    if (m_update.isRunning()) {
        // Ends through handleAttemptFinished(): recorded as interrupted, the
        // unit counted as not updated, finished() emitted.
        m_stopping = true;
        m_update.abort(by);
        m_stopping = false;
        return;
    }
    // Between two attempts: the next one is not made, and its record says
    // the run was stopped.
    if (betweenAttempts && m_lastAttempt) {
        UpdateOutcome outcome = attemptNotMade(UpdateOutcome::Kind::Interrupted);
        outcome.stoppedBy = by;
        endWithoutAttempt(outcome);
        return;
    }
    m_link.close();
    if (m_state == State::Waiting)
        setState(State::Idle);
    setBusy({});
    emit finished();
}

void Lane::scheduleProbe()
{
    if (m_watching)
        m_probeTimer.start(m_settings.probeInterval);
}

void Lane::probe()
{
    if (!m_watching || m_linkTest.isRunning())
        return;
    const DeviceIdentity now = DeviceIdentity::of(m_portText);
    const bool waiting = m_state == State::Waiting;
    if (!waiting
        && (DeviceIdentity::compare(m_device, now, m_wentAway) != DeviceIdentity::Sameness::Same || !m_link.isOpen())) {
        // Vanished, hung up, or the name leads elsewhere: another device is
        // never taken for the unit that was updated.
        unitGone();
        return;
    }
    if (!now.exists()) {
        setBusy({});
        scheduleProbe();
        return;
    }
    // Never while another program has the port: the link test would take
    // its answers, and its holder would take ours.
    if (const QString holder = otherProcessUsing(now.node); !holder.isEmpty()) {
        if (waiting)
            setBusy(holder);
        scheduleProbe();
        return;
    }
    setBusy({});
    m_link.setReadTimeout(std::min(m_settings.probeInterval, m_settings.readTimeout));
    if (waiting) {
        noteDevice(now);
        m_linkTest.start(m_portText);
    } else {
        m_linkTest.startOnOpenLink(m_portText);
    }
}

void Lane::handleProbe(const LinkTestOutcome &outcome)
{
    m_link.setReadTimeout(m_settings.readTimeout);
    if (outcome.kind == LinkTestOutcome::Kind::Interrupted)
        return;
    if (m_state == State::Retrying) {
        handleRetryProbe(outcome);
        return;
    }
    if (!m_watching)
        return;
    const bool present = outcome.kind == LinkTestOutcome::Kind::Reply;
    if (m_state == State::Waiting) {
        // Arrived: the device that answered is the one noted before the
        // port was opened, and has not gone since. One that may not begin
        // yet is let go with its port: whichever unit answers once it may
        // is the one updated.
        if (present && m_link.isOpen()
            && DeviceIdentity::compare(m_device, DeviceIdentity::of(m_portText), m_wentAway)
                == DeviceIdentity::Sameness::Same
            && (!m_mayBegin || m_mayBegin())) {
            m_attempt = 1;
            beginAttempt();
        } else {
            m_link.close();
            scheduleProbe();
        }
        return;
    }
    // Passed or failed: the same unit stays until it goes. Behind an adapter
    // that stays, a unit swapped within goneAfter answers as the last did.
    if (present)
        m_since.start();
    else if (!m_link.isOpen() || m_since.hasExpired(m_settings.goneAfter.count()))
        return unitGone();
    scheduleProbe();
}
