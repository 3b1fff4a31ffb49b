#pragma once

#include "core/link/linkerror.h"
#include "core/common/message.h"
#include "core/link/seriallink.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

// How a link test ended, with what both front ends say about it.
struct LinkTestOutcome
{
    Q_GADGET

public:
    enum class Kind {
        Reply, // the instrument answered; the reply is shown, not judged
        PortAboveLimit, // the link was not touched
        Failed, // the port could not be used or nothing came back
        Cancelled, // an update took the link over before the reply came
        Interrupted, // stopped by abort()
    };
    Q_ENUM(Kind)

    Kind kind = Kind::Reply;
    QByteArray reply;
    QString portText; // as given
    QString device; // the device the link used
    double portNumber = 0; // the number the port text gave, for PortAboveLimit
    LinkError linkError; // why it Failed

    bool succeeded() const { return kind == Kind::Reply; }
    // "COM PORT > 255", "TEST ERROR!!"; none for a reply, which is shown as it is.
    Message message() const;
    // The lines a technician needs to put it right.
    QStringList causes() const;
};

// The link test: configures the link for the port text, sends "ARC*" and
// hands back whatever the instrument answers. One exchange at a time.
class LinkTest : public QObject
{
    Q_OBJECT

public:
    // The link test refuses port numbers above this; the update does not.
    static constexpr double kMaxPortNumber = 255;

    explicit LinkTest(SerialLink *link, QObject *parent = nullptr);

    // Starts a test. False (and nothing done) while a test is already running.
    // Refusals (port above the limit, port cannot be opened) are reported
    // through finished() like every other end.
    bool start(const QString &portText);
    // The same on the link as it stands, when it is open: a port kept open
    // since a device was noted is still that device (its going away would
    // have been seen), while one opened again might not be.
    bool startOnOpenLink(const QString &portText);
    // Stops a running test (Ctrl-C on the command line): the port is closed
    // and the test ends as Interrupted.
    void abort();
    bool isRunning() const { return m_running; }

signals:
    // A test has begun; finished() follows, from the event loop.
    void started();
    void finished(const LinkTestOutcome &outcome);

private:
    bool begin(const QString &portText, bool reuseOpenLink);
    void finish(LinkTestOutcome::Kind kind, const QByteArray &reply = {});

    SerialLink *m_link;
    bool m_running = false;
    bool m_finishing = false;
    double m_portNumber = 0;
    QString m_portText;
    LinkError m_portProblem; // a refusal of ours after the port opened (held by another program)
    QMetaObject::Connection m_replyConnection;
    QMetaObject::Connection m_failConnection;
    QMetaObject::Connection m_cancelConnection;
};
