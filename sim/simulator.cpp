#include "sim/simulator.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Longer than any line the tool prepares (it counts lengths in 16 bits); a
// sender that never ends its line cannot make us hold more than this.
constexpr std::size_t kMaxLine = 64 * 1024;
// Before hanging up we let the tool read our last reply: closing the master
// discards whatever the device side has not read yet. The flag bytes may
// take a moment to reach the device's queue, hence the minimum; a tool that
// has stopped reading does not keep us for longer than the maximum.
constexpr auto kClosingMin = 50ms;
constexpr auto kClosingMax = 2s;
constexpr auto kClosingPoll = 10ms;
// Paced like a wire, we take the tool's bytes no faster than the wire would
// bring them, and hold at most a serial driver's receive buffer ahead. A
// tool writing a long line then waits on its device as on a real port,
// instead of handing the whole line to the pseudo-terminal at once.
constexpr std::size_t kReceiveAhead = 4096;

volatile std::sig_atomic_t g_signal = 0;

void onSignal(int signal)
{
    g_signal = signal;
}

std::string printable(std::string_view bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

} // namespace

Simulator::Simulator(SimOptions options)
    : m_options(std::move(options))
    , m_instrument(m_options)
    , m_pacer(m_options.baud, m_options.splitAcks, m_options.latency)
{
    m_instrument.setReporter([this](const std::string &text) { note(text); });
}

int Simulator::run()
{
    // The stop signals stay blocked except inside ppoll(), so one that comes
    // in between is not lost and the loop never sleeps through it.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGHUP);
    struct sigaction action
    { };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    // A reader of our standard output that has gone away must not cost us
    // the clean exit (the link removed, the device closed).
    std::signal(SIGPIPE, SIG_IGN);

    std::string error;
    if (!m_device.open(&error)) {
        std::fprintf(stderr, "wexel-instrument-sim: %s\n", error.c_str());
        return 1;
    }
    if (!m_options.linkPath.empty() && !m_device.makeLink(m_options.linkPath, &error)) {
        std::fprintf(stderr, "wexel-instrument-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", m_device.path().c_str());
    std::fflush(stdout);
    note("answering on " + m_device.path()
         + (m_options.linkPath.empty() ? std::string() : " (link " + m_options.linkPath + ")"));

    while (g_signal == 0) {
        writeDue();
        if (m_closing && closingDone())
            break;

        const auto now = Pacer::Clock::now();
        const std::optional<Pacer::Clock::time_point> readAgain = receiveHeldUntil(now);
        pollfd fd{m_device.masterFd(), 0, 0};
        if (!m_unwritten.empty())
            fd.events |= POLLOUT;
        if (!m_stopReading && !readAgain)
            fd.events |= POLLIN;
        // poll() reports a hang-up even when not asked; with nothing to
        // watch, only the time-out may wake us.
        if (fd.events == 0)
            fd.fd = -1;

        std::optional<Pacer::Clock::time_point> wake;
        if (m_unwritten.empty())
            wake = m_pacer.nextDue();
        if (readAgain && !m_stopReading)
            wake = std::min(wake.value_or(*readAgain), *readAgain);
        if (m_closing)
            wake = std::min(wake.value_or(now + kClosingPoll), now + kClosingPoll);
        timespec timeout{};
        if (wake) {
            const auto wait = std::max(Pacer::Clock::duration::zero(), *wake - now);
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        }
        const int ready = ::ppoll(&fd, 1, wake ? &timeout : nullptr, &waitMask);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "wexel-instrument-sim: poll: %s\n", std::strerror(errno));
            m_exitReason = "error";
            break;
        }
        if (ready > 0 && (fd.revents & (POLLIN | POLLHUP | POLLERR)) && !m_stopReading)
            readInput();
    }

    m_device.removeLink();
    m_device.close();
    if (g_signal != 0)
        m_exitReason = "signal";
    std::fputs(m_instrument.summary(m_options.json, m_exitReason).c_str(), stdout);
    std::fflush(stdout);
    return 0;
}

std::optional<Pacer::Clock::time_point> Simulator::receiveHeldUntil(Pacer::Clock::time_point now) const
{
    if (m_pacer.byteTime() == Pacer::Clock::duration::zero())
        return std::nullopt;
    const Pacer::Clock::time_point until
        = m_pacer.receivedThrough() - m_pacer.byteTime() * static_cast<long long>(kReceiveAhead);
    if (until <= now)
        return std::nullopt;
    return until;
}

