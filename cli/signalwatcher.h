#pragma once

#include <QList>
#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Turns POSIX signals (SIGINT, SIGTERM) into a Qt signal on the event loop.
// The handler only writes the signal's number into a socket pair; the event
// loop reads it there, so nothing that is unsafe in a signal handler runs in
// one. A second signal of the same kind gets the default action, so a
// program that does not stop at once can still be killed with Ctrl-C.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(std::initializer_list<int> signalNumbers, QObject *parent = nullptr);
    ~SignalWatcher() override;

    // False when the socket pair could not be made; no signal is caught then.
    bool isValid() const { return m_notifier != nullptr; }

signals:
    void signalReceived(int signalNumber);

private:
    void handleActivated();
    static void handleSignal(int signalNumber);

    // One watcher per process: a signal handler has no object to go to.
    static int s_writeFd;
    QList<int> m_signalNumbers;
    int m_readFd = -1;
    QSocketNotifier *m_notifier = nullptr;
};
