#include "core/firmware/intelhex.h"

#include <algorithm>

namespace {

constexpr char kMark = ':';
// Length, two address bytes, type; the checksum after the data.
constexpr qsizetype kHeadBytes = 4;
constexpr qsizetype kFrameBytes = kHeadBytes + 1;
// Under an extended segment address, an address within the segment wraps
// at its end: the format's rule for 02 records alone.
constexpr quint32 kSegmentSize = 0x10000;
// An extended segment address counts paragraphs of 16 bytes.
constexpr int kParagraphShift = 4;
constexpr int kUpperShift = 16;

enum RecordType : quint8 {
    Data = 0x00,
    EndOfFile = 0x01,
    ExtendedSegmentAddress = 0x02,
    StartSegmentAddress = 0x03,
    ExtendedLinearAddress = 0x04,
    StartLinearAddress = 0x05,
};

} // namespace

IntelHexReader::IntelHexReader()
    : RecordReader(ImageFormat::Kind::IntelHex)
{ }

bool IntelHexReader::takeRecord(QByteArrayView record, qsizetype offset)
{
    if (record.front() != kMark)
        return refuse(ImageProblem::Kind::BadRecord,
                      QObject::tr("':', then length, address, type, data and "
                                  "checksum in hexadecimal digits"));
    if (!decode(record.sliced(1), offset + 1))
        return false;
    const QByteArrayView bytes(m_bytes);
    if (bytes.size() < kFrameBytes)
        return refuse(ImageProblem::Kind::RecordLength,
                      QObject::tr("too short: %1 bytes, where length, address, type and checksum alone are %2")
                          .arg(bytes.size())
                          .arg(kFrameBytes));
    const qsizetype length = quint8(bytes[0]);
    const qsizetype held = bytes.size() - kFrameBytes;
    if (held != length)
        return refuse(ImageProblem::Kind::RecordLength,
                      QObject::tr("%1: its length byte is %2, yet it holds %3 bytes of data")
                          .arg(held < length ? QObject::tr("too short") : QObject::tr("too long"))
                          .arg(length)
                          .arg(held));
    quint8 sum = 0;
    for (const char b : bytes.chopped(1))
        sum = quint8(sum + quint8(b));
    const auto wanted = quint8(-sum);
    if (quint8(bytes.back()) != wanted) {
        refuse(ImageProblem::Kind::BadChecksum);
        refusal().expected = wanted;
        refusal().found = quint8(bytes.back());
        return false;
    }
    const auto address = quint16(bigEndian(bytes.sliced(1, 2)));
    const QByteArrayView data = bytes.sliced(kHeadBytes, length);
    switch (quint8(bytes[3])) {
    case Data:
        ++m_dataRecords;
        return takeData(address, data);
    case EndOfFile:
        if (!dataSize(length, 0, QObject::tr("an end-of-file record")))
            return false;
        endRecordSeen();
        return true;
    case ExtendedSegmentAddress:
        if (!dataSize(length, 2, QObject::tr("an extended segment address record")))
            return false;
        m_base = quint64(bigEndian(data)) << kParagraphShift;
        m_segmented = true;
        return true;
    case ExtendedLinearAddress:
        if (!dataSize(length, 2, QObject::tr("an extended linear address record")))
            return false;
        m_base = quint64(bigEndian(data)) << kUpperShift;
        m_segmented = false;
        return true;
    case StartSegmentAddress:
        if (!dataSize(length, 4, QObject::tr("a start segment address record")))
            return false;
        setStartAddress((quint64(bigEndian(data.first(2))) << kParagraphShift) + bigEndian(data.sliced(2)));
        return true;
    case StartLinearAddress:
        if (!dataSize(length, 4, QObject::tr("a start linear address record")))
            return false;
        setStartAddress(bigEndian(data));
        return true;
    }
    return refuse(ImageProblem::Kind::BadRecordType,
                  QStringLiteral("%1").arg(quint8(bytes[3]), 2, 16, QChar(u'0')).toUpper());
}

bool IntelHexReader::takeData(quint16 offset, QByteArrayView data)
{
    // A linear address (an 04 record, or none at all) runs on across 64 KiB:
    // (base + offset + index) mod 4 GiB. Bytes that would wrap past 4 GiB
    // begin past the instrument's last address, and the map refuses them
    // whole, so the run is added as it stands.
    if (!m_segmented)
        return addData(m_base + offset, data);
    // Under a segment (an 02 record) the bytes past the segment's end go to
    // its start, rather than into the next segment.
    const qsizetype inSegment = std::min<qsizetype>(data.size(), kSegmentSize - offset);
    if (!addData(m_base + offset, data.first(inSegment)))
        return false;
    return addData(m_base, data.sliced(inSegment));
}

bool IntelHexReader::dataSize(qsizetype size, qsizetype wanted, const QString &what)
{
    if (size == wanted)
        return true;
    return refuse(ImageProblem::Kind::RecordLength,
                  QObject::tr("%1: %2 holds %3 bytes of data, this one %4")
                      .arg(size < wanted ? QObject::tr("too short") : QObject::tr("too long"), what)
                      .arg(wanted)
                      .arg(size));
}

bool IntelHexReader::finishRecords()
{
    if (endSeen())
        return true;
    // Said of the file as a whole; the line is where it ends.
    return refuse(ImageProblem::Kind::NoEndRecord);
}
