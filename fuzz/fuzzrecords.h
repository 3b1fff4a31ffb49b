#pragma once

// What the fuzz targets of the record readers hold of any input: the input
// is a firmware file. The core reads it as an update does. A plain reading
// of the records of the target's own (the reference: the format's rules and
// the instrument's limits, stated again without the core's code) gives the
// (address, byte) set the file defines and whether the file is to be
// refused. Then:
// - the core refuses the file exactly when the reference does;
// - a refused file leaves an empty image and names a line of the file;
// - a file let through is sent as lines the core's grammar takes, which the
//   simulated instrument (its own reading, sharing no code with the tool)
//   stores with no line malformed: exactly the reference's bytes at their
//   addresses, plus the pad byte FF after an odd run, nothing past FFFFF;
// - its lines as writeText() writes them (--check --output) read back as a
//   text image of the very same lines, whose SHA-256 is the one the summary
//   gives of the lines sent.
// Each input is checked as it is and with its records' lengths and
// checksums made right, so that changes deep in a record get past them.
#include "core/firmware/firmwareimage.h"
#include "core/firmware/firmwareline.h"
#include "core/firmware/imageformat.h"
#include "core/firmware/linegrammar.h"
#include "core/firmware/linereader.h"
#include "core/firmware/recordreader.h"
#include "fuzzcheck.h"
#include "sim/memoryimage.h"

#include <QBuffer>
#include <QByteArray>
#include <QByteArrayList>
#include <QCryptographicHash>

#include <map>
#include <optional>
#include <string_view>
#include <vector>

namespace FuzzRecords {

// A line of the file as the reference sees it.
struct Line
{
    QByteArray raw; // as read
    QByteArray record; // without the spaces around it
    // Longer than the reader keeps, or than any record: refused even when blank.
    bool tooLong = false;
    bool blank() const { return record.isEmpty() && !tooLong; }
};

// The reference's reading of a file.
struct Reference
{
    std::map<quint64, quint8> bytes;
    bool faulty = false; // a fault the format forbids

    void put(quint64 address, quint8 value)
    {
        // An address two records write.
        if (!bytes.emplace(address, value).second)
            faulty = true;
    }

