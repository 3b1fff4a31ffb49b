#include "core/firmware/firmwareimage.h"

#include "core/firmware/firmwarefile.h"
#include "core/firmware/firmwareline.h"
#include "core/firmware/linegrammar.h"
#include "core/firmware/linereader.h"
#include "core/firmware/recordreader.h"

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>
#include <memory>

namespace {

// A prepared line never holds a CR or LF (they end lines when the file is
// read): each line in the block ends with an LF, and a CR before it stands
// for a closing " FF", the pad byte of an odd data line. Otherwise a file of
// one-byte data lines ("31" and its line ending, three bytes) would take
// twice its size; so it takes four bytes a line at most.
constexpr char kLineEnd = '\n';
constexpr char kPadMark = '\r';
constexpr QByteArrayView kPad(" FF");
// One mark per this many lines: a line is found by reading at most this
// many line ends, and the marks cost at most 8 bytes per this many bytes of
// the file (a file of empty lines).
constexpr qsizetype kMarkStride = 256;
static_assert(FirmwareImage::kMaxLineKept >= RecordReader::kMaxRecordLength
              && FirmwareImage::kMaxLineKept >= LineGrammar::kMaxLineLength);

} // namespace

FirmwareImage FirmwareImage::load(const QString &fileName, ImageProblem *problem, const std::atomic_bool *cancelled)
{
    QFile file;
    const FirmwareFile::Opened opened = FirmwareFile::open(fileName, file);
    ImageProblem why;
    switch (opened.problem) {
    case FirmwareFile::Problem::None:
        return read(&file, opened.size, problem, cancelled);
    case FirmwareFile::Problem::Missing:
        why.kind = ImageProblem::Kind::Missing;
        break;
    case FirmwareFile::Problem::NotRegular:
        why.kind = ImageProblem::Kind::NotRegular;
        why.detail = opened.kind;
        break;
    case FirmwareFile::Problem::TooLarge:
        why.kind = ImageProblem::Kind::TooLarge;
        why.size = opened.size;
        break;
    case FirmwareFile::Problem::CannotOpen:
        why.kind = ImageProblem::Kind::CannotOpen;
        why.detail = opened.error;
        break;
    }
    if (problem)
        *problem = why;
    return {};
}

FirmwareImage FirmwareImage::read(QIODevice *device, qint64 size, ImageProblem *problem,
                                  const std::atomic_bool *cancelled)
{
    const auto refuse = [problem](const ImageProblem &why) {
        if (problem)
            *problem = why;
        return FirmwareImage();
    };
    const auto isCancelled = [cancelled] { return cancelled && cancelled->load(std::memory_order_relaxed); };
    FirmwareImage image;
    // A kept line takes at most one byte more than it does in the file, with
    // its ending: an odd data line its pad mark, a four-digit address its 0,
    // so a file of one-byte data lines takes a third more. Reserving takes
    // address space, not memory, until it is written. (The lines made of a
    // record file hold at most the instrument's 1 MiB, 3 characters a byte
    // and an address line a block: should they pass the room kept, the
    // block grows.)
    size = std::clamp<qint64>(size, 0, FirmwareFile::kMaxSize);
    image.m_data.reserve(qsizetype(size + size / 3 + 2));
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    LineReader reader(device);
    reader.setByteLimit(FirmwareFile::kMaxSize);
    reader.setLineLimit(kMaxLineKept);
    reader.setHash(&sha256);
    ImageCheck check;
    // Set once the first line that is not blank has told the format: none
    // for text, whose lines go to the check as they are read.
    std::unique_ptr<RecordReader> records;
    bool formatKnown = false;
    qint64 blankLines = 0;
    const auto tellFormat = [&](ImageFormat::Kind format) {
        formatKnown = true;
        records = RecordReader::make(format);
        if (records) {
            records->expectSize(size);
            records->skipBlankLines(blankLines);
            return;
        }
        // As a text image has them: empty lines, each sent as its line feed.
        for (; blankLines > 0; --blankLines)
            image.addTextLine(check, {}, -1);
    };
    QByteArray raw;
    while (reader.readLine(raw)) {
        if (isCancelled())
            return FirmwareImage();
        if (!formatKnown) {
            if (ImageFormat::isBlank(raw) && reader.lineLength() == raw.size()) {
                ++blankLines;
                continue;
            }
            tellFormat(ImageFormat::detect(raw));
        }
        const bool taken
            = records ? records->addLine(raw, reader.lineLength()) : image.addTextLine(check, raw, reader.lineLength());
        if (!taken)
            return refuse(records ? records->problem() : check.problem());
    }
    ImageProblem why;
    if (reader.exceededLimit()) {
        why.kind = ImageProblem::Kind::TooLarge;
        why.size = reader.bytesRead();
        return refuse(why);
    }
    if (reader.hasError()) {
        why.kind = ImageProblem::Kind::CannotRead;
        return refuse(why);
    }
    if (!formatKnown)
        tellFormat(ImageFormat::Kind::Text);
    if (records) {
        if (!records->finish())
            return refuse(records->problem());
        if (!image.addRecordLines(*records, check, &why, cancelled))
            return isCancelled() ? FirmwareImage() : refuse(why);
    }
    check.finish();
    if (check.problem().refused()) {
        why = check.problem();
        why.format = records ? records->format() : ImageFormat::Kind::Text;
        return refuse(why);
    }
    image.m_data.squeeze();
    image.m_marks.squeeze();
    image.m_summary = check.summary();
    if (records)
        records->describeTo(image.m_summary);
    image.m_summary.sha256 = sha256.result().toHex();
    image.m_summary.sentSha256 = image.sentSha256();
    if (problem)
        *problem = {};
    return image;
}

