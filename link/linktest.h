#pragma once

#include "link/seriallink.h"

#include <QByteArray>
#include <QObject>
#include <QString>

// The link test: configures the link for the port text, sends "ARC*" and
// hands back whatever the instrument answers. One exchange at a time.
class LinkTest : public QObject
{
    Q_OBJECT

public:
    // The link test refuses port numbers above this; the update does not.
    static constexpr double kMaxPortNumber = 255;

    // Cancelled: the link was taken over (an update started) before the reply came.
    enum class Result { Reply, PortAboveLimit, Failed, Cancelled };

    explicit LinkTest(SerialLink *link, QObject *parent = nullptr);

    // Starts a test. False (and nothing done) while a test is already running.
    // Refusals (port above the limit, port cannot be opened) are reported
    // through finished() like every other end.
    bool start(const QString &portText);
    bool isRunning() const { return m_running; }

signals:
    // reply is set for Result::Reply; link->error() tells why a test Failed.
    void finished(LinkTest::Result result, const QByteArray &reply);

private:
    void finish(Result result, const QByteArray &reply = {});

    SerialLink *m_link;
    bool m_running = false;
    QMetaObject::Connection m_replyConnection;
    QMetaObject::Connection m_failConnection;
    QMetaObject::Connection m_cancelConnection;
};
