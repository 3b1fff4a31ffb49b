#include "core/firmware/linereader.h"

#include <QCryptographicHash>
#include <QIODevice>

#include <algorithm>
#include <cstring>

namespace {

constexpr char kCr = '\r';
constexpr char kLf = '\n';
// The UTF-8 byte-order mark.
constexpr QByteArrayView kByteOrderMark("\xEF\xBB\xBF");

bool isLineEnd(char c)
{
    return c == kCr || c == kLf;
}

// Copies into the caller's array so that its capacity is reused line after line.
void assignBytes(QByteArray &to, const char *from, qsizetype size)
{
    to.resize(size);
    if (size > 0)
        std::memcpy(to.data(), from, size_t(size));
}

} // namespace

LineReader::LineReader(QIODevice *device)
    : m_device(device)
{ }

bool LineReader::readLine(QByteArray &line)
{
    line.resize(0);
    m_lineLength = 0;
    // Bytes of the line past its kept start have been counted and let go.
    bool cut = false;
    // Bytes after m_pos already searched for an ending, so that a long line
    // arriving in many chunks is searched once.
    qsizetype searched = 0;
    // Hands out the line's bytes that are still in the buffer.
    const auto take = [&](qsizetype size) {
        if (!cut)
            assignBytes(line, m_buffer.constData() + m_pos, m_lineLimit < 0 ? size : std::min(size, m_lineLimit));
        m_lineLength += size;
    };
    for (;;) {
        if (m_afterCr && m_pos < m_buffer.size()) {
            m_afterCr = false;
            if (m_buffer.at(m_pos) == kLf)
                ++m_pos;
        }
        const char *const begin = m_buffer.constData() + m_pos;
        const char *const end = m_buffer.constData() + m_buffer.size();
        const char *const ending = std::find_if(begin + searched, end, isLineEnd);
        if (ending != end) {
            take(ending - begin);
            m_afterCr = *ending == kCr;
            m_pos += (ending - begin) + 1;
            return true;
        }
        searched = end - begin;
        if (m_lineLimit >= 0 && searched > m_lineLimit) {
            // Longer than any line kept: its start is kept, the rest only counted.
            take(searched);
            cut = true;
            m_pos = m_buffer.size();
            searched = 0;
        }
        if (!fill())
            break;
    }
    if (m_error || (m_pos == m_buffer.size() && !cut))
        return false;
    // The last line has no ending.
    take(m_buffer.size() - m_pos);
    m_pos = m_buffer.size();
    return true;
}

qint64 LineReader::readChunk(char *to, qint64 size)
{
    // One byte past the limit tells a file that is larger (or has grown since
    // its size was looked at) from one that ends there.
    if (m_byteLimit >= 0)
        size = std::min(size, m_byteLimit + 1 - m_bytesRead);
    const qint64 got = m_device->read(to, size);
    if (got <= 0)
        return got;
    m_bytesRead += got;
    if (m_byteLimit >= 0 && m_bytesRead > m_byteLimit) {
        m_exceededLimit = true;
        return -1;
    }
    if (m_hash)
        m_hash->addData(QByteArrayView(to, qsizetype(got)));
    return got;
}

bool LineReader::fill()
{
    if (m_eof || m_error || !m_device)
        return false;
    // Only the unfinished line is kept; what came before it has been handed out.
    if (m_pos > 0) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    bool added = false;
    qint64 got = 0;
    do {
        const qsizetype kept = m_buffer.size();
        m_buffer.resize(kept + kChunkSize);
        got = readChunk(m_buffer.data() + kept, kChunkSize);
        m_buffer.resize(kept + qsizetype(std::max<qint64>(got, 0)));
        added = added || got > 0;
        // At the very start the mark's three bytes are gathered first,
        // however the device cuts its reads.
    } while (m_atStart && got > 0 && m_buffer.size() < kByteOrderMark.size());
    if (got < 0)
        m_error = true;
    else if (got == 0)
        m_eof = true;
    if (m_atStart) {
        m_atStart = false;
        if (m_buffer.startsWith(kByteOrderMark))
            m_buffer.remove(0, kByteOrderMark.size());
    }
    return added && !m_error;
}

bool LineReader::countLines(QIODevice *device, qint64 &count, qint64 byteLimit)
{
    count = 0;
    if (!device)
        return false;
    LineReader reader(device);
    reader.setByteLimit(byteLimit);
    reader.setLineLimit(0);
    QByteArray line;
    while (reader.readLine(line))
        ++count;
    return !reader.hasError();
}