    // Beyond the format's own faults: nothing to write, a byte past the
    // instrument's last address, or an odd run up to it, whose pad byte
    // would fall past it.
    bool refused() const
    {
        if (faulty || bytes.empty() || bytes.rbegin()->first >= LineGrammar::kAddressSpace)
            return true;
        quint64 run = 0;
        for (quint64 at = LineGrammar::kAddressSpace; at > 0 && bytes.count(at - 1) == 1; --at)
            ++run;
        return run % 2 == 1;
    }
};

// The record's bytes from its digits after `skip` characters; nullopt when
// a character is no digit or one is left over.
inline std::optional<QByteArray> digits(QByteArrayView record, qsizetype skip)
{
    const QByteArrayView hex = record.sliced(skip);
    if (hex.size() % 2 != 0)
        return std::nullopt;
    for (const char c : hex) {
        if (LineGrammar::hexValue(c) < 0)
            return std::nullopt;
    }
    return QByteArray::fromHex(hex.toByteArray());
}

// The file's lines, split as the core splits them.
inline std::vector<Line> recordLines(const QByteArray &data)
{
    QBuffer file;
    file.setData(data);
    fuzzCheck(file.open(QIODevice::ReadOnly), "a buffer opens");
    LineReader reader(&file);
    std::vector<Line> lines;
    QByteArray raw;
    while (reader.readLine(raw)) {
        const QByteArray record = trimSpaces(raw);
        lines.push_back(
            {raw, record, raw.size() > FirmwareImage::kMaxLineKept || record.size() > RecordReader::kMaxRecordLength});
    }
    return lines;
}

// The first line that is not blank tells the format, by as much of it as the
// reader keeps; a target looks only at files of its own.
inline bool isOfFormat(const QByteArray &data, ImageFormat::Kind format)
{
    for (const Line &line : recordLines(data)) {
        if (!line.blank())
            return ImageFormat::detect(line.raw.first(std::min(line.raw.size(), FirmwareImage::kMaxLineKept)))
                == format;
    }
    return false;
}

inline FirmwareImage readImage(const QByteArray &data, ImageProblem *problem)
{
    QBuffer file;
    file.setData(data);
    fuzzCheck(file.open(QIODevice::ReadOnly), "a buffer opens");
    return FirmwareImage::read(&file, data.size(), problem);
}

inline void check(const QByteArray &data, ImageFormat::Kind format, const Reference &reference)
{
    ImageProblem problem;
    const FirmwareImage image = readImage(data, &problem);
    const std::vector<Line> lines = recordLines(data);
    fuzzCheck(problem.refused() == reference.refused(), "the file is refused exactly when the format forbids it");
    if (problem.refused()) {
        fuzzCheck(image.isEmpty(), "a refused file leaves an empty image");
        fuzzCheck(problem.format == format, "the refusal is told in the file's format");
        fuzzCheck(problem.line >= 0 && problem.line <= qint64(lines.size()), "the refusal names a line of the file");
        return;
    }
    const ImageSummary &summary = image.summary();
    fuzzCheck(summary.format == format, "the summary names the format");
    fuzzCheck(summary.linesInFile == qint64(lines.size()), "the summary counts the file's lines");
    fuzzCheck(image.lineCount() == summary.linesToSend, "the image holds the lines to send");
    fuzzCheck(isEndLine(image.line(image.lineCount() - 1)), "the last line sent is the end line");

    MemoryImage instrument;
    for (qsizetype i = 0; i < image.lineCount(); ++i) {
        const QByteArray line = image.line(i);
        fuzzCheck(LineGrammar::parse(line, LineGrammar::Form::Prepared).kind != LineGrammar::Kind::Refused,
                  "each line sent fits the grammar");
        instrument.addLine(std::string_view(line.constData(), size_t(line.size())));
    }
    fuzzCheck(instrument.malformedLines() == 0, "no line sent is malformed to the instrument");
    fuzzCheck(instrument.dataBytes() == quint64(summary.dataBytes), "the data bytes the check counts");
    quint64 stored = 0;
    for (const MemoryImage::Range &range : instrument.ranges()) {
        fuzzCheck(quint64(range.start) + range.length <= LineGrammar::kAddressSpace, "no byte past the last address");
        for (quint64 at = range.start; at < quint64(range.start) + range.length; ++at) {
            ++stored;
            const auto value = instrument.byteAt(std::uint32_t(at));
            const auto defined = reference.bytes.find(at);
            if (defined != reference.bytes.end()) {
                fuzzCheck(value == defined->second, "each byte of the file where the file puts it");
            } else {
                fuzzCheck(value == 0xFF && at > 0 && reference.bytes.count(at - 1) == 1,
                          "a byte the file does not define is the pad byte after an odd run");
            }
        }
    }
    fuzzCheck(stored >= reference.bytes.size(), "every byte of the file is stored");

    // --check --output: the lines written read back as a text image of the same lines.
    QBuffer written;
    fuzzCheck(written.open(QIODevice::WriteOnly), "a buffer opens");
    fuzzCheck(image.writeText(&written), "the lines are written");
    const QByteArray text = written.data();
    fuzzCheck(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex() == summary.sentSha256,
              "the SHA-256 of the lines sent is that of the text written");
    ImageProblem again;
    const FirmwareImage reread = readImage(text, &again);
    fuzzCheck(!again.refused(), "the text written is an image the tool takes");
    fuzzCheck(reread.summary().format == ImageFormat::Kind::Text, "the text written is read as text");
    fuzzCheck(reread.lineCount() == image.lineCount(), "the text written holds the lines sent");
    for (qsizetype i = 0; i < image.lineCount(); ++i)
        fuzzCheck(reread.line(i) == image.line(i), "the text written sends each line alike");
    fuzzCheck(reread.summary().sentSha256 == summary.sentSha256, "the text written sends the same bytes");
}

// The input with every record's length and checksum made right, where a
// record is otherwise whole: a random change to a record's address or type
// is then read for what it means, not only refused for its checksum. Lines
// keep their endings.
inline QByteArray withChecksumsMade(const QByteArray &data, ImageFormat::Kind format)
{
    const bool intel = format == ImageFormat::Kind::IntelHex;
    // Before the digits: ':' or 'S' and the type digit.
    const qsizetype skip = intel ? 1 : 2;
    // Intel HEX: length, address, type, checksum; an S-record: count, checksum.
    const qsizetype frame = intel ? 5 : 2;
    QByteArrayList lines = data.split('\n');
    for (QByteArray &line : lines) {
        const bool cr = line.endsWith('\r');
        const QByteArray record = trimSpaces(cr ? line.chopped(1) : line);
        if (record.size() < skip || record[0] != (intel ? ':' : 'S'))
            continue;
        std::optional<QByteArray> bytes = digits(record, skip);
        if (!bytes || bytes->size() < frame || bytes->size() - frame > 255)
            continue;
        (*bytes)[0] = char(intel ? bytes->size() - frame : bytes->size() - 1);
        quint8 sum = 0;
        for (const char b : bytes->chopped(1))
            sum = quint8(sum + quint8(b));
        bytes->back() = char(intel ? quint8(-sum) : quint8(~sum));
        line = record.first(skip) + bytes->toHex().toUpper() + (cr ? "\r" : "");
    }
    return lines.join('\n');
}

// Checks the input, and the input with its records made whole, with the
// target's reference reading.
template<typename ReadReference>
void checkBoth(const QByteArray &data, ImageFormat::Kind format, ReadReference readReference)
{
    if (!isOfFormat(data, format)) {
        // Any other file still must not crash the reader.
        ImageProblem problem;
        (void)readImage(data, &problem);
        return;
    }
    check(data, format, readReference(recordLines(data)));
    const QByteArray made = withChecksumsMade(data, format);
    if (made != data && isOfFormat(made, format))
        check(made, format, readReference(recordLines(made)));
}

} // namespace FuzzRecords
