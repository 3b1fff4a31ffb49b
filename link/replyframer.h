#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>
#include <utility>

// Cuts the instrument's replies out of the bytes received: a reply is
// everything up to and including the first end-of-read character; later
// bytes wait for the next reply. No byte is lost or delivered twice.
class ReplyFramer
{
public:
    explicit ReplyFramer(char endOfRead = '*')
        : m_end(endOfRead)
    {
    }

    void append(QByteArrayView bytes) { m_buffer.append(bytes.data(), bytes.size()); }
    // The next whole reply, if one has arrived.
    std::optional<QByteArray> takeReply()
    {
        const qsizetype end = m_buffer.indexOf(m_end);
        if (end < 0)
            return std::nullopt;
        QByteArray reply = m_buffer.left(end + 1);
        m_buffer.remove(0, end + 1);
        return reply;
    }
    // Whatever has arrived, whole reply or not (a read that timed out takes this).
    QByteArray takeAll() { return std::exchange(m_buffer, {}); }
    bool containsReply() const { return m_buffer.contains(m_end); }
    bool isEmpty() const { return m_buffer.isEmpty(); }
    qsizetype size() const { return m_buffer.size(); }
    void clear() { m_buffer.clear(); }

private:
    char m_end;
    QByteArray m_buffer;
};
