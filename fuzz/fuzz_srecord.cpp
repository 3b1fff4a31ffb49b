// Fuzzes the S-record reader: the input is a firmware file. The reference
// reading below follows the format's rules plainly; fuzzrecords.h holds the
// core to it and to the simulated instrument.
#include "fuzzrecords.h"

#include <cstddef>
#include <cstdint>

namespace {

FuzzRecords::Reference readReference(const QByteArray &data)
{
    // The address bytes of S0 to S9; S4 has none, being no type.
    constexpr int kAddressBytes[] = {2, 2, 3, 4, -1, 2, 3, 4, 3, 2};
    FuzzRecords::Reference reference;
    quint64 dataRecords = 0;
    bool ended = false;
    for (const QByteArray &line : FuzzRecords::recordLines(data)) {
        if (line.isEmpty())
            continue;
        const int type = line.size() >= 2 && line[0] == 'S' && line[1] >= '0' && line[1] <= '9' ? line[1] - '0' : -1;
        const int addressBytes = type < 0 ? -1 : kAddressBytes[type];
        const std::optional<QByteArray> bytes = addressBytes < 0 ? std::nullopt : FuzzRecords::digits(line, 2);
        if (ended || !bytes || bytes->isEmpty() || bytes->size() != 1 + quint8(bytes->at(0))
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
        } else if ((type == 5 || type == 6) && address != dataRecords) {
            reference.faulty = true;
        } else if (type >= 7) {
            ended = true;
        }
    }
    return reference;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray data(reinterpret_cast<const char *>(bytes), qsizetype(size));
    if (!FuzzRecords::isOfFormat(data, ImageFormat::Kind::SRecord)) {
        ImageProblem problem;
        (void)FuzzRecords::readImage(data, &problem);
        return 0;
    }
    FuzzRecords::check(data, ImageFormat::Kind::SRecord, readReference(data));
    return 0;
}
