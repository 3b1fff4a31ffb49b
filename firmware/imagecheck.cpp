#include "firmware/imagecheck.h"

#include "firmware/firmwarefile.h"
#include "firmware/firmwareline.h"
#include "link/printablebytes.h"

#include <algorithm>

namespace {

constexpr char kTab = '\t';
constexpr char kSpace = ' ';
constexpr char kAddressMark = '@';
// Addresses are shown with the instrument's five digits at least.
constexpr int kAddressDigits = 5;

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool isBlank(char c)
{
    return c == kSpace || c == kTab;
}

QByteArrayView trimBlanks(QByteArrayView line)
{
    while (!line.isEmpty() && isBlank(line.front()))
        line = line.sliced(1);
    while (!line.isEmpty() && isBlank(line.back()))
        line.chop(1);
    return line;
}

// Tabs pass; every other control character, DEL and every byte above 127
// is in no hexadecimal text.
qsizetype firstBadByte(QByteArrayView line)
{
    for (qsizetype i = 0; i < line.size(); ++i) {
        const auto u = static_cast<unsigned char>(line[i]);
        if ((u < 0x20 && line[i] != kTab) || u >= 0x7F)
            return i;
    }
    return -1;
}

quint64 digitValue(char c)
{
    if (c >= '0' && c <= '9')
        return quint64(c - '0');
    return quint64((c | 0x20) - 'a' + 10);
}

} // namespace

QString ImageProblem::describe(const QString &fileName) const
{
    const QString where = QObject::tr("%1, line %2").arg(fileName).arg(line);
    switch (kind) {
    case Kind::None:
        return {};
    case Kind::Missing:
        return QObject::tr("%1: no such file").arg(fileName);
    case Kind::NotRegular:
        return QObject::tr("%1: is %2, not a firmware file").arg(fileName, detail);
    case Kind::TooLarge:
        return QObject::tr("%1: %2 bytes, larger than %3 MiB, far more than any firmware image: not sent")
            .arg(fileName)
            .arg(size)
            .arg(FirmwareFile::kMaxSize / (1024 * 1024));
    case Kind::CannotOpen:
        return QObject::tr("%1: cannot be opened (%2)").arg(fileName, detail);
    case Kind::CannotRead:
        return QObject::tr("%1: cannot be read").arg(fileName);
    case Kind::Empty:
        return QObject::tr("%1: the file is empty: there is nothing to send").arg(fileName);
    case Kind::BadByte:
        return QObject::tr("%1: byte %2 (0x%3) at position %4 is in no firmware image: %5")
            .arg(where)
            .arg(byte)
            .arg(byte, 2, 16, QChar(u'0'))
            .arg(column)
            .arg(quotedBytes(lineText));
    case Kind::BadLine:
        return QObject::tr("%1 is no address line (@F000), data line (31 40 00 24) or end line (q): %2")
            .arg(where, quotedBytes(lineText));
    case Kind::DataBeforeAddress:
        return QObject::tr("%1: a data line before any address line: %2").arg(where, quotedBytes(lineText));
    case Kind::NoData:
        return QObject::tr("%1: not one data line: there is nothing to write").arg(fileName);
    }
    return {};
}

QString ImageSummary::rangesText() const
{
    QStringList texts;
    for (const Range &r : ranges)
        texts << QStringLiteral("%1-%2")
                     .arg(r.start, kAddressDigits, 16, QChar(u'0'))
                     .arg(r.end - 1, kAddressDigits, 16, QChar(u'0'))
                     .toUpper();
    return texts.join(u' ');
}

bool ImageCheck::addLine(QByteArrayView raw, QByteArrayView prepared)
{
    ++m_summary.linesInFile;
    if (m_afterEnd || m_problem.refused())
        return !m_problem.refused();
    ++m_summary.linesToSend;
    if (const qsizetype bad = firstBadByte(raw); bad >= 0) {
        refuse(ImageProblem::Kind::BadByte, raw);
        m_problem.column = bad + 1;
        m_problem.byte = static_cast<unsigned char>(raw[bad]);
        return false;
    }
    // The end line as the update sees it: only then does it stop sending.
    if (IsEndLine(prepared)) {
        m_afterEnd = true;
        m_summary.endLine = true;
        return true;
    }
    const QByteArrayView line = trimBlanks(raw);
    if (line.isEmpty())
        return true;
    if (line.front() == kAddressMark) {
        const QByteArrayView digits = line.sliced(1);
        if (digits.isEmpty() || !std::all_of(digits.begin(), digits.end(), isHexDigit)) {
            refuse(ImageProblem::Kind::BadLine, raw);
            return false;
        }
        ++m_summary.addressLines;
        m_haveAddress = true;
        // Only the low digits count: the instrument's addresses are short,
        // and a longer one must not overflow.
        m_address = 0;
        for (const char c : digits)
            m_address = (m_address << 4) | digitValue(c);
        return true;
    }
    if (!std::all_of(line.begin(), line.end(), [](char c) { return isHexDigit(c) || isBlank(c); })) {
        refuse(ImageProblem::Kind::BadLine, raw);
        return false;
    }
    if (!m_haveAddress) {
        refuse(ImageProblem::Kind::DataBeforeAddress, raw);
        return false;
    }
    addData(prepared);
    return true;
}

void ImageCheck::addData(QByteArrayView prepared)
{
    ++m_summary.dataLines;
    const qint64 bytes = std::count_if(prepared.begin(), prepared.end(), isHexDigit) / 2;
    if (bytes == 0)
        return;
    m_summary.dataBytes += bytes;
    QList<ImageSummary::Range> &ranges = m_summary.ranges;
    if (!ranges.isEmpty() && ranges.last().end == m_address)
        ranges.last().end += quint64(bytes);
    else
        ranges.append({m_address, m_address + quint64(bytes)});
    m_address += quint64(bytes);
}

void ImageCheck::finish()
{
    if (m_problem.refused())
        return;
    if (m_summary.linesInFile == 0)
        m_problem.kind = ImageProblem::Kind::Empty;
    else if (m_summary.dataLines == 0)
        m_problem.kind = ImageProblem::Kind::NoData;
    // Ranges in address order, overlapping and touching ones merged.
    QList<ImageSummary::Range> &ranges = m_summary.ranges;
    std::sort(ranges.begin(), ranges.end(), [](const auto &a, const auto &b) { return a.start < b.start; });
    QList<ImageSummary::Range> merged;
    for (const ImageSummary::Range &r : std::as_const(ranges)) {
        if (!merged.isEmpty() && r.start <= merged.last().end)
            merged.last().end = std::max(merged.last().end, r.end);
        else
            merged.append(r);
    }
    ranges = merged;
}

void ImageCheck::refuse(ImageProblem::Kind kind, QByteArrayView raw)
{
    m_problem.kind = kind;
    m_problem.line = m_summary.linesInFile;
    m_problem.lineText = raw.toByteArray();
}
