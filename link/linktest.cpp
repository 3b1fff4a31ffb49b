#include "link/linktest.h"

#include "link/portnumber.h"

LinkTest::LinkTest(SerialLink *link, QObject *parent)
    : QObject(parent)
    , m_link(link)
{
}

bool LinkTest::start(const QString &portText)
{
    if (m_running)
        return false;
    m_running = true;
    if (!isDevicePath(portText)) {
        const std::optional<double> port = ParsePortNumber(portText);
        if (!port) {
            finish(Result::Failed);
            return true;
        }
        // Only the link test has this limit; it leaves the link untouched.
        if (*port > kMaxPortNumber) {
            finish(Result::PortAboveLimit);
            return true;
        }
    }
    m_link->setPortText(portText);
    m_link->setSpeed(SerialLink::kSpeed);
    if (!m_link->configure() || !m_link->writeCommand(QByteArrayLiteral("ARC*"))) {
        finish(Result::Failed);
        return true;
    }
    m_replyConnection = connect(m_link, &SerialLink::replyReceived, this,
                                [this](const QByteArray &reply) { finish(Result::Reply, reply); });
    m_failConnection = connect(m_link, &SerialLink::readFailed, this, [this] { finish(Result::Failed); });
    m_cancelConnection = connect(m_link, &SerialLink::readCancelled, this, [this] { finish(Result::Cancelled); });
    m_link->read();
    return true;
}

void LinkTest::finish(Result result, const QByteArray &reply)
{
    disconnect(m_replyConnection);
    disconnect(m_failConnection);
    disconnect(m_cancelConnection);
    // Reported from the event loop, so that a caller's start() returns first.
    QMetaObject::invokeMethod(this, [this, result, reply] {
        m_running = false;
        emit finished(result, reply);
    }, Qt::QueuedConnection);
}
