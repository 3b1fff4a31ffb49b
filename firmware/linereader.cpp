#include "firmware/linereader.h"

#include <QIODevice>

#include <algorithm>
#include <cstring>

namespace {

constexpr char kCr = '\r';
constexpr char kLf = '\n';

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
{
}

bool LineReader::readLine(QByteArray &line)
{
    line.resize(0);
    // Bytes after m_pos already searched for an ending, so that a long line
    // arriving in many chunks is searched once.
    qsizetype searched = 0;
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
            assignBytes(line, begin, ending - begin);
            m_afterCr = *ending == kCr;
            m_pos += (ending - begin) + 1;
            return true;
        }
        searched = end - begin;
        if (!fill())
            break;
    }
    if (m_error || m_pos == m_buffer.size())
        return false;
    // The last line has no ending.
    assignBytes(line, m_buffer.constData() + m_pos, m_buffer.size() - m_pos);
    m_pos = m_buffer.size();
    return true;
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
    const qsizetype kept = m_buffer.size();
    m_buffer.resize(kept + kChunkSize);
    const qint64 got = m_device->read(m_buffer.data() + kept, kChunkSize);
    m_buffer.resize(kept + qsizetype(std::max<qint64>(got, 0)));
    if (got < 0)
        m_error = true;
    else if (got == 0)
        m_eof = true;
    return got > 0;
}

bool LineReader::countLines(QIODevice *device, qint64 &count)
{
    count = 0;
    if (!device)
        return false;
    QByteArray chunk(kChunkSize, Qt::Uninitialized);
    // The same endings as readLine, kept across chunks: a CR at the end of
    // one chunk and its LF at the start of the next end one line.
    bool afterCr = false;
    bool inLine = false;  // bytes seen since the last ending
    for (;;) {
        const qint64 got = device->read(chunk.data(), chunk.size());
        if (got < 0)
            return false;
        if (got == 0)
            break;
        for (const char c : QByteArrayView(chunk.constData(), qsizetype(got))) {
            if (c == kLf && afterCr) {
                afterCr = false;
            } else if (isLineEnd(c)) {
                ++count;
                inLine = false;
                afterCr = c == kCr;
            } else {
                inLine = true;
                afterCr = false;
            }
        }
    }
    if (inLine)
        ++count;
    return true;
}
