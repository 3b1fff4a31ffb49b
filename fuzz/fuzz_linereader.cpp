// Fuzzes reading a firmware file and preparing its lines: the input is the
// file. Every line read is checked against a plain walk over the input, and
// every prepared line against the preparation rules.
#include "core/firmware/firmwareimage.h"
#include "core/firmware/firmwareline.h"
#include "core/firmware/imagecheck.h"
#include "core/firmware/linereader.h"
#include "fuzzcheck.h"

#include <QBuffer>
#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

constexpr char kCr = '\r';
constexpr char kLf = '\n';

// A buffer that hands out only a few bytes per read, the count taken from the
// data itself, so that line endings (a CR LF above all) fall across the
// reader's chunks at positions the fuzzer chooses. Reads from a QBuffer are
// otherwise whole, and the reader's chunk is larger than any input here.
class SplitReadBuffer : public QBuffer
{
public:
    using QBuffer::QBuffer;

protected:
    qint64 readData(char *to, qint64 maxSize) override
    {
        const QByteArray &bytes = buffer();
        const qint64 at = pos();
        const qint64 step = at < bytes.size() ? 1 + (static_cast<unsigned char>(bytes.at(at)) % 7) : 1;
        return QBuffer::readData(to, std::min(maxSize, step));
    }
};

// Lines in the data counted plainly: CR, LF and CR LF each end one line, and
// bytes after the last ending make one more.
qint64 referenceLineCount(QByteArrayView data)
{
    qint64 count = 0;
    bool open = false;
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (data[i] == kCr || data[i] == kLf) {
            ++count;
            open = false;
            if (data[i] == kCr && i + 1 < data.size() && data[i + 1] == kLf)
                ++i;
        } else {
            open = true;
        }
    }
    return open ? count + 1 : count;
}

QList<QByteArray> readAllLines(QIODevice *device)
{
    LineReader reader(device);
    QList<QByteArray> lines;
    QByteArray line;
    while (reader.readLine(line))
        lines.append(line);
    fuzzCheck(!reader.hasError(), "a buffer never fails to read");
    return lines;
}

// The lines, each followed by the ending that stood after it in the data,
// must give the data back byte for byte.
void checkLinesRebuildData(QByteArrayView data, const QList<QByteArray> &lines)
{
    qsizetype at = 0;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        fuzzCheck(!line.contains(kCr) && !line.contains(kLf), "a line holds no CR or LF");
        fuzzCheck(at + line.size() <= data.size(), "lines are no longer than the data");
        fuzzCheck(data.sliced(at, line.size()) == line, "each line is the next bytes of the data");
        at += line.size();
        if (at == data.size()) {
            fuzzCheck(i == lines.size() - 1, "only the last line may lack an ending");
            break;
        }
        fuzzCheck(data[at] == kCr || data[at] == kLf, "a line stops only at an ending");
        if (data[at] == kCr && at + 1 < data.size() && data[at + 1] == kLf)
            ++at;
        ++at;
    }
    fuzzCheck(at == data.size(), "the lines and their endings cover the whole data");
}

QByteArray referenceTrim(QByteArrayView line)
{
    qsizetype begin = 0;
    qsizetype end = line.size();
    while (begin < end && line[begin] == ' ')
        ++begin;
    while (end > begin && line[end - 1] == ' ')
        --end;
    return line.sliced(begin, end - begin).toByteArray();
}

