#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

// Times the simulator's answers the way a serial wire and a busy instrument
// would, so an update through the simulator takes as long as on the bench.
//
// Receiving: bytes that are read together are taken to have entered the
// wire when they were read, one after another at the wire's speed, and never
// before the previous bytes were through. The instrument works on one
// command at a time: it starts once the command has fully arrived and the
// previous one is done, works for the given time, then queues its reply.
// Sending: the reply leaves byte by byte at the wire's speed; each byte is
// written to the pseudo-terminal when its stop bit would have arrived.
// Without a baud rate the wire takes no time and replies are written whole.
// With a latency, a USB serial adapter sits between us and the tool: it
// passes on what it has received only when its latency timer ticks, every
// so many milliseconds, so each byte waits for the first tick after it has
// arrived in the adapter.
class Pacer
{
public:
    using Clock = std::chrono::steady_clock;

    // A piece of output that is due, or a mark (bytes empty) that was queued
    // behind earlier output and is now reached.
    struct Output
    {
        std::string bytes;
        int mark = 0;
    };

    // Spacing of single bytes with splitReplies: long enough that a reader
    // gets each byte in a read of its own.
    static constexpr std::chrono::milliseconds kSplitGap{5};

    // baud 0: no wire time. splitReplies: replies of more than one byte go
    // out one byte per write, at least kSplitGap apart. latency 0: no adapter;
    // otherwise its timer ticks at whole multiples of it since construction.
    Pacer(long baud, bool splitReplies, Clock::duration latency = {});

    // size bytes were read at `now`; byteArrival() then tells when each of
    // them would have fully arrived.
    void received(Clock::time_point now, std::size_t size);
    Clock::time_point byteArrival(std::size_t offsetInChunk) const;

    // The instrument's answer to a command that arrived at `arrived`, after
    // `work` of its own time. An empty reply still keeps the instrument busy.
    void queueReply(Clock::time_point arrived, Clock::duration work, std::string_view bytes);
    // A mark that takeDue() hands back once everything queued before it has
    // been taken (for example: hang up after this reply).
    void queueMark(int mark);

    bool idle() const { return m_queue.empty(); }
    std::optional<Clock::time_point> nextDue() const;
    // What is due at `now`: bytes to write in one go, or a mark.
    Output takeDue(Clock::time_point now);

    Clock::duration byteTime() const { return m_byteTime; }
    // When every byte received so far will have come off the wire.
    Clock::time_point receivedThrough() const { return m_rxFree; }

private:
    // When bytes that reached the adapter at `arrived` are passed on.
    Clock::time_point adapterTick(Clock::time_point arrived) const;

    struct Entry
    {
        Clock::time_point due;
        std::string bytes;
        int mark = 0;
    };

    Clock::duration m_byteTime{};
    bool m_split = false;
    Clock::duration m_latency{};
    Clock::time_point m_epoch = Clock::now();
    Clock::time_point m_chunkStart{};
    Clock::time_point m_rxFree{};
    Clock::time_point m_busyUntil{};
    Clock::time_point m_txFree{};
    std::deque<Entry> m_queue;
};
