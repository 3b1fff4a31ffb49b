#pragma once

#include "core/firmware/imagecheck.h"
#include "core/firmware/imageformat.h"
#include "core/firmware/imagemap.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>

// What the readers of record files (Intel HEX, Motorola S-record) share: the
// file's lines one by one, blank lines and the spaces around a record left
// aside as in a text image; each record's digits decoded; its data put into
// the image map, refused when it lies past the instrument's last address or
// writes an address twice; nothing but blank lines after an end record; and
// a refusal that names the line and what is wrong in it. Each format's own
// reader takes its records apart and says what they mean.
class RecordReader
{
public:
    // The longest record: Intel HEX of 255 data bytes, ':' and 2 × (1 + 2 +
    // 1 + 255 + 1) digits. An S-record holds at most 255 bytes after its
    // type and count, 514 characters.
    static constexpr qsizetype kMaxRecordLength = 521;

    // The reader of a record format; none for text.
    static std::unique_ptr<RecordReader> make(ImageFormat::Kind format);
    virtual ~RecordReader() = default;
    RecordReader(const RecordReader &) = delete;
    RecordReader &operator=(const RecordReader &) = delete;

    ImageFormat::Kind format() const { return m_format; }
    // The file's size as the file system gives it, for the image map's room.
    void expectSize(qint64 size) { m_map.reserveFor(size); }
    // Blank lines before the first record: only counted.
    void skipBlankLines(qint64 count) { m_line += count; }
    // The next line of the file. `length` is the line's whole length when
    // `line` holds only its start (LineReader's limit), otherwise -1. False
    // once the file is refused.
    bool addLine(QByteArrayView line, qint64 length = -1);
    // After the last line: false when the file as a whole is refused.
    bool finish();

    const ImageProblem &problem() const { return m_problem; }
    ImageMap &map() { return m_map; }
    qint64 lineCount() const { return m_line; }
    // What the file says beyond its data, for --check: its format, lines,
    // data records, header and start address.
    void describeTo(ImageSummary &summary) const;

protected:
    explicit RecordReader(ImageFormat::Kind format);

    // One record, without the spaces around it; it begins at `offset` in its
    // line. False when refused.
    virtual bool takeRecord(QByteArrayView record, qsizetype offset) = 0;
    // After the last line: what the format asks of a whole file.
    virtual bool finishRecords() { return true; }

    // Decodes the pairs of hexadecimal digits of `digits`, which begin at
    // `offset` in the line, into m_bytes: the record's bytes. False, refused,
    // on a character that is no digit or an odd count of digits.
    bool decode(QByteArrayView digits, qsizetype offset);
    // A record's address or count: its bytes, most significant first.
    static quint64 bigEndian(QByteArrayView bytes);
    // Data of the current record from `address` on, into the map.
    bool addData(quint64 address, QByteArrayView bytes);
    // An end record: nothing but blank lines may follow it.
    void endRecordSeen() { m_endLine = m_line; }
    bool endSeen() const { return m_endLine > 0; }
    void setStartAddress(quint64 address);
    // Refuses the file at the current line; `position`, 0-based in the line,
    // when one character is at fault. Returns false.
    bool refuse(ImageProblem::Kind kind, const QString &detail = {}, qsizetype position = -1);
    // The refusal's details beyond what refuse() sets.
    ImageProblem &refusal() { return m_problem; }

    QByteArray m_bytes; // the current record's bytes
    qint64 m_dataRecords = 0;
    QByteArray m_header;
    bool m_headerSeen = false;

private:
    ImageFormat::Kind m_format;
    ImageMap m_map;
    ImageProblem m_problem;
    QByteArrayView m_raw; // the current line, as read
    qint64 m_length = 0; // its whole length
    qint64 m_line = 0; // 1-based, of the current line
    qint64 m_endLine = 0;
    qint64 m_startAddress = -1;
    qint64 m_startAddressLine = 0;
};
