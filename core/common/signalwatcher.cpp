#include "core/common/signalwatcher.h"

int SignalWatcher::s_writeFd = -1;
volatile std::sig_atomic_t SignalWatcher::s_arrived = 0;

#ifndef Q_OS_UNIX

// Elsewhere signals end the program as they always did: the watcher is not valid.
SignalWatcher::SignalWatcher(std::initializer_list<int>, QObject *parent)
    : QObject(parent)
{ }

SignalWatcher::~SignalWatcher() = default;

void SignalWatcher::handleActivated() { }

void SignalWatcher::handleSignal(int) { }

#else

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

SignalWatcher::SignalWatcher(std::initializer_list<int> signalNumbers, QObject *parent)
    : QObject(parent)
{
    int fds[2];
    if (s_writeFd >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    // The handler must never block, not even on a full socket.
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    s_writeFd = fds[0];
    m_readFd = fds[1];
    m_notifier = new QSocketNotifier(m_readFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::handleActivated);

    for (const int number : signalNumbers) {
        struct sigaction action = {};
        action.sa_handler = &SignalWatcher::handleSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART | SA_RESETHAND;
        ::sigaction(number, &action, nullptr);
        m_signalNumbers.append(number);
    }
}

SignalWatcher::~SignalWatcher()
{
    if (m_readFd < 0)
        return;
    for (const int number : std::as_const(m_signalNumbers))
        std::signal(number, SIG_DFL);
    delete m_notifier;
    ::close(m_readFd);
    const int writeFd = s_writeFd;
    s_writeFd = -1;
    ::close(writeFd);
}

void SignalWatcher::handleSignal(int signalNumber)
{
    const int savedErrno = errno;
    s_arrived = 1;
    if (s_writeFd >= 0) {
        const char byte = char(signalNumber);
        [[maybe_unused]] const ssize_t written = ::write(s_writeFd, &byte, 1);
    }
    errno = savedErrno;
}

void SignalWatcher::handleActivated()
{
    char bytes[16];
    const ssize_t n = ::read(m_readFd, bytes, sizeof bytes);
    for (ssize_t i = 0; i < n; ++i)
        emit signalReceived(int(static_cast<unsigned char>(bytes[i])));
}

#endif
