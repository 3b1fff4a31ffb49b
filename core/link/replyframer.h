#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <algorithm>
#include <optional>
#include <utility>

// Cuts the instrument's replies out of the bytes received: a reply is
// everything up to and including the first end-of-read character; later
// bytes wait for the next reply. No byte is lost or delivered twice.
//
// What waits is bounded: a device that sends bytes without ever sending the
// end-of-read character must not make the buffer grow without end. Once more
// than `limit` bytes wait, the framer has overflowed: later bytes are
// dropped, and since a reply cut out after a gap could be taken for another
// one, no reply is handed out until clear().
class ReplyFramer
{
public:
    // Real replies are a few bytes ("*", "NG*", the link test's answer); a
    // few KiB is far above any of them and small enough to hold at no cost.
    static constexpr qsizetype kDefaultLimit = 4096;

    explicit ReplyFramer(char endOfRead = '*', qsizetype limit = kDefaultLimit)
        : m_end(endOfRead)
        , m_limit(limit)
    { }

    void append(QByteArrayView bytes)
    {
        if (m_overflowed) {
            drop(bytes);
            return;
        }
        const qsizetype room = m_limit - m_buffer.size();
        if (bytes.size() > room) {
            m_buffer.append(bytes.data(), room);
            drop(bytes.sliced(room));
            m_overflowed = true;
            return;
        }
        m_buffer.append(bytes.data(), bytes.size());
    }
    // The next whole reply, if one has arrived.
    std::optional<QByteArray> takeReply()
    {
        if (m_overflowed)
            return std::nullopt;
        const qsizetype end = m_buffer.indexOf(m_end);
        if (end < 0)
            return std::nullopt;
        QByteArray reply = m_buffer.left(end + 1);
        m_buffer.remove(0, end + 1);
        return reply;
    }
    // Whatever has arrived, whole reply or not (a read that timed out takes this).
    QByteArray takeAll() { return std::exchange(m_buffer, {}); }
    bool containsReply() const { return !m_overflowed && m_buffer.contains(m_end); }
    bool overflowed() const { return m_overflowed; }
    bool isEmpty() const { return m_buffer.isEmpty(); }
    qsizetype size() const { return m_buffer.size(); }
    // Bytes that came and are neither handed out nor cleared: those kept
    // and those dropped after an overflow.
    qint64 pending() const { return m_buffer.size() + m_dropped; }
    // End-of-read characters among those bytes: each one closed a reply.
    qint64 pendingEnds() const { return m_buffer.count(m_end) + m_droppedEnds; }
    void clear()
    {
        m_buffer.clear();
        m_overflowed = false;
        m_dropped = 0;
        m_droppedEnds = 0;
    }

private:
    // Dropped bytes are not kept, but whether they closed replies is: a
    // reply lost in a flood still answered some command.
    void drop(QByteArrayView bytes)
    {
        m_dropped += bytes.size();
        m_droppedEnds += std::count(bytes.begin(), bytes.end(), m_end);
    }

    char m_end;
    qsizetype m_limit;
    QByteArray m_buffer;
    bool m_overflowed = false;
    qint64 m_dropped = 0;
    qint64 m_droppedEnds = 0;
};
