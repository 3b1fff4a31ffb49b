// Holds the check before the erase against the simulated instrument, the
// oracle of our tests: the input is a firmware file. The core reads and
// checks it as an update does; when it lets the file through, the simulator
// must store from the prepared lines exactly what the core's line grammar
// says, with no line malformed; and any line the simulator would count
// malformed or drop must have been refused, at that line or before.
#include "core/firmware/firmwareimage.h"
#include "core/firmware/firmwareline.h"
#include "core/firmware/imageformat.h"
#include "core/firmware/linegrammar.h"
#include "core/firmware/linereader.h"
#include "fuzzcheck.h"
#include "sim/memoryimage.h"

#include <QBuffer>
#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>
#include <utility>

namespace {

// The simulator keeps this much of a line and counts a longer one malformed.
constexpr qsizetype kSimulatorMaxLine = 64 * 1024;

std::string_view view(const QByteArray &bytes)
{
    return {bytes.constData(), size_t(bytes.size())};
}

// The file's lines as the update sends them: read whole, prepared, up to and
// including the end line.
QList<QByteArray> linesToSend(const QByteArray &data, QList<QByteArray> *raw)
{
    QBuffer file;
    file.setData(data);
    fuzzCheck(file.open(QIODevice::ReadOnly), "a buffer opens");
    LineReader reader(&file);
    QList<QByteArray> sent;
    QByteArray line;
    while (reader.readLine(line)) {
        raw->append(line);
        sent.append(PrepareLine(line));
        if (isEndLine(sent.last()))
            break;
    }
    return sent;
}

// A line that fits as it stands must fit once prepared and say the same
// there, its pad byte added; one that does not fit must not fit either way.
void checkPreparationKeepsTheGrammar(const QByteArray &raw, const QByteArray &prepared)
{
    const LineGrammar::Line asRead = LineGrammar::parse(raw, LineGrammar::Form::InFile);
    const LineGrammar::Line asSent = LineGrammar::parse(prepared, LineGrammar::Form::Prepared);
    fuzzCheck(asRead.kind == asSent.kind, "a line is of one kind as read and as prepared");
    if (asRead.kind == LineGrammar::Kind::Address)
        fuzzCheck(asRead.address == asSent.address, "preparing an address keeps its value");
    if (asRead.kind == LineGrammar::Kind::Data)
        fuzzCheck(asSent.byteCount == asRead.byteCount + asRead.byteCount % 2,
                  "a prepared data line holds its bytes and the pad byte of an odd count");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray data(reinterpret_cast<const char *>(bytes), qsizetype(size));

    // The core: the same reading, preparing and check as an update's.
    QBuffer file;
    file.setData(data);
    fuzzCheck(file.open(QIODevice::ReadOnly), "a buffer opens");
    ImageProblem problem;
    const FirmwareImage image = FirmwareImage::read(&file, data.size(), &problem);
    // Intel HEX and S-records are sent as lines made from their records, not
    // as the file's own lines; fuzz_intelhex and fuzz_srecord hold those.
    const ImageFormat::Kind format = problem.refused() ? problem.format : image.summary().format;
    if (format != ImageFormat::Kind::Text)
        return 0;

    // The instrument: every line the update would send, in order.
    QList<QByteArray> raw;
    const QList<QByteArray> sent = linesToSend(data, &raw);
    for (qsizetype i = 0; i < sent.size(); ++i)
        checkPreparationKeepsTheGrammar(raw.at(i), sent.at(i));
    MemoryImage instrument;
    qint64 firstMalformed = 0;
    for (qsizetype i = 0; i < sent.size(); ++i) {
        const bool dropped = sent.at(i).size() > kSimulatorMaxLine;
        if (dropped)
            instrument.addMalformedLine();
        if (dropped || instrument.addLine(view(sent.at(i))) == MemoryImage::LineKind::Malformed) {
            firstMalformed = i + 1;
            break;
        }
    }
    if (firstMalformed > 0) {
        fuzzCheck(problem.refused(), "a file with a line the instrument cannot take is refused");
        fuzzCheck(problem.line >= 1 && problem.line <= firstMalformed, "the refusal names that line or one before it");
    }
    if (problem.refused()) {
        fuzzCheck(image.isEmpty(), "a refused file leaves an empty image");
        return 0;
    }

    // Let through: the update sends exactly these lines, and each fits.
    fuzzCheck(image.lineCount() == sent.size(), "the image holds the lines up to the end line");
    for (qsizetype i = 0; i < sent.size(); ++i)
        fuzzCheck(image.line(i) == sent.at(i), "the image holds each line as prepared");
    fuzzCheck(instrument.malformedLines() == 0, "no line sent is malformed to the instrument");

    // What the core's grammar says the instrument stores, byte by byte.
    std::map<quint64, quint8> expected;
    quint64 address = 0;
    QByteArray values;
    for (const QByteArray &line : sent) {
        const LineGrammar::Line parsed = LineGrammar::parse(line, LineGrammar::Form::Prepared, &values);
        fuzzCheck(parsed.kind != LineGrammar::Kind::Refused, "a line let through fits the grammar");
        if (parsed.kind == LineGrammar::Kind::Address)
            address = parsed.address;
        for (const char value : std::as_const(values))
            expected[address++] = quint8(value);
    }
    const ImageSummary &summary = image.summary();
    const std::vector<MemoryImage::Range> stored = instrument.ranges();
    fuzzCheck(qsizetype(stored.size()) == summary.ranges.size(), "as many ranges as the check counts");
    for (size_t r = 0; r < stored.size(); ++r) {
        fuzzCheck(stored[r].start == summary.ranges.at(qsizetype(r)).start
                      && stored[r].start + quint64(stored[r].length) == summary.ranges.at(qsizetype(r)).end,
                  "each range where the check puts it");
    }
    fuzzCheck(instrument.dataBytes() == quint64(summary.dataBytes), "the data bytes the check counts");
    quint64 storedBytes = 0;
    for (const MemoryImage::Range &range : stored)
        storedBytes += range.length;
    fuzzCheck(storedBytes == expected.size(), "the instrument stores as many bytes as the grammar says");
    for (const auto &[at, value] : expected) {
        fuzzCheck(at < LineGrammar::kAddressSpace, "no byte past the last address");
        fuzzCheck(instrument.byteAt(std::uint32_t(at)) == value, "each byte where the grammar puts it");
    }
    fuzzCheck(instrument.endSeen() == summary.endLine, "the end line as the check saw it");
    return 0;
}
