#pragma once

#include <QList>
#include <QObject>

#include <csignal>
#include <initializer_list>

class QSocketNotifier;

// Turns POSIX signals (SIGINT, SIGTERM, SIGHUP) into a Qt signal on the
// event loop, for both programs: a logout, a closed terminal or Ctrl-C ends
// an update as an outcome with its record, never by killing the process.
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
    // A watched signal has arrived, also one the event loop has not passed on
    // yet: the last look before something that cannot be taken back.
    static bool hasArrived() { return s_arrived != 0; }

signals:
    void signalReceived(int signalNumber);

private:
    void handleActivated();
    static void handleSignal(int signalNumber);

    // One watcher per process: a signal handler has no object to go to.
    static int s_writeFd;
    static volatile std::sig_atomic_t s_arrived;
    QList<int> m_signalNumbers;
    int m_readFd = -1;
    QSocketNotifier *m_notifier = nullptr;
};
