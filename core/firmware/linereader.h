#pragma once

#include <QByteArray>

class QCryptographicHash;
class QIODevice;

// Reads a firmware file line by line from any QIODevice, streaming.
// A line ends at CR, CR LF or LF; the ending is not part of the line; a last
// line without an ending is still a line; an empty file has no lines.
// A UTF-8 byte-order mark at the very start, as Windows editors write it,
// is an encoding marker and not part of the first line: it is skipped.
// Every other byte is passed through untouched (NUL and bytes above 127
// included). The device is read until it returns no more data, as files and
// buffers do, or up to a limit. A line may be kept to its start only, so that
// a file of one endless line costs no more than a short one.
class LineReader
{
public:
    // Bytes asked of the device at a time. Lines are not limited by it.
    static constexpr qsizetype kChunkSize = 64 * 1024;

    explicit LineReader(QIODevice *device);

    // Reads no more than this many bytes of the device; with more there,
    // reading ends as an error and exceededLimit() is true.
    void setByteLimit(qint64 limit) { m_byteLimit = limit; }
    // Every byte read from the device, the mark included, goes into this hash too.
    void setHash(QCryptographicHash *hash) { m_hash = hash; }
    // Keeps no more than this many bytes of a line: a longer one is handed
    // out cut to its first `limit` bytes, the rest read and counted only.
    void setLineLimit(qsizetype limit) { m_lineLimit = limit; }

    // The next line into 'line'. False at the end of the data or on a read
    // error (then hasError() is true).
    bool readLine(QByteArray &line);
    // The whole length of the line last read, also when it was cut.
    qint64 lineLength() const { return m_lineLength; }
    bool hasError() const { return m_error; }
    bool exceededLimit() const { return m_exceededLimit; }
    // Bytes read from the device so far.
    qint64 bytesRead() const { return m_bytesRead; }

    // Counts the remaining lines without keeping them; false on a read error
    // or with more than byteLimit bytes. Takes room for one chunk only.
    static bool countLines(QIODevice *device, qint64 &count, qint64 byteLimit = -1);

private:
    bool fill();
    qint64 readChunk(char *to, qint64 size);

    QIODevice *m_device;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    bool m_eof = false;
    bool m_error = false;
    bool m_exceededLimit = false;
    bool m_atStart = true; // the byte-order mark is looked for here only
    qint64 m_byteLimit = -1;
    qint64 m_bytesRead = 0;
    qsizetype m_lineLimit = -1;
    qint64 m_lineLength = 0;
    QCryptographicHash *m_hash = nullptr;
    // The last line ended at a CR whose LF, if any, has not been seen yet:
    // the CR may be the last byte of one chunk and the LF the first of the next.
    bool m_afterCr = false;
};
