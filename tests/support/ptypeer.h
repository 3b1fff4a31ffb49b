#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QSocketNotifier;

// The far end of a pseudo-terminal, standing in for the instrument in tests.
// The link opens slavePath(); the peer sees every byte the link sends and can
// answer, stay silent or hang up. Received bytes are collected by the event
// loop (QSocketNotifier), so WEXEL_TRY_* waits see them arrive.
class PtyPeer : public QObject
{
    Q_OBJECT

public:
    struct Command
    {
        QByteArray bytes; // without the terminating line feed
        qint64 atMs; // when it arrived, ms since the peer was made
    };

    PtyPeer();
    ~PtyPeer() override;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }

    // Every byte received so far, and the same split at line feeds.
    QByteArray received() const { return m_received; }
    const QList<Command> &commands() const { return m_commands; }
    void clearReceived();

    // Called for each line-feed-terminated command as it arrives.
    void setCommandHandler(std::function<void(const QByteArray &command)> handler) { m_handler = std::move(handler); }

    // Sends bytes to the link.
    void send(const QByteArray &bytes);
    // Closes the master side: the link sees a hang-up. The link made by
    // makeLink() goes with it.
    void hangUp();
    // A name of the test's own for the device, removed on hangUp() and at
    // the end, as a pulled adapter's name goes. The device's own path is
    // handed to the next pseudo-terminal made once this one is gone, maybe
    // another test's: a test that hangs up and then opens the port again
    // opens this name, which then leads nowhere. False when it cannot be made.
    bool makeLink(const QString &path);
    QString linkPath() const { return m_linkPath; }
    // Stops or resumes taking bytes: a peer that stops reading fills the
    // device, and the link's writes stop draining.
    void setReading(bool reading);
    qint64 elapsedMs() const { return m_clock.elapsed(); }

private:
    void readMaster();
    void removeLink();

    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    QString m_linkPath;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QByteArray m_received;
    QByteArray m_partial;
    QList<Command> m_commands;
    std::function<void(const QByteArray &)> m_handler;
    QElapsedTimer m_clock;
};
