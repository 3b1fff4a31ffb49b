#include "core/firmware/imagecheck.h"

#include "core/firmware/firmwarefile.h"
#include "core/firmware/firmwareline.h"
#include "core/firmware/linegrammar.h"
#include "core/common/printablebytes.h"

#include <algorithm>

namespace {

constexpr char kTab = '\t';
// Addresses are shown with the instrument's five digits at least.
constexpr int kAddressDigits = 5;

// A tab is left to the line's own rules; every other control character, DEL
// and every byte above 127 is in no hexadecimal text.
qsizetype firstBadByte(QByteArrayView line)
{
    for (qsizetype i = 0; i < line.size(); ++i) {
        const auto u = static_cast<unsigned char>(line[i]);
        if ((u < 0x20 && line[i] != kTab) || u >= 0x7F)
            return i;
    }
    return -1;
}

ImageProblem::Kind kindOf(LineGrammar::Fault fault)
{
    switch (fault) {
    case LineGrammar::Fault::None:
        break;
    case LineGrammar::Fault::NotALine:
        return ImageProblem::Kind::BadLine;
    case LineGrammar::Fault::Tab:
        return ImageProblem::Kind::TabInLine;
    case LineGrammar::Fault::BadAddress:
        return ImageProblem::Kind::BadAddress;
    case LineGrammar::Fault::AddressPastLast:
        return ImageProblem::Kind::AddressPastLast;
    case LineGrammar::Fault::ByteNotTwoDigits:
        return ImageProblem::Kind::ByteNotTwoDigits;
    case LineGrammar::Fault::TwoBlanks:
        return ImageProblem::Kind::TwoBlanks;
    case LineGrammar::Fault::TooManyBytes:
        return ImageProblem::Kind::TooManyBytes;
    }
    return ImageProblem::Kind::None;
}

QString hexAddress(quint64 address)
{
    return ImageSummary::addressText(address);
}

QString hexByte(quint64 value)
{
    return QStringLiteral("%1").arg(value, 2, 16, QChar(u'0')).toUpper();
}

// The records that wrote an address first, by their lines.
QString linesText(qint64 first, qint64 last)
{
    return first == last ? QObject::tr("the record of line %1").arg(first)
                         : QObject::tr("one of the records of lines %1 to %2").arg(first).arg(last);
}

} // namespace

QString ImageProblem::describe(const QString &fileName) const
{
    const QString where = QObject::tr("%1, line %2").arg(fileName).arg(line);
    const QString shown = quotedStart(lineText, lineLength);
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
            .arg(shown);
    case Kind::BadLine:
        return QObject::tr("%1 is no address line (@F000), data line (31 40 00 24) or end line (q): %2")
            .arg(where, shown);
    case Kind::TabInLine:
        return QObject::tr("%1: a tab at position %2; the instrument takes spaces only: %3")
            .arg(where)
            .arg(column)
            .arg(shown);
    case Kind::BadAddress:
        return QObject::tr("%1: an address has four or five hexadecimal digits after its @ (more only as "
                           "leading zeros), and nothing else: %2")
            .arg(where, shown);
    case Kind::AddressPastLast:
        return QObject::tr("%1: an address past %2, the instrument's last address: %3")
            .arg(where, hexAddress(LineGrammar::kAddressSpace - 1), shown);
    case Kind::ByteNotTwoDigits:
        return QObject::tr("%1: at position %2 a byte is not two hexadecimal digits; "
                           "a data line is pairs such as 31 40 00 24: %3")
            .arg(where)
            .arg(column)
            .arg(shown);
    case Kind::TwoBlanks:
        return QObject::tr("%1: two blanks in a row at position %2; bytes are separated by one space: %3")
            .arg(where)
            .arg(column)
            .arg(shown);
    case Kind::TooManyBytes:
        return QObject::tr("%1: a data line holds at most %2 bytes: %3")
            .arg(where)
            .arg(LineGrammar::kMaxDataBytes)
            .arg(shown);
    case Kind::LineTooLong:
        return QObject::tr("%1: longer than any firmware line (at most %2 characters, blanks included): %3")
            .arg(where)
            .arg(LineGrammar::kMaxLineLength)
            .arg(shown);
    case Kind::PastLastAddress:
        return QObject::tr("%1: data past %2, the instrument's last address (%3 bytes from %4): %5")
            .arg(where, hexAddress(LineGrammar::kAddressSpace - 1))
            .arg(byteCount)
            .arg(hexAddress(address), shown);
    case Kind::DataBeforeAddress:
        return QObject::tr("%1: a data line before any address line: %2").arg(where, shown);
    case Kind::NoData:
        return format == ImageFormat::Kind::Text
            ? QObject::tr("%1: not one data line: there is nothing to write").arg(fileName)
            : QObject::tr("%1: not one byte of data in its records: there is nothing to write").arg(fileName);
    case Kind::BadRecord:
        return QObject::tr("%1 is no %2 record (%3): %4").arg(where, ImageFormat::displayName(format), detail, shown);
    case Kind::NotHex: {
        const QString character = byte > 0x20 && byte < 0x7F ? QStringLiteral("'%1'").arg(QChar(char16_t(byte)))
                                                             : QObject::tr("byte 0x%1").arg(hexByte(quint64(byte)));
        return QObject::tr("%1: %2 at position %3 is no hexadecimal digit: %4")
            .arg(where, character)
            .arg(column)
            .arg(shown);
    }
    case Kind::RecordLength:
        return QObject::tr("%1: the record is %2: %3").arg(where, detail, shown);
    case Kind::BadChecksum:
        return QObject::tr("%1: checksum %2 where the record's bytes make %3: the record is damaged: %4")
            .arg(where, hexByte(found), hexByte(expected), shown);
    case Kind::BadRecordType:
        return QObject::tr("%1: %2 has no record type %3: %4")
            .arg(where, ImageFormat::displayName(format), detail, shown);
    case Kind::BadCount:
        return QObject::tr("%1: the count record says %2 data records, the file has %3 before it: "
                           "records are missing or added: %4")
            .arg(where)
            .arg(found)
            .arg(expected)
            .arg(shown);
    case Kind::NoEndRecord:
        return QObject::tr("%1: no end-of-file record (:00000001FF) up to its last line, line %2: "
                           "the file may be cut short")
            .arg(fileName)
            .arg(line);
    case Kind::DataAfterEnd:
        return QObject::tr("%1: a record after the end record of line %2: %3").arg(where).arg(earlierLine).arg(shown);
    case Kind::Overlap:
        return QObject::tr("%1: address %2 is written twice, by this record and by %3: %4")
            .arg(where, hexAddress(address), linesText(earlierLine, earlierLastLine), shown);
    case Kind::OddPastLastAddress:
        return QObject::tr("%1: the bytes up to %2, the instrument's last address, are an odd count; "
                           "it takes whole 16-bit words, and the pad byte FF would fall past it")
            .arg(where, hexAddress(LineGrammar::kAddressSpace - 1));
    }
    return {};
}

