#include "core/firmware/recordreader.h"

#include "core/firmware/firmwareline.h"
#include "core/firmware/intelhex.h"
#include "core/firmware/linegrammar.h"
#include "core/firmware/srecord.h"

#include <algorithm>

std::unique_ptr<RecordReader> RecordReader::make(ImageFormat::Kind format)
{
    switch (format) {
    case ImageFormat::Kind::Text:
        break;
    case ImageFormat::Kind::IntelHex:
        return std::make_unique<IntelHexReader>();
    case ImageFormat::Kind::SRecord:
        return std::make_unique<SRecordReader>();
    }
    return nullptr;
}

RecordReader::RecordReader(ImageFormat::Kind format)
    : m_format(format)
{
    m_problem.format = format;
}

bool RecordReader::addLine(QByteArrayView line, qint64 length)
{
    ++m_line;
    if (m_problem.refused())
        return false;
    m_raw = line;
    m_length = std::max<qint64>(length, line.size());
    const bool cut = m_length > line.size();
    const QByteArrayView record = spacesTrimmed(line);
    if (record.isEmpty() && !cut)
        return true;
    if (endSeen()) {
        refuse(ImageProblem::Kind::DataAfterEnd);
        m_problem.earlierLine = m_endLine;
        return false;
    }
    if (cut || record.size() > kMaxRecordLength)
        return refuse(ImageProblem::Kind::RecordLength,
                      QObject::tr("longer than any record (at most %1 characters)").arg(kMaxRecordLength));
    return takeRecord(record, record.data() - line.data());
}

bool RecordReader::finish()
{
    if (m_problem.refused())
        return false;
    m_raw = {};
    m_length = 0;
    return finishRecords();
}

void RecordReader::describeTo(ImageSummary &summary) const
{
    summary.format = m_format;
    summary.linesInFile = m_line;
    summary.dataRecords = m_dataRecords;
    summary.header = m_header;
    summary.startAddress = m_startAddress;
    summary.startAddressLine = m_startAddressLine;
    summary.endRecord = endSeen();
}

quint64 RecordReader::bigEndian(QByteArrayView bytes)
{
    quint64 value = 0;
    for (const char b : bytes)
        value = (value << 8) | quint8(b);
    return value;
}

bool RecordReader::decode(QByteArrayView digits, qsizetype offset)
{
    // A last odd digit gets a byte of its own, refused once every digit is known to be one.
    m_bytes.resize((digits.size() + 1) / 2);
    char *out = m_bytes.data();
    for (qsizetype i = 0; i < digits.size(); ++i) {
        const int value = LineGrammar::hexValue(digits[i]);
        if (value < 0) {
            refuse(ImageProblem::Kind::NotHex, {}, offset + i);
            m_problem.byte = static_cast<unsigned char>(digits[i]);
            return false;
        }
        if (i % 2 == 0)
            out[i / 2] = char(value << 4);
        else
            out[i / 2] = char(out[i / 2] | value);
    }
    if (digits.size() % 2 != 0)
        return refuse(ImageProblem::Kind::RecordLength,
                      QObject::tr("an odd count of hexadecimal digits: its last byte is cut in two"));
    return true;
}

bool RecordReader::addData(quint64 address, QByteArrayView bytes)
{
    switch (m_map.add(address, bytes, m_line)) {
    case ImageMap::Added::Ok:
        return true;
    case ImageMap::Added::PastLastAddress:
        refuse(ImageProblem::Kind::PastLastAddress);
        m_problem.address = address;
        m_problem.byteCount = bytes.size();
        return false;
    case ImageMap::Added::Overlap:
        refuse(ImageProblem::Kind::Overlap);
        m_problem.address = m_map.overlapAddress();
        m_problem.earlierLine = m_map.overlapFirstLine();
        m_problem.earlierLastLine = m_map.overlapLastLine();
        return false;
    }
    return false;
}

void RecordReader::setStartAddress(quint64 address)
{
    m_startAddress = qint64(address);
    m_startAddressLine = m_line;
}

bool RecordReader::refuse(ImageProblem::Kind kind, const QString &detail, qsizetype position)
{
    m_problem.kind = kind;
    m_problem.detail = detail;
    m_problem.line = m_line;
    m_problem.column = position + 1;
    m_problem.lineText = m_raw.toByteArray();
    m_problem.lineLength = m_length;
    return false;
}
