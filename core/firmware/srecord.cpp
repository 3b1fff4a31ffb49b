#include "core/firmware/srecord.h"

#include <array>

namespace {

constexpr char kMark = 'S';
// The type digit and the count come before the bytes the count counts.
constexpr qsizetype kTypeDigits = 2;

// The address bytes of each type, S0 to S9; S4 is none.
constexpr int kReserved = -1;
constexpr std::array<int, 10> kAddressBytes = {2, 2, 3, 4, kReserved, 2, 3, 4, 3, 2};

enum class Use { Header, Data, Count, End };

Use useOf(int type)
{
    switch (type) {
    case 0:
        return Use::Header;
    case 5:
    case 6:
        return Use::Count;
    case 7:
    case 8:
    case 9:
        return Use::End;
    default:
        return Use::Data;
    }
}

} // namespace

SRecordReader::SRecordReader()
    : RecordReader(ImageFormat::Kind::SRecord)
{ }

bool SRecordReader::takeRecord(QByteArrayView record, qsizetype offset)
{
    const int type = record.size() >= kTypeDigits ? record[1] - '0' : -1;
    if (record.front() != kMark || type < 0 || type > 9)
        return refuse(ImageProblem::Kind::BadRecord,
                      QObject::tr("S, a type digit, then count, address, data and checksum in hexadecimal digits"));
    const int addressBytes = kAddressBytes[size_t(type)];
    if (addressBytes == kReserved)
        return refuse(ImageProblem::Kind::BadRecordType, QStringLiteral("S%1").arg(type));
    if (!decode(record.sliced(kTypeDigits), offset + kTypeDigits))
        return false;
    const QByteArrayView bytes(m_bytes);
    if (bytes.isEmpty())
        return refuse(ImageProblem::Kind::RecordLength, QObject::tr("too short: it has no count"));
    const qsizetype count = quint8(bytes[0]);
    const qsizetype held = bytes.size() - 1;
    if (held != count)
        return refuse(ImageProblem::Kind::RecordLength,
                      QObject::tr("%1: its count says %2 bytes after it, it holds %3")
                          .arg(held < count ? QObject::tr("too short") : QObject::tr("too long"))
                          .arg(count)
                          .arg(held));
    if (count < addressBytes + 1)
        return refuse(ImageProblem::Kind::RecordLength,
                      QObject::tr("too short: an S%1 record holds a %2-byte address and its checksum, "
                                  "its count says %3 bytes")
                          .arg(type)
                          .arg(addressBytes)
                          .arg(count));
    quint8 sum = 0;
    for (const char b : bytes.chopped(1))
        sum = quint8(sum + quint8(b));
    const auto wanted = quint8(~sum);
    if (quint8(bytes.back()) != wanted) {
        refuse(ImageProblem::Kind::BadChecksum);
        refusal().expected = wanted;
        refusal().found = quint8(bytes.back());
        return false;
    }
    const quint64 address = bigEndian(bytes.sliced(1, addressBytes));
    const QByteArrayView data = bytes.sliced(1 + addressBytes, count - addressBytes - 1);
    const Use use = useOf(type);
    if ((use == Use::Count || use == Use::End) && !data.isEmpty())
        return refuse(ImageProblem::Kind::RecordLength,
                      QObject::tr("too long: an S%1 record holds its %2-byte %3 alone, this one %4 bytes more")
                          .arg(type)
                          .arg(addressBytes)
                          .arg(use == Use::Count ? QObject::tr("count") : QObject::tr("start address"))
                          .arg(data.size()));
    switch (use) {
    case Use::Header:
        // The first header names the image; S0 carries nothing to write.
        if (!m_headerSeen)
            m_header = data.toByteArray();
        m_headerSeen = true;
        return true;
    case Use::Data:
        ++m_dataRecords;
        return addData(address, data);
    case Use::Count:
        if (address == quint64(m_dataRecords))
            return true;
        refuse(ImageProblem::Kind::BadCount);
        refusal().expected = quint64(m_dataRecords);
        refusal().found = address;
        return false;
    case Use::End:
        setStartAddress(address);
        endRecordSeen();
        return true;
    }
    return false;
}
