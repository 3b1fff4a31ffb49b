#include "core/firmware/firmwareimage.h"

#include "core/firmware/firmwarefile.h"
#include "core/firmware/firmwareline.h"
#include "core/firmware/linegrammar.h"
#include "core/firmware/linereader.h"

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>

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
    FirmwareImage image;
    // A kept line takes at most one byte more than it does in the file, with
    // its ending: an odd data line its pad mark, a four-digit address its 0,
    // so a file of one-byte data lines takes a third more. Reserving takes
    // address space, not memory, until it is written.
    size = std::clamp<qint64>(size, 0, FirmwareFile::kMaxSize);
    image.m_data.reserve(qsizetype(size + size / 3 + 2));
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    LineReader reader(device);
    reader.setByteLimit(FirmwareFile::kMaxSize);
    reader.setLineLimit(LineGrammar::kMaxLineLength);
    reader.setHash(&sha256);
    ImageCheck check;
    QByteArray raw;
    while (reader.readLine(raw)) {
        if (cancelled && cancelled->load(std::memory_order_relaxed))
            return FirmwareImage();
        // Lines after the end line are counted and hashed, never prepared nor kept.
        const bool sent = !check.summary().endLine;
        const QByteArray prepared = sent ? PrepareLine(raw) : QByteArray();
        if (!check.addLine(raw, prepared, reader.lineLength()))
            return refuse(check.problem());
        if (sent)
            image.append(prepared);
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
    check.finish();
    if (check.problem().refused())
        return refuse(check.problem());
    image.m_data.squeeze();
    image.m_marks.squeeze();
    image.m_summary = check.summary();
    image.m_summary.sha256 = sha256.result().toHex();
    if (problem)
        *problem = {};
    return image;
}

FirmwareImage FirmwareImage::fromLines(const QList<QByteArray> &rawLines)
{
    FirmwareImage image;
    for (const QByteArray &raw : rawLines) {
        const QByteArray prepared = PrepareLine(raw);
        image.append(prepared);
        if (IsEndLine(prepared))
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
