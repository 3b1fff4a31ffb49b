// Fuzzes the Intel HEX reader: the input is a firmware file. The reference
// reading below follows the format's rules plainly; fuzzrecords.h holds the
// core to it and to the simulated instrument.
#include "fuzzrecords.h"

#include <cstddef>
#include <cstdint>

namespace {

FuzzRecords::Reference readReference(const std::vector<FuzzRecords::Line> &lines)
{
    FuzzRecords::Reference reference;
    quint64 base = 0;
    bool segmented = false;
    bool ended = false;
    for (const FuzzRecords::Line &line : lines) {
        if (line.blank())
            continue;
        const QByteArray &record = line.record;
        if (ended || line.tooLong || !record.startsWith(':')) {
            reference.faulty = true;
            continue;
        }
        const std::optional<QByteArray> bytes = FuzzRecords::digits(record, 1);
        if (!bytes || bytes->size() < 5 || bytes->size() != 5 + quint8(bytes->at(0))) {
            reference.faulty = true;
            continue;
        }
        quint8 sum = 0;
        for (const char b : *bytes)
            sum = quint8(sum + quint8(b));
        if (sum != 0) {
            reference.faulty = true;
            continue;
        }
        const quint32 offset = quint32(quint8(bytes->at(1))) << 8 | quint8(bytes->at(2));
        const QByteArray body = bytes->mid(4, quint8(bytes->at(0)));
        const quint32 value = body.size() == 2 ? quint32(quint8(body[0])) << 8 | quint8(body[1]) : 0;
        switch (bytes->at(3)) {
        case 0x00:
            // After an 02 record within the segment, wrapping at its end;
            // otherwise on across 64 KiB, modulo 4 GiB.
            for (qsizetype i = 0; i < body.size(); ++i) {
                const quint64 address
                    = segmented ? base + ((offset + quint32(i)) & 0xFFFF) : (base + offset + quint64(i)) & 0xFFFFFFFF;
                reference.put(address, quint8(body[i]));
            }
            break;
        case 0x01:
            ended = true;
            reference.faulty = reference.faulty || !body.isEmpty();
            break;
        case 0x02:
            base = quint64(value) * 16;
            segmented = true;
            reference.faulty = reference.faulty || body.size() != 2;
            break;
        case 0x04:
            base = quint64(value) << 16;
            segmented = false;
            reference.faulty = reference.faulty || body.size() != 2;
            break;
        case 0x03:
        case 0x05:
            reference.faulty = reference.faulty || body.size() != 4;
            break;
        default:
            reference.faulty = true;
        }
    }
    if (!ended)
        reference.faulty = true;
    return reference;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray data(reinterpret_cast<const char *>(bytes), qsizetype(size));
    FuzzRecords::checkBoth(data, ImageFormat::Kind::IntelHex, readReference);
    return 0;
}
