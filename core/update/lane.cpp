#include "core/update/lane.h"

#include "core/link/portholder.h"
#include "core/update/imageloader.h"

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
            beginAttempt();
    });
    connect(&m_update, &UpdateSequence::finished, this, &Lane::handleAttemptFinished);
    connect(&m_linkTest, &LinkTest::finished, this, &Lane::handleProbe);
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
        setState(State::Waiting);
        probe();
        return;
    }
    m_attempt = 1;
    beginAttempt();
}

void Lane::prepareAttempt()
{
    // Each attempt is a record of its own.
    QJsonObject extra{{QStringLiteral("attempt"), m_attempt}, {QStringLiteral("of"), attempts()}};
    if (!m_name.isEmpty())
        extra.insert(QStringLiteral("lane"), m_name);
    m_update.setRecordExtra(extra);
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
    if (!m_stopping && m_haveImage && m_attempt < attempts() && mayRetry(outcome)) {
        ++m_attempt;
        setState(State::Retrying);
        m_portAwaited = outcome.linkError.kind == LinkError::Kind::HangUp;
        if (m_portAwaited)
            m_since.start();
        m_retryTimer.start(m_portAwaited ? kPortBackPoll : kRetryPause);
        return;
    }
    endUnit(outcome);
}

void Lane::awaitPortBack()
{
    // A unit that reset itself comes back at once; one that was unplugged
    // does not, and is then not retried.
    const QString device = SerialLink::deviceForPortText(m_portText);
    if (!device.isEmpty() && QFileInfo::exists(device)) {
        beginAttempt();
        return;
    }
    if (m_since.hasExpired(m_settings.portBackWithin.count())) {
        m_portAwaited = false;
        endUnit(*m_lastAttempt);
        return;
    }
    m_retryTimer.start(kPortBackPoll);
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
        // The unit answered a moment ago: it goes when it stops answering.
        m_since.start();
        scheduleProbe();
        return;
    }
    emit finished();
}

void Lane::stop()
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
        m_update.abort();
        m_stopping = false;
        return;
    }
    // Between two attempts the one that failed last is the unit's end.
    if (betweenAttempts && m_lastAttempt) {
        endUnit(*m_lastAttempt);
        return;
    }
    if (m_state == State::Waiting)
        setState(State::Idle);
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
    const QString device = SerialLink::deviceForPortText(m_portText);
    if (device.isEmpty() || !QFileInfo::exists(device)) {
        LinkTestOutcome absent;
        absent.kind = LinkTestOutcome::Kind::Failed;
        handleProbe(absent);
        return;
    }
    // Never while another program has the port: the link test would take
    // its answers, and its holder would take ours.
    if (!otherProcessUsing(device).isEmpty()) {
        scheduleProbe();
        return;
    }
    m_link.setReadTimeout(std::min(m_settings.probeInterval, m_settings.readTimeout));
    m_linkTest.start(m_portText);
}

void Lane::handleProbe(const LinkTestOutcome &outcome)
{
    m_link.close();
    m_link.setReadTimeout(m_settings.readTimeout);
    if (!m_watching || outcome.kind == LinkTestOutcome::Kind::Interrupted)
        return;
    const bool present = outcome.kind == LinkTestOutcome::Kind::Reply;
    if (m_state == State::Waiting) {
        if (present) {
            m_attempt = 1;
            beginAttempt();
        } else {
            scheduleProbe();
        }
        return;
    }
    // Passed or failed: the same unit stays until it goes.
    if (present)
        m_since.start();
    else if (m_since.hasExpired(m_settings.goneAfter.count()) || !QFileInfo::exists(outcome.device))
        setState(State::Waiting);
    scheduleProbe();
}
