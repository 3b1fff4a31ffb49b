// Fuzzes the S-record reader: the input is a firmware file. The reference
// reading below follows the format's rules plainly; fuzzrecords.h holds the
// core to it and to the simulated instrument.
#include "fuzzrecords.h"

#include <cstddef>
#include <cstdint>

namespace {

FuzzRecords::Reference readReference(const std::vector<FuzzRecords::Line> &lines)
{
    // The address bytes of S0 to S9; S4 is no type.
    constexpr int kAddressBytes[] = {2, 2, 3, 4, -1, 2, 3, 4, 3, 2};
    FuzzRecords::Reference reference;
    quint64 dataRecords = 0;
    bool ended = false;
    for (const FuzzRecords::Line &line : lines) {
        if (line.blank())
            continue;
        const QByteArray &record = line.record;
        const int type
            = record.size() >= 2 && record[0] == 'S' && record[1] >= '0' && record[1] <= '9' ? record[1] - '0' : -1;
        const int addressBytes = type < 0 ? -1 : kAddressBytes[type];
        const std::optional<QByteArray> bytes = addressBytes < 0 ? std::nullopt : FuzzRecords::digits(record, 2);
        if (ended || line.tooLong || !bytes || bytes->isEmpty() || bytes->size() != 1 + quint8(bytes->at(0))
            || quint8(bytes->at(0)) < addressBytes + 1) {
            reference.faulty = true;
            continue;
        }
        quint8 sum = 0;
        for (const char b : bytes->chopped(1))
            sum = quint8(sum + quint8(b));
        if (quint8(~sum) != quint8(bytes->back())) {
            reference.faulty = true;
            continue;
        }
        quint64 address = 0;
        for (int i = 0; i < addressBytes; ++i)
            address = address << 8 | quint8(bytes->at(1 + i));
        const QByteArray body = bytes->mid(1 + addressBytes, bytes->size() - 2 - addressBytes);
        if (type >= 1 && type <= 3) {
            ++dataRecords;
            for (qsizetype i = 0; i < body.size(); ++i)
                reference.put(address + quint64(i), quint8(body[i]));
        } else if (type == 5 || type == 6) {
            // A count, alone, of the data records before it.
            reference.faulty = reference.faulty || !body.isEmpty() || address != dataRecords;
        } else if (type >= 7) {
            // An end, with its start address alone.
            reference.faulty = reference.faulty || !body.isEmpty();
            ended = true;
        }
    }
    return reference;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray data(reinterpret_cast<const char *>(bytes), qsizetype(size));
    FuzzRecords::checkBoth(data, ImageFormat::Kind::SRecord, readReference);
    return 0;
}