void Simulator::readInput()
{
    char buffer[64 * 1024];
    const bool paced = m_pacer.byteTime() > Pacer::Clock::duration::zero();
    const std::size_t chunk = paced ? kReceiveAhead : sizeof buffer;
    // A bounded number of reads per wake, so a flood of input cannot keep
    // due replies from going out.
    for (int round = 0; round < 16 && !m_stopReading && !receiveHeldUntil(Pacer::Clock::now()); ++round) {
        const ssize_t n = ::read(m_device.masterFd(), buffer, chunk);
        if (n > 0) {
            m_pacer.received(Pacer::Clock::now(), static_cast<std::size_t>(n));
            takeBytes(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        // With our own device descriptor open the master does not see the
        // tool leave; anything else here would repeat on every poll.
        std::fprintf(stderr, "wexel-instrument-sim: read: %s\n", n == 0 ? "end of input" : std::strerror(errno));
        m_exitReason = "error";
        m_stopReading = true;
        m_closing = true;
        m_closingSince = Pacer::Clock::now();
        return;
    }
}

void Simulator::takeBytes(const char *data, std::size_t size)
{
    std::size_t offset = 0;
    while (offset < size && !m_stopReading) {
        const void *found = std::memchr(data + offset, '\n', size - offset);
        const std::size_t end = found ? static_cast<std::size_t>(static_cast<const char *>(found) - data) : size;
        const std::size_t room = kMaxLine - std::min(kMaxLine, m_partial.size());
        const std::size_t take = std::min(room, end - offset);
        m_partial.append(data + offset, take);
        if (take < end - offset)
            m_truncated = true;
        if (!found)
            return;
        handleCommand(m_partial, m_truncated, end);
        m_partial.clear();
        m_truncated = false;
        offset = end + 1;
    }
}

void Simulator::handleCommand(std::string_view command, bool truncated, std::size_t lastByteOffset)
{
    if (m_options.log)
        logBytes("rx", command);
    const Instrument::Reply reply = m_instrument.handle(command, truncated);
    const auto work = reply.work == Instrument::Work::Erase ? m_options.eraseTime : m_options.ackDelay;
    m_pacer.queueReply(m_pacer.byteArrival(lastByteOffset), work, reply.silent ? std::string_view() : reply.bytes);
    if (m_options.log)
        logBytes(reply.silent ? "tx (silent)" : "tx", reply.bytes);
    if (reply.after != Instrument::After::Nothing) {
        m_pacer.queueMark(reply.after == Instrument::After::HangUp ? kHangUp : kExit);
        m_stopReading = true;
    }
}

void Simulator::writeDue()
{
    for (;;) {
        if (m_unwritten.empty()) {
            if (m_closing)
                return;
            Pacer::Output out = m_pacer.takeDue(Pacer::Clock::now());
            if (out.mark != 0) {
                m_exitReason = out.mark == kHangUp ? "hangup" : "end";
                m_closing = true;
                m_closingSince = Pacer::Clock::now();
                continue;
            }
            if (out.bytes.empty())
                return;
            m_unwritten = std::move(out.bytes);
        }
        const ssize_t n = ::write(m_device.masterFd(), m_unwritten.data(), m_unwritten.size());
        if (n > 0) {
            m_unwritten.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            std::fprintf(stderr, "wexel-instrument-sim: write: %s\n", std::strerror(errno));
            m_unwritten.clear();
        }
        // EAGAIN: the device's queue is full; poll() says when there is room.
        return;
    }
}

bool Simulator::closingDone() const
{
    const auto since = Pacer::Clock::now() - m_closingSince;
    if (since >= kClosingMax)
        return true;
    return since >= kClosingMin && m_unwritten.empty() && m_device.unreadByPeer() == 0;
}

void Simulator::note(const std::string &text) const
{
    if (!m_options.quiet)
        std::fprintf(stderr, "wexel-instrument-sim: %s\n", text.c_str());
}

void Simulator::logBytes(const char *direction, std::string_view bytes) const
{
    std::fprintf(stderr, "%s: \"%s\"\n", direction, printable(bytes).c_str());
}
