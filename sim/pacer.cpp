#include "sim/pacer.h"

#include <algorithm>

namespace {

// 8N1: a start bit, eight data bits and a stop bit for every byte.
constexpr long long kBitsPerByte = 10;

} // namespace

Pacer::Pacer(long baud, bool splitReplies, Clock::duration latency)
    : m_split(splitReplies)
    , m_latency(latency)
{
    if (baud > 0) {
        // Rounded up, so the simulator is never faster than the wire.
        const long long ns = (kBitsPerByte * 1'000'000'000LL + baud - 1) / baud;
        m_byteTime = std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
    }
}

void Pacer::received(Clock::time_point now, std::size_t size)
{
    m_chunkStart = std::max(now, m_rxFree);
    m_rxFree = m_chunkStart + m_byteTime * static_cast<long long>(size);
}

Pacer::Clock::time_point Pacer::byteArrival(std::size_t offsetInChunk) const
{
    return m_chunkStart + m_byteTime * static_cast<long long>(offsetInChunk + 1);
}

void Pacer::queueReply(Clock::time_point arrived, Clock::duration work, std::string_view bytes)
{
    const Clock::time_point ready = std::max(arrived, m_busyUntil) + work;
    m_busyUntil = ready;
    if (bytes.empty())
        return;
    const Clock::time_point start = std::max(ready, m_txFree);
    if (m_split && bytes.size() > 1) {
        const Clock::duration gap = std::max<Clock::duration>(m_byteTime, kSplitGap);
        Clock::time_point due = start + m_byteTime;
        for (char c : bytes) {
            m_queue.push_back({adapterTick(due), std::string(1, c)});
            due += gap;
        }
        m_txFree = due - gap;
    } else if (m_byteTime > Clock::duration::zero()) {
        Clock::time_point due = start;
        for (char c : bytes) {
            due += m_byteTime;
            m_queue.push_back({adapterTick(due), std::string(1, c)});
        }
        m_txFree = due;
    } else {
        m_queue.push_back({adapterTick(start), std::string(bytes)});
        m_txFree = start;
    }
}

Pacer::Clock::time_point Pacer::adapterTick(Clock::time_point arrived) const
{
    if (m_latency <= Clock::duration::zero() || arrived <= m_epoch)
        return arrived;
    // Only the hand-over to the tool waits; the instrument's wire is free
    // as before (m_txFree above). Rounded up to the next whole tick: later
    // bytes never get an earlier tick, so the queue stays in order.
    const auto ticks = (arrived - m_epoch + m_latency - Clock::duration(1)) / m_latency;
    return m_epoch + ticks * m_latency;
}

void Pacer::queueMark(int mark)
{
    const Clock::time_point due = m_queue.empty() ? Clock::time_point{} : m_queue.back().due;
    m_queue.push_back({due, {}, mark});
}

std::optional<Pacer::Clock::time_point> Pacer::nextDue() const
{
    if (m_queue.empty())
        return std::nullopt;
    return m_queue.front().due;
}

Pacer::Output Pacer::takeDue(Clock::time_point now)
{
    Output out;
    // Bytes that fell due together go out in one write, except when replies
    // are split on purpose; a mark waits until the bytes before it are out.
    while (!m_queue.empty() && m_queue.front().due <= now) {
        Entry &front = m_queue.front();
        if (front.mark != 0) {
            if (out.bytes.empty()) {
                out.mark = front.mark;
                m_queue.pop_front();
            }
            break;
        }
        if (m_split && !out.bytes.empty())
            break;
        out.bytes += front.bytes;
        m_queue.pop_front();
    }
    return out;
}
