#pragma once

// What the fuzz targets of the record readers hold of any input: the input
// is a firmware file. The core reads it as an update does. A plain reading
// of the records of the target's own (the reference: no limits, no
// messages) gives the (address, byte) set the file defines and whether it
// saw a fault the format forbids. Then:
// - a fault the reference sees (a bad checksum or length, an address
//   written twice, a record after the end...) means the file is refused;
// - a refused file leaves an empty image and names a line of the file;
// - a file let through is sent as lines the core's grammar takes, which the
//   simulated instrument (its own reading, sharing no code with the tool)
//   stores with no line malformed: exactly the reference's bytes at their
//   addresses, plus the pad byte FF after an odd run, nothing past FFFFF;
// - its lines as writeText() writes them (--check --output) read back as a
//   text image of the very same lines, whose SHA-256 is the one the summary
//   gives of the lines sent.
#include "core/firmware/firmwareimage.h"
#include "core/firmware/firmwareline.h"
#include "core/firmware/imageformat.h"
#include "core/firmware/linegrammar.h"
#include "core/firmware/linereader.h"
#include "fuzzcheck.h"
#include "sim/memoryimage.h"

#include <QBuffer>
#include <QByteArray>
#include <QCryptographicHash>

#include <map>
#include <optional>
#include <string_view>
#include <vector>

namespace FuzzRecords {

// The reference's reading of a file: its bytes, and whether the format
// forbids the file.
struct Reference
{
    std::map<quint64, quint8> bytes;
    bool faulty = false;

    void put(quint64 address, quint8 value)
    {
        if (!bytes.emplace(address, value).second)
            faulty = true;
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

// The file's lines, as the core splits them, without the spaces around them.
inline std::vector<QByteArray> recordLines(const QByteArray &data)
{
    QBuffer file;
    file.setData(data);
    fuzzCheck(file.open(QIODevice::ReadOnly), "a buffer opens");
    LineReader reader(&file);
    std::vector<QByteArray> lines;
    QByteArray line;
    while (reader.readLine(line))
        lines.push_back(trimSpaces(line));
    return lines;
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
    const std::vector<QByteArray> lines = recordLines(data);
    if (reference.faulty)
        fuzzCheck(problem.refused(), "a file with a fault the format forbids is refused");
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
    fuzzCheck(IsEndLine(image.line(image.lineCount() - 1)), "the last line sent is the end line");

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

// The first line that is not blank tells the format; a target looks only at
// files of its own.
inline bool isOfFormat(const QByteArray &data, ImageFormat::Kind format)
{
    for (const QByteArray &line : recordLines(data)) {
        if (!line.isEmpty())
            return ImageFormat::detect(line) == format;
    }
    return false;
}

} // namespace FuzzRecords
