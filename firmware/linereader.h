#pragma once

#include <QByteArray>

class QIODevice;

// Reads a firmware file line by line from any QIODevice, streaming.
// A line ends at CR, CR LF or LF; the ending is not part of the line; a last
// line without an ending is still a line; an empty file has no lines.
// Bytes are passed through untouched (NUL and bytes above 127 included).
// The device is read until it returns no more data, as files and buffers do.
class LineReader
{
public:
    // Bytes asked of the device at a time. Lines are not limited by it.
    static constexpr qsizetype kChunkSize = 64 * 1024;

    explicit LineReader(QIODevice *device);

    // The next line into 'line'. False at the end of the data or on a read
    // error (then hasError() is true).
    bool readLine(QByteArray &line);
    bool hasError() const { return m_error; }

    // Counts the remaining lines without keeping them.
    static bool countLines(QIODevice *device, qint64 &count);

private:
    bool fill();

    QIODevice *m_device;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    bool m_eof = false;
    bool m_error = false;
    // The last line ended at a CR whose LF, if any, has not been seen yet:
    // the CR may be the last byte of one chunk and the LF the first of the next.
    bool m_afterCr = false;
};