bool FirmwareImage::addTextLine(ImageCheck &check, QByteArrayView raw, qint64 length)
{
    // The reader keeps a record's whole length; of a text line no more is
    // looked at than the longest the instrument's lines may be.
    const QByteArrayView kept = raw.first(std::min(raw.size(), LineGrammar::kMaxLineLength));
    // Lines after the end line are counted and hashed, never prepared nor kept.
    const bool sent = !check.summary().endLine;
    const QByteArray prepared = sent ? PrepareLine(kept) : QByteArray();
    if (!check.addLine(kept, prepared, length))
        return false;
    if (sent)
        append(prepared);
    return true;
}

bool FirmwareImage::addRecordLines(RecordReader &records, ImageCheck &check, ImageProblem *problem,
                                   const std::atomic_bool *cancelled)
{
    // The record file's bytes as the instrument's lines, through the very
    // preparation and check a text image's lines go through.
    return records.map().writeLines([&](QByteArrayView line, qint64 fileLine) {
        if (cancelled && cancelled->load(std::memory_order_relaxed))
            return false;
        const QByteArray prepared = PrepareLine(line);
        if (check.addLine(line, prepared)) {
            append(prepared);
            return true;
        }
        // Told by the record behind the line, as the file has no such line.
        *problem = check.problem();
        problem->format = records.format();
        problem->line = fileLine;
        problem->column = 0;
        // Only the pad byte of an odd count can cross the last address:
        // every record's bytes were held below it.
        if (problem->kind == ImageProblem::Kind::PastLastAddress)
            problem->kind = ImageProblem::Kind::OddPastLastAddress;
        return false;
    });
}

QByteArray FirmwareImage::sentSha256() const
{
    // The lines as sent, each with its line feed: the block with each pad
    // mark standing for its " FF".
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const QByteArrayView data(m_data);
    qsizetype from = 0;
    for (qsizetype mark = data.indexOf(kPadMark); mark >= 0; mark = data.indexOf(kPadMark, from)) {
        hash.addData(data.sliced(from, mark - from));
        hash.addData(kPad);
        from = mark + 1;
    }
    hash.addData(data.sliced(from));
    return hash.result().toHex();
}

bool FirmwareImage::writeText(QIODevice *device) const
{
    QByteArray line;
    for (qsizetype i = 0; i < m_lineCount; ++i) {
        line = this->line(i);
        line.append(kLineEnd);
        if (device->write(line) != line.size())
            return false;
    }
    return true;
}

FirmwareImage FirmwareImage::fromLines(const QList<QByteArray> &rawLines)
{
    FirmwareImage image;
    for (const QByteArray &raw : rawLines) {
        const QByteArray prepared = PrepareLine(raw);
        image.append(prepared);
        if (isEndLine(prepared))
            break;
    }
    return image;
}

QByteArray FirmwareImage::line(qsizetype i) const
{
    if (i < 0 || i >= m_lineCount)
        return {};
    qsizetype at = m_marks.at(i / kMarkStride);
    qsizetype from = i / kMarkStride * kMarkStride;
    if (m_cursorLine <= i && m_cursorLine > from) {
        at = m_cursorBegin;
        from = m_cursorLine;
    }
    for (; from < i; ++from)
        at = lineEnd(at) + 1;
    qsizetype end = lineEnd(at);
    // The next line begins after this one: asked for next, it is found at once.
    m_cursorLine = i + 1;
    m_cursorBegin = end + 1;
    const bool padded = end > at && m_data.at(end - 1) == kPadMark;
    if (padded)
        --end;
    QByteArray text;
    text.reserve(end - at + (padded ? kPad.size() : 0));
    text.append(QByteArrayView(m_data).sliced(at, end - at));
    if (padded)
        text.append(kPad);
    return text;
}

qsizetype FirmwareImage::lineEnd(qsizetype begin) const
{
    return m_data.indexOf(kLineEnd, begin);
}

void FirmwareImage::append(QByteArrayView preparedLine)
{
    if (m_lineCount % kMarkStride == 0)
        m_marks.append(m_data.size());
    ++m_lineCount;
    m_byteCount += preparedLine.size();
    if (preparedLine.endsWith(kPad)) {
        m_data.append(preparedLine.chopped(kPad.size()));
        m_data.append(kPadMark);
    } else {
        m_data.append(preparedLine);
    }
    m_data.append(kLineEnd);
}