void checkPreparedLine(const QByteArray &raw, const QByteArray &prepared)
{
    const QByteArray trimmed = referenceTrim(raw);
    fuzzCheck(trimSpaces(raw) == trimmed, "trimSpaces removes the outer spaces only");
    fuzzCheck(!prepared.startsWith(' ') && !prepared.endsWith(' '), "a prepared line is trimmed");
    fuzzCheck(!prepared.contains(kCr) && !prepared.contains(kLf), "preparing adds no CR or LF");

    const qsizetype n = trimmed.size();
    if (trimmed.contains('@')) {
        const bool zerosFirst = n > 6 && trimmed.startsWith('@') && trimmed.mid(1, n - 6).count('0') == n - 6;
        if (n == 6) {
            fuzzCheck(prepared == trimmed, "a six-byte address line is kept");
        } else if (zerosFirst) {
            fuzzCheck(prepared == '@' + trimmed.right(5), "surplus leading zeros of an address are dropped");
        } else {
            fuzzCheck(prepared.size() == n + 1, "other address lines grow by one byte");
            fuzzCheck(prepared.startsWith("@0") && prepared.mid(2) == trimmed.mid(1),
                      "an address line's first byte becomes @0");
        }
    } else if (n >= 2 && (n - 5) % 6 != 0) {
        fuzzCheck(prepared.size() == n + 3, "an odd data line grows by three bytes");
        fuzzCheck(prepared.startsWith(trimmed) && prepared.endsWith(" FF"), "an odd data line gains \" FF\"");
    } else {
        fuzzCheck(prepared == trimmed, "any other line is only trimmed");
    }

    const bool endLine = trimmed == "q" || trimmed == "Q";
    fuzzCheck(isEndLine(prepared) == endLine, "only q or Q is the end line");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray data(reinterpret_cast<const char *>(bytes), qsizetype(size));
    // A byte-order mark at the very start is no part of the text.
    const QByteArrayView text = data.startsWith("\xEF\xBB\xBF") ? QByteArrayView(data).sliced(3) : data;

    QBuffer file;
    file.setData(data);
    fuzzCheck(file.open(QIODevice::ReadOnly), "a buffer opens");
    const QList<QByteArray> lines = readAllLines(&file);

    fuzzCheck(lines.size() == referenceLineCount(text), "as many lines as endings counted plainly");
    checkLinesRebuildData(text, lines);

    SplitReadBuffer splitFile;
    splitFile.setData(data);
    fuzzCheck(splitFile.open(QIODevice::ReadOnly), "a buffer opens");
    fuzzCheck(readAllLines(&splitFile) == lines, "the lines do not depend on how the reads are cut");

    // With a line limit taken from the data: each line cut to its start,
    // its whole length still told.
    const qsizetype limit = data.isEmpty() ? 0 : static_cast<unsigned char>(data.back()) % 64;
    SplitReadBuffer limitedFile;
    limitedFile.setData(data);
    fuzzCheck(limitedFile.open(QIODevice::ReadOnly), "a buffer opens");
    LineReader limited(&limitedFile);
    limited.setLineLimit(limit);
    QByteArray cut;
    for (const QByteArray &line : lines) {
        fuzzCheck(limited.readLine(cut), "a limit loses no line");
        fuzzCheck(cut == line.left(limit), "a line is kept up to the limit");
        fuzzCheck(limited.lineLength() == line.size(), "a line's whole length is told");
    }
    fuzzCheck(!limited.readLine(cut), "a limit adds no line");

    qint64 counted = -1;
    QBuffer countFile;
    countFile.setData(data);
    fuzzCheck(countFile.open(QIODevice::ReadOnly), "a buffer opens");
    fuzzCheck(LineReader::countLines(&countFile, counted), "counting a buffer succeeds");
    fuzzCheck(counted == lines.size(), "countLines counts the lines read");

    SplitReadBuffer splitCountFile;
    splitCountFile.setData(data);
    fuzzCheck(splitCountFile.open(QIODevice::ReadOnly), "a buffer opens");
    fuzzCheck(LineReader::countLines(&splitCountFile, counted), "counting a buffer succeeds");
    fuzzCheck(counted == lines.size(), "countLines does not depend on how the reads are cut");

    QList<QByteArray> prepared;
    prepared.reserve(lines.size());
    for (const QByteArray &raw : lines) {
        prepared.append(PrepareLine(raw));
        checkPreparedLine(raw, prepared.last());
    }

    // The image keeps the lines an update sends: up to the first end line.
    const auto endLine
        = std::find_if(prepared.cbegin(), prepared.cend(), [](const QByteArray &l) { return isEndLine(l); });
    const qsizetype toSend = endLine == prepared.cend() ? prepared.size() : endLine - prepared.cbegin() + 1;
    const FirmwareImage image = FirmwareImage::fromLines(lines);
    fuzzCheck(image.lineCount() == toSend, "the image holds every line up to the end line");
    qsizetype preparedBytes = 0;
    for (qsizetype i = 0; i < toSend; ++i) {
        fuzzCheck(image.line(i) == prepared.at(i), "the image holds each line prepared");
        preparedBytes += prepared.at(i).size();
    }
    // Again backwards, so that no line depends on the one asked for before it.
    for (qsizetype i = toSend - 1; i >= 0; --i)
        fuzzCheck(image.line(i) == prepared.at(i), "each line is found whatever was asked before");
    fuzzCheck(image.byteCount() == preparedBytes, "the image holds nothing but the lines");
    fuzzCheck(image.line(toSend).isEmpty(), "no line past the last");

    // The check before the erase: whatever it lets through up to the end
    // line is plain hexadecimal text with a place to go.
    ImageCheck check;
    for (qsizetype i = 0; i < lines.size() && check.addLine(lines.at(i), prepared.at(i)); ++i) { }
    check.finish();
    if (!check.problem().refused()) {
        bool addressSeen = false;
        for (qsizetype i = 0; i < lines.size() && !isEndLine(prepared.at(i)); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            for (const char c : lines.at(i))
                fuzzCheck(c == '\t' || (c >= 0x20 && c < 0x7F), "an accepted line holds text only");
            if (line.startsWith('@'))
                addressSeen = true;
            else if (!line.isEmpty())
                fuzzCheck(addressSeen, "no data is accepted before an address");
        }
        fuzzCheck(check.summary().dataLines > 0, "an accepted image has a data line");
    }
    return 0;
}
