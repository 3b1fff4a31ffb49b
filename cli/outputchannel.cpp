#include "cli/outputchannel.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A descriptor of our own on the same pipe or terminal, non-blocking. The
// one the program was given is shared with the shell and with other
// programs; making that one non-blocking would surprise them.
int openNonBlocking(int fd)
{
    struct stat info
    { };
    if (::fstat(fd, &info) != 0 || !(S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)))
        return -1;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return ::open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

bool isSocket(int fd)
{
    struct stat info
    { };
    return ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
}

} // namespace

OutputChannel &OutputChannel::standardOutput()
{
    // Never destroyed: output may be written until the very end.
    static OutputChannel *channel = new OutputChannel(STDOUT_FILENO);
    return *channel;
}

OutputChannel &OutputChannel::standardError()
{
    static OutputChannel *channel = new OutputChannel(STDERR_FILENO);
    return *channel;
}

OutputChannel::OutputChannel(int fd, QObject *parent)
    : QObject(parent)
    , m_fd(fd)
    , m_writeFd(fd)
    , m_socket(isSocket(fd))
{
    if (const int own = openNonBlocking(fd); own >= 0) {
        m_writeFd = own;
        m_ownWriteFd = true;
    }
}

OutputChannel::~OutputChannel()
{
    if (m_ownWriteFd)
        ::close(m_writeFd);
}

bool OutputChannel::isTerminal() const
{
    return ::isatty(m_fd) == 1;
}

void OutputChannel::write(QByteArrayView bytes, Delivery delivery)
{
    if (bytes.isEmpty())
        return;
    if (m_gone) {
        m_dropped += bytes.size();
        return;
    }
    if (delivery == Delivery::MayDrop && m_pending.size() + bytes.size() > kMaxPending) {
        m_dropped += bytes.size();
        m_droppedUnnoted += bytes.size();
        return;
    }
    m_pending.append(bytes);
    if (delivery == Delivery::Awaited)
        drain(std::nullopt);
    else
        flushPending();
}

void OutputChannel::flushPending()
{
    while (!m_pending.isEmpty()) {
        // A socket (a journal) takes MSG_DONTWAIT; pipes and terminals are
        // written through our own non-blocking descriptor.
        const ssize_t written = m_socket
            ? ::send(m_writeFd, m_pending.constData(), size_t(m_pending.size()), MSG_DONTWAIT | MSG_NOSIGNAL)
            : ::write(m_writeFd, m_pending.constData(), size_t(m_pending.size()));
        if (written > 0) {
            m_pending.remove(0, written);
            if (m_pending.isEmpty() && m_droppedUnnoted > 0) {
                const qint64 dropped = std::exchange(m_droppedUnnoted, 0);
                if (m_dropNote)
                    m_pending = m_dropNote(dropped);
            }
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!m_notifier) {
                m_notifier = new QSocketNotifier(m_writeFd, QSocketNotifier::Write, this);
                connect(m_notifier, &QSocketNotifier::activated, this, &OutputChannel::flushPending);
            }
            m_notifier->setEnabled(true);
            return;
        }
        // The reader has gone (EPIPE) or the output cannot be written: what
        // follows is dropped, and the update is not held up by it.
        m_gone = true;
        m_dropped += m_pending.size();
        m_pending.clear();
    }
    if (m_notifier)
        m_notifier->setEnabled(false);
}

bool OutputChannel::drain(std::optional<std::chrono::milliseconds> wait)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + wait.value_or(std::chrono::milliseconds(0));
    flushPending();
    while (!m_pending.isEmpty() && !m_gone) {
        int timeout = -1;
        if (wait) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            timeout = int(left.count());
        }
        pollfd p{m_writeFd, POLLOUT, 0};
        if (::poll(&p, 1, timeout) < 0) {
            // A signal ends a wait without end: Ctrl-C is how a person gives
            // up on a reader that takes nothing.
            if (errno != EINTR || !wait)
                return false;
        }
        flushPending();
    }
    return true;
}

void OutputChannel::drainAtExit()
{
    // Both share the time, so a stalled reader costs the program at most
    // this long at its end.
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    standardOutput().drain(kExitDrainTime);
    const auto used = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    standardError().drain(std::max(kExitDrainTime - used, std::chrono::milliseconds(0)));
}
