#include "core/link/linktest.h"

#include "core/link/portholder.h"
#include "core/link/portnumber.h"
#include "core/common/printablebytes.h"

Message LinkTestOutcome::message() const
{
    switch (kind) {
    case Kind::Reply:
        return {};
    case Kind::PortAboveLimit:
        return {QStringLiteral("COM PORT > 255"), QStringLiteral("COM PORT Setting error."), Message::Icon::Critical};
    case Kind::Failed:
    case Kind::Cancelled:
        return {QStringLiteral("TEST ERROR!!"), QStringLiteral("Fail"), Message::Icon::Critical};
    case Kind::Interrupted:
        return {QStringLiteral("Link test interrupted"), QStringLiteral("Fail"), Message::Icon::Critical};
    }
    return {};
}

QStringList LinkTestOutcome::causes() const
{
    switch (kind) {
    case Kind::Reply:
        return {QObject::tr("%1 answered \"ARC*\" with %2").arg(device, quotedBytes(reply))};
    case Kind::PortAboveLimit:
        return {QObject::tr("COM %1 is above the link test's limit of COM %2; the port was not opened")
                    .arg(portNumber)
                    .arg(LinkTest::kMaxPortNumber)};
    case Kind::Failed:
        return linkError.causesFor(portText);
    case Kind::Cancelled:
        return {QObject::tr("%1: an update took the port over before the answer came").arg(device)};
    case Kind::Interrupted:
        return {QObject::tr("stopped by a signal (Ctrl-C or SIGTERM); the instrument was not touched")};
    }
    return {};
}

LinkTest::LinkTest(SerialLink *link, QObject *parent)
    : QObject(parent)
    , m_link(link)
{ }

bool LinkTest::start(const QString &portText)
{
    return begin(portText, false);
}

bool LinkTest::startOnOpenLink(const QString &portText)
{
    return begin(portText, true);
}

bool LinkTest::begin(const QString &portText, bool reuseOpenLink)
{
    if (m_running)
        return false;
    m_running = true;
    m_finishing = false;
    m_portNumber = 0;
    m_portText = portText;
    emit started();
    if (!isDevicePath(portText)) {
        // Only the link test has this limit; it leaves the link untouched.
        // A text too long to read is refused by open() below.
        m_portNumber = ParsePortNumber(portText).value_or(0);
        if (m_portNumber > kMaxPortNumber) {
            finish(LinkTestOutcome::Kind::PortAboveLimit);
            return true;
        }
    }
    m_portProblem = {};
    const bool reused = reuseOpenLink && m_link->isOpen();
    if (!reused && !m_link->open(portText)) {
        finish(LinkTestOutcome::Kind::Failed);
        return true;
    }
    // A program that reads the port without a lock (a terminal, cat) would
    // take the answer, and the test would say only that none came.
    const QString device = m_link->deviceName();
    if (const QString holder = otherProcessUsing(device); !holder.isEmpty()) {
        m_link->close();
        m_portProblem = {LinkError::Kind::Busy, device, tr("in use by %1").arg(holder)};
        finish(LinkTestOutcome::Kind::Failed);
        return true;
    }
    if (!m_link->writeCommand(QByteArrayLiteral("ARC*"))) {
        finish(LinkTestOutcome::Kind::Failed);
        return true;
    }
    m_replyConnection = connect(m_link, &SerialLink::replyReceived, this,
                                [this](const QByteArray &reply) { finish(LinkTestOutcome::Kind::Reply, reply); });
    m_failConnection
        = connect(m_link, &SerialLink::readFailed, this, [this] { finish(LinkTestOutcome::Kind::Failed); });
    m_cancelConnection
        = connect(m_link, &SerialLink::readCancelled, this, [this] { finish(LinkTestOutcome::Kind::Cancelled); });
    m_link->read();
    return true;
}

void LinkTest::abort()
{
    if (!m_running || m_finishing)
        return;
    disconnect(m_cancelConnection);
    m_link->close();
    finish(LinkTestOutcome::Kind::Interrupted);
}

void LinkTest::finish(LinkTestOutcome::Kind kind, const QByteArray &reply)
{
    disconnect(m_replyConnection);
    disconnect(m_failConnection);
    disconnect(m_cancelConnection);
    m_finishing = true;
    LinkTestOutcome outcome;
    outcome.kind = kind;
    outcome.reply = reply;
    outcome.portText = m_portText;
    outcome.device = m_link->deviceName();
    outcome.portNumber = m_portNumber;
    if (kind == LinkTestOutcome::Kind::Failed)
        outcome.linkError = m_portProblem.kind != LinkError::Kind::None ? m_portProblem : m_link->error();
    // Reported from the event loop, so that a caller's start() returns first.
    QMetaObject::invokeMethod(
        this,
        [this, outcome] {
            m_running = false;
            emit finished(outcome);
        },
        Qt::QueuedConnection);
}