QString ImageSummary::addressText(quint64 address)
{
    return QStringLiteral("%1").arg(address, kAddressDigits, 16, QChar(u'0')).toUpper();
}

QString ImageSummary::endRecordWarning() const
{
    if (endRecord)
        return {};
    return QObject::tr("the file has no end record (S7, S8 or S9) up to its last line, line %1: it may be cut "
                       "short; the records it holds are sent as they stand")
        .arg(linesInFile);
}

QString ImageSummary::rangesText() const
{
    QStringList texts;
    for (const Range &r : ranges)
        texts << QStringLiteral("%1-%2").arg(hexAddress(r.start), hexAddress(r.end - 1));
    return texts.join(u' ');
}

bool ImageCheck::addLine(QByteArrayView raw, QByteArrayView prepared, qint64 length)
{
    ++m_summary.linesInFile;
    if (m_summary.endLine || m_problem.refused())
        return !m_problem.refused();
    ++m_summary.linesToSend;
    if (length < raw.size())
        length = raw.size();
    if (const qsizetype bad = firstBadByte(raw); bad >= 0) {
        refuse(ImageProblem::Kind::BadByte, raw, length, bad);
        m_problem.byte = static_cast<unsigned char>(raw[bad]);
        return false;
    }
    const bool cut = length > raw.size();
    // The end line as the update sees it: only then does it stop sending.
    if (isEndLine(prepared) && !cut) {
        m_summary.endLine = true;
        return true;
    }
    const LineGrammar::Line shape = LineGrammar::parse(raw, LineGrammar::Form::InFile);
    // Of a line longer than any kept, its start is all there is: a fault
    // found there stands, unless it is where the start was cut off (a byte
    // cut in two).
    const bool faultAtCut = cut && shape.position + 2 >= raw.size();
    if (shape.kind == LineGrammar::Kind::Refused && !faultAtCut) {
        refuse(kindOf(shape.fault), raw, length, shape.position);
        return false;
    }
    if (cut) {
        refuse(ImageProblem::Kind::LineTooLong, raw, length);
        return false;
    }
    // What the instrument stores comes from the line as it goes out.
    const LineGrammar::Line sent = LineGrammar::parse(prepared, LineGrammar::Form::Prepared);
    switch (sent.kind) {
    case LineGrammar::Kind::Empty:
    case LineGrammar::Kind::End:
        return true;
    case LineGrammar::Kind::Refused:
        // Preparation keeps a line that fits within the rules (fuzz_gate
        // holds it to that); should it ever not, the line is not sent.
        refuse(ImageProblem::Kind::BadLine, raw, length);
        return false;
    case LineGrammar::Kind::Address:
        ++m_summary.addressLines;
        m_haveAddress = true;
        m_address = sent.address;
        return true;
    case LineGrammar::Kind::Data:
        break;
    }
    if (!m_haveAddress) {
        refuse(ImageProblem::Kind::DataBeforeAddress, raw, length);
        return false;
    }
    if (m_address + quint64(sent.byteCount) > LineGrammar::kAddressSpace) {
        refuse(ImageProblem::Kind::PastLastAddress, raw, length);
        m_problem.address = m_address;
        m_problem.byteCount = sent.byteCount;
        return false;
    }
    addData(quint64(sent.byteCount));
    return true;
}

void ImageCheck::addData(quint64 bytes)
{
    ++m_summary.dataLines;
    m_summary.dataBytes += qint64(bytes);
    QList<ImageSummary::Range> &ranges = m_summary.ranges;
    if (!ranges.isEmpty() && ranges.last().end == m_address)
        ranges.last().end += bytes;
    else
        ranges.append({m_address, m_address + bytes});
    m_address += bytes;
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

void ImageCheck::refuse(ImageProblem::Kind kind, QByteArrayView raw, qint64 length, qsizetype position)
{
    m_problem.kind = kind;
    m_problem.line = m_summary.linesInFile;
    m_problem.column = position + 1;
    m_problem.lineText = raw.toByteArray();
    m_problem.lineLength = length;
}
