// The rules a firmware file is held to before anything is sent, each at the
// level that owns it: the line grammar, the check of a text image, the
// readers of Intel HEX and S-record files and the image map they fill. Files
// are read from memory; a refusal is checked as every front end shows it:
// its kind, its line and the whole message.
#include "core/firmware/firmwareimage.h"
#include "core/firmware/imagemap.h"
#include "core/firmware/linegrammar.h"
#include "testfiles.h"
#include "testregistry.h"

#include <QBuffer>
#include <QByteArrayList>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString kFileName = u"fw"_s;

// A data line of n bytes: "00 01 02 ...".
QByteArray bytesLine(int n)
{
    QByteArrayList bytes;
    for (int i = 0; i < n; ++i)
        bytes += QByteArray::number(i % 256, 16).rightJustified(2, '0').toUpper();
    return bytes.join(' ');
}

// Writers of records apart from the readers under test: the sum of an Intel
// HEX record's bytes and checksum is 0; an S-record's checksum is the ones'
// complement of the sum of the bytes after its type. Without a line ending.
QByteArray intelRecord(quint8 type, quint16 offset, const QByteArray &hexData = {})
{
    return TestFiles::intelHexRecord(type, offset, QByteArray::fromHex(hexData));
}

QByteArray sRecord(int type, quint32 address, const QByteArray &hexData = {})
{
    return TestFiles::sRecordOf(type, address, QByteArray::fromHex(hexData));
}

QByteArray file(const QByteArrayList &lines)
{
    return lines.join('\n') + '\n';
}

const QByteArray kIntelEnd = intelRecord(0x01, 0);

// A line as the front ends quote it: its first 40 bytes, and its length when longer.
QString quoted(const QByteArray &line)
{
    QString shown = u'"' + QString::fromLatin1(line.first(std::min<qsizetype>(40, line.size()))) + u'"';
    if (line.size() > 40)
        shown += u"... (%1 bytes)"_s.arg(line.size());
    return shown;
}

struct Read
{
    FirmwareImage image;
    ImageProblem problem;
};

// The image as every front end reads it, from memory.
Read readImage(QByteArray content)
{
    QBuffer buffer(&content);
    buffer.open(QIODevice::ReadOnly);
    Read read;
    // Not the answer of any file here: a reading that leaves it unset shows.
    read.problem.kind = ImageProblem::Kind::CannotRead;
    read.image = FirmwareImage::read(&buffer, content.size(), &read.problem);
    return read;
}

QByteArrayList sentLines(const FirmwareImage &image)
{
    QByteArrayList lines;
    for (qsizetype i = 0; i < image.lineCount(); ++i)
        lines += image.line(i);
    return lines;
}

// LineGrammar::parse's answer in a few words: "address 0F000",
// "data 31 40 00 24", "refused Tab at 3".
QString reading(const LineGrammar::Line &line, const QByteArray &bytes)
{
    switch (line.kind) {
    case LineGrammar::Kind::Empty:
        return u"empty"_s;
    case LineGrammar::Kind::End:
        return u"end"_s;
    case LineGrammar::Kind::Address:
        return u"address "_s + ImageSummary::addressText(line.address);
    case LineGrammar::Kind::Data:
        return bytes.size() == line.byteCount ? u"data "_s + QString::fromLatin1(bytes.toHex(' ').toUpper())
                                              : u"data of %1 bytes, %2 read"_s.arg(line.byteCount).arg(bytes.size());
    case LineGrammar::Kind::Refused:
        break;
    }
    static const QStringList faults{u"None"_s,       u"NotALine"_s,        u"Tab"_s,
                                    u"BadAddress"_s, u"AddressPastLast"_s, u"ByteNotTwoDigits"_s,
                                    u"TwoBlanks"_s,  u"TooManyBytes"_s};
    return u"refused %1 at %2"_s.arg(faults.value(int(line.fault))).arg(line.position);
}

} // namespace

class ImageRulesTest : public QObject
{
    Q_OBJECT

    // A file refused: nothing to send, and why, as the front ends show it.
    static void expectRefused(const QByteArray &content, ImageProblem::Kind kind, qint64 line, const QString &message)
    {
        const Read read = readImage(content);
        if (read.problem.kind != kind)
            qWarning("%s", qPrintable(read.problem.describe(kFileName)));
        QCOMPARE(read.problem.kind, kind);
        QCOMPARE(read.problem.line, line);
        QCOMPARE(read.problem.describe(kFileName), message);
        QVERIFY(read.image.isEmpty());
    }

    // A file accepted: the lines an update sends and where they land.
    static void expectSent(const Read &read, const QByteArrayList &sent, const QString &ranges,
                           ImageFormat::Kind format)
    {
        if (read.problem.refused())
            qWarning("%s", qPrintable(read.problem.describe(kFileName)));
        QCOMPARE(read.problem.kind, ImageProblem::Kind::None);
        QCOMPARE(sentLines(read.image), sent);
        QCOMPARE(read.image.summary().linesToSend, qint64(sent.size()));
        QCOMPARE(read.image.summary().rangesText(), ranges);
        QCOMPARE(read.image.summary().format, format);
    }

private slots:
    void lineGrammar_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("prepared"); // the line as it goes out, not as the file has it
        QTest::addColumn<QString>("reading");

        const auto row = [](const char *name, const QByteArray &line, const QString &reading, bool prepared = false) {
            QTest::newRow(name) << line << prepared << reading;
        };
        row("empty", "", u"empty"_s);
        row("spaces only", "    ", u"empty"_s);
        row("q", "q", u"end"_s);
        row("Q", "Q", u"end"_s);
        row("q between spaces", "  q  ", u"end"_s);
        row("qq", "qq", u"refused NotALine at 0"_s);
        row("quit", "quit", u"refused NotALine at 0"_s);

        row("four-digit address", "@F000", u"address 0F000"_s);
        row("lower-case address", "@f00a", u"address 0F00A"_s);
        row("five-digit address", "@1F000", u"address 1F000"_s);
        row("the last address", "@FFFFF", u"address FFFFF"_s);
        row("six digits, a leading zero", "@010000", u"address 10000"_s);
        row("eight digits", "@0000F000", u"address 0F000"_s);
        row("address between spaces", "  @F000  ", u"address 0F000"_s);
        row("six digits past FFFFF", "@100000", u"refused AddressPastLast at 1"_s);
        row("six digits, the first not zero", "@123456", u"refused AddressPastLast at 1"_s);
        row("eight digits past FFFFF", "@00100000", u"refused AddressPastLast at 3"_s);
        row("three-digit address", "@123", u"refused BadAddress at 0"_s);
        row("@ alone", "@", u"refused BadAddress at 0"_s);
        row("a letter in the address", "@F00G", u"refused BadAddress at 4"_s);
        row("a space in the address", "@F0 00", u"refused BadAddress at 3"_s);
        row("something before the @", "x@F000", u"refused BadAddress at 0"_s);
        row("prose with an @", "Mail us @ support", u"refused BadAddress at 0"_s);
        // Going out, an address has exactly the five digits the instrument reads.
        row("prepared: five digits", "@0F000", u"address 0F000"_s, true);
        row("prepared: four digits", "@F000", u"refused BadAddress at 0"_s, true);
        row("prepared: six digits", "@010000", u"refused BadAddress at 0"_s, true);

        row("tab before an address", "\t@10000", u"refused Tab at 0"_s);
        row("tab after an address", "@F000\t", u"refused Tab at 5"_s);
        row("tab after spaces", "  \t@F000", u"refused Tab at 2"_s);
        row("tabs between bytes", "31\t40\t00", u"refused Tab at 2"_s);
        row("tab after a data line", "31 40\t", u"refused Tab at 5"_s);
        row("tab before a data line", " \t31 40", u"refused Tab at 1"_s);
        // Prose is told first, a tab in it or not.
        row("tab before q", "\tq", u"refused NotALine at 1"_s);

        row("four bytes", "31 40 00 24", u"data 31 40 00 24"_s);
        row("lower-case bytes", "a0 b1 c2 d3", u"data A0 B1 C2 D3"_s);
        row("one byte", "31", u"data 31"_s);
        row("odd bytes as the file has them", "31 40 00", u"data 31 40 00"_s);
        row("bytes between spaces", "   31 40   ", u"data 31 40"_s);
        row("32 bytes", bytesLine(32), u"data "_s + QString::fromLatin1(bytesLine(32)));
        row("33 bytes", bytesLine(33), u"refused TooManyBytes at 96"_s);
        row("bytes without blanks", "31400024", u"refused ByteNotTwoDigits at 0"_s);
        row("a three-digit byte", "314", u"refused ByteNotTwoDigits at 0"_s);
        row("a one-digit byte last", "31 4", u"refused ByteNotTwoDigits at 3"_s);
        row("two blanks in a row", "31 40  00 24", u"refused TwoBlanks at 5"_s);
        row("a letter that is no digit", "31 4G 00", u"refused NotALine at 4"_s);
        row("prose", "Release notes", u"refused NotALine at 0"_s);
        row("a byte above 127", "31 40 \xC2\xB5", u"refused NotALine at 6"_s);
    }

    // One line, as the file has it or as it goes out: what it is, what it
    // holds, or what is wrong where.
    void lineGrammar()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, prepared);
        QFETCH(QString, reading);
        QByteArray bytes;
        const LineGrammar::Line parsed
            = LineGrammar::parse(line, prepared ? LineGrammar::Form::Prepared : LineGrammar::Form::InFile, &bytes);
        QCOMPARE(::reading(parsed, bytes), reading);
    }

    void refusedFiles_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<ImageProblem::Kind>("kind");
        QTest::addColumn<QString>("message");
        using K = ImageProblem::Kind;

        QTest::newRow("/dev/zero") << u"device"_s << K::NotRegular
                                   << u"fw: is a character device, not a firmware file"_s;
        QTest::newRow(".txt link to a device")
            << u"device link"_s << K::NotRegular << u"fw: is a character device, not a firmware file"_s;
        QTest::newRow("pipe with no writer")
            << u"pipe"_s << K::NotRegular << u"fw: is a named pipe, not a firmware file"_s;
        QTest::newRow("directory") << u"directory"_s << K::NotRegular << u"fw: is a directory, not a firmware file"_s;
        QTest::newRow("missing") << u"missing"_s << K::Missing << u"fw: no such file"_s;
        QTest::newRow("sparse 3 GB") << u"sparse"_s << K::TooLarge
                                     << u"fw: 3000000000 bytes, larger than 64 MiB, far more than any firmware image: "
                                        "not sent"_s;
    }

    // Files that are no firmware file at all, turned down by what the file
    // system says of them before a byte is read: nothing blocks on a pipe or
    // a device, nothing endless is read.
    void refusedFiles()
    {
        QFETCH(QString, how);
        QFETCH(ImageProblem::Kind, kind);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QString path = dir.filePath(u"fw.txt"_s);
        if (how == u"device")
            path = u"/dev/zero"_s;
        else if (how == u"device link")
            QVERIFY(QFile::link(u"/dev/zero"_s, path));
        else if (how == u"pipe")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (how == u"directory")
            path = dir.path();
        else if (how == u"sparse") {
            // 3 GB that take no room: only the size says what it is.
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(3'000'000'000));
        }
        ImageProblem problem;
        const FirmwareImage image = FirmwareImage::load(path, &problem);
        QCOMPARE(problem.kind, kind);
        QCOMPARE(problem.describe(kFileName), message);
        QVERIFY(image.isEmpty());
    }

    // A real image, only larger than any: read up to the limit and no
    // further, as from a file that grows while it is read.
    void tooLargeWhileRead()
    {
        const QByteArray block = "@F000\n" + QByteArray("31 40 00 24\n").repeated(1024);
        QByteArray content = block.repeated(65 * 1024 * 1024 / block.size() + 1);
        QVERIFY(content.size() > 65 * 1024 * 1024);
        const Read read = readImage(content);
        QCOMPARE(read.problem.kind, ImageProblem::Kind::TooLarge);
        QVERIFY2(read.problem.size > 64 * 1024 * 1024, qPrintable(QString::number(read.problem.size)));
        QVERIFY2(read.problem.describe(kFileName).endsWith(u"bytes, larger than 64 MiB, far more than any firmware "
                                                           "image: not sent"),
                 qPrintable(read.problem.describe(kFileName)));
        QVERIFY(read.image.isEmpty());
    }

    void refusedText_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<ImageProblem::Kind>("kind");
        QTest::addColumn<qint64>("line");
        QTest::addColumn<QString>("message");
        using K = ImageProblem::Kind;

        const QString notALine
            = u"fw, line %1 is no address line (@F000), data line (31 40 00 24) or end line (q): %2"_s;
        const QString badAddress = u"fw, line %1: an address has four or five hexadecimal digits after its @ (more "
                                   "only as leading zeros), and nothing else: %2"_s;
        const QString notTwoDigits = u"fw, line %1: at position %2 a byte is not two hexadecimal digits; a data line "
                                     "is pairs such as 31 40 00 24: %3"_s;
        const QString badByte = u"fw, line %1: byte %2 at position %3 is in no firmware image: %4"_s;
        const QString tab = u"fw, line %1: a tab at position %2; the instrument takes spaces only: %3"_s;
        const QString noData = u"fw: not one data line: there is nothing to write"_s;

        QTest::newRow("empty") << QByteArray() << K::Empty << qint64(0)
                               << u"fw: the file is empty: there is nothing to send"_s;
        QTest::newRow("only a byte-order mark") << QByteArray("\xEF\xBB\xBF") << K::Empty << qint64(0)
                                                << u"fw: the file is empty: there is nothing to send"_s;
        QTest::newRow("only an end line") << QByteArray("q\n") << K::NoData << qint64(0) << noData;
        QTest::newRow("only blank lines") << QByteArray("\n  \n\n") << K::NoData << qint64(0) << noData;
        QTest::newRow("only address lines") << QByteArray("@F000\n@10000\nq\n") << K::NoData << qint64(0) << noData;
        QTest::newRow("data only after the end line")
            << QByteArray("@F000\nq\n31 40\n") << K::NoData << qint64(0) << noData;

        QTest::newRow("binary")
            << QByteArray("\x7F"
                          "ELF\x02\x01\x01\0\0\0",
                          10)
            << K::BadByte << qint64(1)
            << badByte.arg(1).arg(u"127 (0x7f)"_s).arg(1).arg(u"\"\\x7FELF\\x02\\x01\\x01\\x00\\x00\\x00\""_s);
        QTest::newRow("byte above 127") << QByteArray("@F000\n31 40 \xC2\xB5\nq\n") << K::BadByte << qint64(2)
                                        << badByte.arg(2).arg(u"194 (0xc2)"_s).arg(7).arg(u"\"31 40 \\xC2\\xB5\""_s);
        QTest::newRow("byte-order mark inside")
            << QByteArray("@F000\n\xEF\xBB\xBF"
                          "31 40\nq\n")
            << K::BadByte << qint64(2) << badByte.arg(2).arg(u"239 (0xef)"_s).arg(1).arg(u"\"\\xEF\\xBB\\xBF31 40\""_s);
        QTest::newRow("NUL") << QByteArray("@F000\n31 40\0\nq\n", 15) << K::BadByte << qint64(2)
                             << badByte.arg(2).arg(u"0 (0x00)"_s).arg(6).arg(u"\"31 40\\x00\""_s);
        QTest::newRow("escape") << QByteArray("@F000\n\x1B[2J31 40\nq\n") << K::BadByte << qint64(2)
                                << badByte.arg(2).arg(u"27 (0x1b)"_s).arg(1).arg(u"\"\\x1B[2J31 40\""_s);
        QTest::newRow("DEL") << QByteArray("@F000\n31 40\x7F\nq\n") << K::BadByte << qint64(2)
                             << badByte.arg(2).arg(u"127 (0x7f)"_s).arg(6).arg(u"\"31 40\\x7F\""_s);
        // Looked at before the end line is: "q" and a control byte is no end line.
        QTest::newRow("form feed after q") << QByteArray("@F000\n31 40\nq\f\n") << K::BadByte << qint64(3)
                                           << badByte.arg(3).arg(u"12 (0x0c)"_s).arg(2).arg(u"\"q\\x0C\""_s);

        QTest::newRow("prose") << QByteArray("Release notes\nFixed the display.\n") << K::BadLine << qint64(1)
                               << notALine.arg(1).arg(u"\"Release notes\""_s);
        QTest::newRow("a letter that is no digit") << QByteArray("@F000\n31 4G 00 24\nq\n") << K::BadLine << qint64(2)
                                                   << notALine.arg(2).arg(u"\"31 4G 00 24\""_s);
        QTest::newRow("a lower-case s-record is text")
            << file({"s1050000314049", "q"}) << K::BadLine << qint64(1) << notALine.arg(1).arg(u"\"s1050000314049\""_s);
        QTest::newRow("prose with an @") << QByteArray("Mail us @ support\n") << K::BadAddress << qint64(1)
                                         << badAddress.arg(1).arg(u"\"Mail us @ support\""_s);
        QTest::newRow("three-digit address")
            << QByteArray("@123\n31 40\nq\n") << K::BadAddress << qint64(1) << badAddress.arg(1).arg(u"\"@123\""_s);
        QTest::newRow("six-digit address past FFFFF")
            << QByteArray("@F000\n31 40\n@123456\n31 40\nq\n") << K::AddressPastLast << qint64(3)
            << u"fw, line 3: an address past FFFFF, the instrument's last address: \"@123456\""_s;
        QTest::newRow("@100000") << QByteArray("@100000\n31 40\nq\n") << K::AddressPastLast << qint64(1)
                                 << u"fw, line 1: an address past FFFFF, the instrument's last address: \"@100000\""_s;

        QTest::newRow("tab before an address") << QByteArray("@F000\n31 40\n\t@10000\n31 40\nq\n") << K::TabInLine
                                               << qint64(3) << tab.arg(3).arg(1).arg(u"\"\\x09@10000\""_s);
        QTest::newRow("tabs between bytes") << QByteArray("@F000\n31\t40\t00\t24\nq\n") << K::TabInLine << qint64(2)
                                            << tab.arg(2).arg(3).arg(u"\"31\\x0940\\x0900\\x0924\""_s);
        QTest::newRow("tab after a data line") << QByteArray("@F000\n31 40\t\nq\n") << K::TabInLine << qint64(2)
                                               << tab.arg(2).arg(6).arg(u"\"31 40\\x09\""_s);

        QTest::newRow("bytes without blanks") << QByteArray("@F000\n31400024\nq\n") << K::ByteNotTwoDigits << qint64(2)
                                              << notTwoDigits.arg(2).arg(1).arg(u"\"31400024\""_s);
        QTest::newRow("a three-digit byte") << QByteArray("@F000\n31 40\n314\nq\n") << K::ByteNotTwoDigits << qint64(3)
                                            << notTwoDigits.arg(3).arg(1).arg(u"\"314\""_s);
        QTest::newRow("two blanks in a row")
            << QByteArray("@F000\n31 40  00 24\nq\n") << K::TwoBlanks << qint64(2)
            << u"fw, line 2: two blanks in a row at position 6; bytes are separated by one space: \"31 40  00 24\""_s;
        QTest::newRow("33-byte data line")
            << "@F000\n" + bytesLine(33) + "\nq\n"
            << K::TooManyBytes << qint64(2)
            << u"fw, line 2: a data line holds at most 32 bytes: "_s + quoted(bytesLine(33));
        // Only its start is kept: shown with its whole length.
        const QByteArray longLine = QByteArray("A5 ").repeated(30000).chopped(1);
        QTest::newRow("90 kB line") << "@F000\n" + longLine + "\nq\n"
                                    << K::TooManyBytes << qint64(2)
                                    << u"fw, line 2: a data line holds at most 32 bytes: "_s + quoted(longLine);
        const QString tooLong = u"fw, line 2: longer than any firmware line (at most 256 characters, blanks "
                                "included): "_s;
        const QByteArray indented = QByteArray(300, ' ') + "31 40";
        QTest::newRow("blanks and bytes over 256 characters") << "@F000\n" + indented
                + "\nq\n" << K::LineTooLong << qint64(2) << tooLong + quoted(indented);
        const QByteArray trailing = "31 40" + QByteArray(252, ' ');
        QTest::newRow("257 characters") << "@F000\n" + trailing + "\nq\n"
                                        << K::LineTooLong << qint64(2) << tooLong + quoted(trailing);

        QTest::newRow("data before any address")
            << QByteArray("31 40\n@F000\n31 40\nq\n") << K::DataBeforeAddress << qint64(1)
            << u"fw, line 1: a data line before any address line: \"31 40\""_s;
        QTest::newRow("data past FFFFF")
            << "@FFFF0\n" + bytesLine(16) + "\n31 40\nq\n"
            << K::PastLastAddress << qint64(3)
            << u"fw, line 3: data past FFFFF, the instrument's last address (2 bytes from 100000): \"31 40\""_s;
        // Its pad byte goes out with it.
        QTest::newRow("one byte at FFFFF")
            << QByteArray("@FFFFF\n31\nq\n") << K::PastLastAddress << qint64(2)
            << u"fw, line 2: data past FFFFF, the instrument's last address (2 bytes from FFFFF): \"31\""_s;
    }

    // Text files that are no image, or hold a line the instrument would
    // drop or misplace after the erase.
    void refusedText()
    {
        QFETCH(QByteArray, content);
        QFETCH(ImageProblem::Kind, kind);
        QFETCH(qint64, line);
        QFETCH(QString, message);
        expectRefused(content, kind, line, message);
    }

    void acceptedText_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArrayList>("sent");
        QTest::addColumn<QString>("ranges");
        QTest::addColumn<qint64>("dataBytes");
        QTest::addColumn<bool>("endLine");

        QTest::newRow("lower-case hex") << QByteArray("@f000\na0 b1 c2 d3\nq\n")
                                        << QByteArrayList{"@0f000", "a0 b1 c2 d3", "q"} << u"0F000-0F003"_s << qint64(4)
                                        << true;
        QTest::newRow("CR, LF and CR LF mixed") << QByteArray("@F000\r31 40\n32 41\r\n@10000\n33 42\rq\r\n")
                                                << QByteArrayList{"@0F000", "31 40", "32 41", "@10000", "33 42", "q"}
                                                << u"0F000-0F003 10000-10001"_s << qint64(6) << true;
        QTest::newRow("text after the end line")
            << QByteArray("@F000\n31 40\nq\nBuilt 2026-12-01 by CI \xC2\xA9\n\t\n")
            << QByteArrayList{"@0F000", "31 40", "q"} << u"0F000-0F001"_s << qint64(2) << true;
        QTest::newRow("Q as the end line") << QByteArray("@F000\n31 40\nQ\n") << QByteArrayList{"@0F000", "31 40", "Q"}
                                           << u"0F000-0F001"_s << qint64(2) << true;
        QTest::newRow("no end line: every line sent")
            << QByteArray("@F000\n31 40\n32 41") << QByteArrayList{"@0F000", "31 40", "32 41"} << u"0F000-0F003"_s
            << qint64(4) << false;
        QTest::newRow("four-, five-, six- and eight-digit addresses")
            << QByteArray("@F000\n31 40\n@1F000\n32 41\n@020000\n33 42\n@0003F000\n34 43\nq\n")
            << QByteArrayList{"@0F000", "31 40", "@1F000", "32 41", "@20000", "33 42", "@3F000", "34 43", "q"}
            << u"0F000-0F001 1F000-1F001 20000-20001 3F000-3F001"_s << qint64(8) << true;
        QTest::newRow("an odd line gains its pad byte")
            << QByteArray("@F000\n31 40 00\nq\n") << QByteArrayList{"@0F000", "31 40 00 FF", "q"} << u"0F000-0F003"_s
            << qint64(4) << true;
        QTest::newRow("blank lines and spaces around lines")
            << QByteArray("\n@F000\n  \n  31 40  \n\nq\n") << QByteArrayList{"", "@0F000", "", "31 40", "", "q"}
            << u"0F000-0F001"_s << qint64(2) << true;
        // The limits themselves: 32 bytes a line, the last at FFFFF.
        QTest::newRow("32 bytes a line up to FFFFF")
            << "@FFFC0\n" + bytesLine(32) + "\n" + bytesLine(31) + "\nq\n"
            << QByteArrayList{"@FFFC0", bytesLine(32), bytesLine(31) + " FF", "q"} << u"FFFC0-FFFFF"_s << qint64(64)
            << true;
        QTest::newRow("256 characters, blanks included")
            << "@F000\n" + QByteArray(251, ' ') + "31 40\nq\n"
            << QByteArrayList{"@0F000", "31 40", "q"} << u"0F000-0F001"_s << qint64(2) << true;
        // Saved by a Windows editor: the mark is no part of the first line.
        QTest::newRow("byte-order mark at the start")
            << QByteArray("\xEF\xBB\xBF@F000\r\n31 40 00 24\r\nq\r\n") << QByteArrayList{"@0F000", "31 40 00 24", "q"}
            << u"0F000-0F003"_s << qint64(4) << true;
        // The instrument writes the later bytes over the earlier: one range.
        QTest::newRow("an address written twice")
            << QByteArray("@F000\n31 40 00 24\n@F002\n55 66 77 88\nq\n")
            << QByteArrayList{"@0F000", "31 40 00 24", "@0F002", "55 66 77 88", "q"} << u"0F000-0F005"_s << qint64(8)
            << true;
        QTest::newRow("ranges in address order, touching ones joined")
            << QByteArray("@F002\n55 66\n@E000\n01 02\n@F000\n31 40\nq\n")
            << QByteArrayList{"@0F002", "55 66", "@0E000", "01 02", "@0F000", "31 40", "q"}
            << u"0E000-0E001 0F000-0F003"_s << qint64(6) << true;
    }

    // Odd but valid text images: the lines sent, prepared, and where they land.
    void acceptedText()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArrayList, sent);
        QFETCH(QString, ranges);
        QFETCH(qint64, dataBytes);
        QFETCH(bool, endLine);
        const Read read = readImage(content);
        expectSent(read, sent, ranges, ImageFormat::Kind::Text);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(read.image.summary().dataBytes, dataBytes);
        QCOMPARE(read.image.summary().endLine, endLine);
        QVERIFY(read.image.summary().endRecordWarning().isEmpty());
    }

    void refusedIntelHex_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<ImageProblem::Kind>("kind");
        QTest::addColumn<qint64>("line");
        QTest::addColumn<QString>("message");
        using K = ImageProblem::Kind;

        const QString length = u"fw, line %1: the record is %2: %3"_s;
        const auto row = [](const char *name, const QByteArrayList &lines, K kind, qint64 line,
                            const QString &message) { QTest::newRow(name) << file(lines) << kind << line << message; };
        row("a bad checksum", {":02F00000010200", kIntelEnd}, K::BadChecksum, 1,
            u"fw, line 1: checksum 00 where the record's bytes make 0B: the record is damaged: \":02F00000010200\""_s);
        row("a bad checksum in an 04", {":020000040001F0", intelRecord(0x00, 0xF000, "3140"), kIntelEnd},
            K::BadChecksum, 1,
            u"fw, line 1: checksum F0 where the record's bytes make F9: the record is damaged: \":020000040001F0\""_s);
        row("a record too short", {":03F0000001020A", kIntelEnd}, K::RecordLength, 1,
            length.arg(1).arg(u"too short: its length byte is 3, yet it holds 2 bytes of data"_s,
                              u"\":03F0000001020A\""_s));
        row("a record too long", {":01F0000001020C", kIntelEnd}, K::RecordLength, 1,
            length.arg(1).arg(u"too long: its length byte is 1, yet it holds 2 bytes of data"_s,
                              u"\":01F0000001020C\""_s));
        row("shorter than its frame", {":0000FF", kIntelEnd}, K::RecordLength, 1,
            length.arg(1).arg(u"too short: 3 bytes, where length, address, type and checksum alone are 5"_s,
                              u"\":0000FF\""_s));
        const QByteArray cut = intelRecord(0x00, 0xF000, "3140").chopped(1);
        row("a digit lost", {cut, kIntelEnd}, K::RecordLength, 1,
            length.arg(1).arg(u"an odd count of hexadecimal digits: its last byte is cut in two"_s, quoted(cut)));
        const QByteArray overLong = ':' + QByteArray(522, '0');
        row("longer than any record", {overLong, kIntelEnd}, K::RecordLength, 1,
            length.arg(1).arg(u"longer than any record (at most 521 characters)"_s, quoted(overLong)));
        const QByteArray shortLinear = intelRecord(0x04, 0, "01");
        row("an 04 of one byte", {shortLinear, kIntelEnd}, K::RecordLength, 1,
            length.arg(1).arg(u"too short: an extended linear address record holds 2 bytes of data, this one 1"_s,
                              quoted(shortLinear)));
        const QByteArray longSegment = intelRecord(0x02, 0, "000000");
        row("an 02 of three bytes", {longSegment, kIntelEnd}, K::RecordLength, 1,
            length.arg(1).arg(u"too long: an extended segment address record holds 2 bytes of data, this one 3"_s,
                              quoted(longSegment)));
        const QByteArray longEnd = intelRecord(0x01, 0, "00");
        row("an end record with data", {intelRecord(0x00, 0xF000, "3140"), longEnd}, K::RecordLength, 2,
            length.arg(2).arg(u"too long: an end-of-file record holds 0 bytes of data, this one 1"_s, quoted(longEnd)));
        row("a letter that is no digit", {":02F00000314G00", kIntelEnd}, K::NotHex, 1,
            u"fw, line 1: 'G' at position 13 is no hexadecimal digit: \":02F00000314G00\""_s);
        row("a tab in a record", {":02F00000\t31409D", kIntelEnd}, K::NotHex, 1,
            u"fw, line 1: byte 0x09 at position 10 is no hexadecimal digit: \":02F00000\\x0931409D\""_s);
        row("record type 06", {intelRecord(0x06, 0), kIntelEnd}, K::BadRecordType, 1,
            u"fw, line 1: Intel HEX has no record type 06: \":00000006FA\""_s);
        row("a text line among the records", {intelRecord(0x00, 0xF000, "3140"), "@F002", "31 40", kIntelEnd},
            K::BadRecord, 2,
            u"fw, line 2 is no Intel HEX record (':', then length, address, type, data and checksum in "
            "hexadecimal digits): \"@F002\""_s);
        row("no end record", {intelRecord(0x00, 0xF000, "3140"), ""}, K::NoEndRecord, 2,
            u"fw: no end-of-file record (:00000001FF) up to its last line, line 2: the file may be cut short"_s);
        const QByteArray after = intelRecord(0x00, 0xF002, "3140");
        row("a record after the end record", {intelRecord(0x00, 0xF000, "3140"), kIntelEnd, "", after}, K::DataAfterEnd,
            4, u"fw, line 4: a record after the end record of line 2: "_s + quoted(after));
        const QByteArray twice = intelRecord(0x00, 0xF005, "3140");
        row("two records write one address",
            {intelRecord(0x00, 0xF000, "31400024"), intelRecord(0x00, 0xF004, "3140"), twice, kIntelEnd}, K::Overlap, 3,
            u"fw, line 3: address 0F005 is written twice, by this record and by one of the records of lines 1 to 2: "_s
                + quoted(twice));
        // 0010 << 16 is 100000, one past the last address.
        const QByteArray past = intelRecord(0x00, 0, "3140");
        row("past FFFFF by an extended linear address", {intelRecord(0x04, 0, "0010"), past, kIntelEnd},
            K::PastLastAddress, 2,
            u"fw, line 2: data past FFFFF, the instrument's last address (2 bytes from 100000): "_s + quoted(past));
        const QByteArray across = intelRecord(0x00, 0xFFFF, "3140");
        row("across FFFFF after an 04", {intelRecord(0x04, 0, "000F"), across, kIntelEnd}, K::PastLastAddress, 2,
            u"fw, line 2: data past FFFFF, the instrument's last address (2 bytes from FFFFF): "_s + quoted(across));
        row("an odd count up to FFFFF", {intelRecord(0x04, 0, "000F"), intelRecord(0x00, 0xFFFD, "314000"), kIntelEnd},
            K::OddPastLastAddress, 2,
            u"fw, line 2: the bytes up to FFFFF, the instrument's last address, are an odd count; it takes whole "
            "16-bit words, and the pad byte FF would fall past it"_s);
        row("only an end record", {kIntelEnd}, K::NoData, 0,
            u"fw: not one byte of data in its records: there is nothing to write"_s);
    }

    // Intel HEX files that are damaged, cut short, ambiguous or beyond what
    // the instrument holds.
    void refusedIntelHex()
    {
        QFETCH(QByteArray, content);
        QFETCH(ImageProblem::Kind, kind);
        QFETCH(qint64, line);
        QFETCH(QString, message);
        expectRefused(content, kind, line, message);
    }

    void acceptedIntelHex_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArrayList>("sent");
        QTest::addColumn<QString>("ranges");
        QTest::addColumn<qint64>("startAddress");

        const auto row
            = [](const char *name, const QByteArray &content, const QByteArrayList &sent, const QString &ranges,
                 qint64 startAddress = -1) { QTest::newRow(name) << content << sent << ranges << startAddress; };
        row("data with no extended address", file({intelRecord(0x00, 0xF000, "31400024"), kIntelEnd}),
            {"@0F000", "31 40 00 24", "q"}, u"0F000-0F003"_s);
        row("lower-case digits",
            file({":02f000003140"
                  "9d",
                  ":00000001ff"}),
            {"@0F000", "31 40", "q"}, u"0F000-0F001"_s);
        row("an 04 sets the upper 16 bits",
            file({intelRecord(0x04, 0, "0001"), intelRecord(0x00, 0xF000, "3140"), kIntelEnd}),
            {"@1F000", "31 40", "q"}, u"1F000-1F001"_s);
        row("an 02 sets the segment",
            file({intelRecord(0x02, 0, "1000"), intelRecord(0x00, 0xF000, "3140"), kIntelEnd}),
            {"@1F000", "31 40", "q"}, u"1F000-1F001"_s);
        // After an 04, or with no extended address, a record runs on across 64 KiB.
        row("across 64 KiB after an 04",
            file({intelRecord(0x04, 0, "0000"), intelRecord(0x00, 0xFFFF, "3140"), kIntelEnd}),
            {"@0FFFF", "31 40", "q"}, u"0FFFF-10000"_s);
        row("across 64 KiB after an 04 above it",
            file({intelRecord(0x04, 0, "0002"), intelRecord(0x00, 0xFFFE, "31400024"), kIntelEnd}),
            {"@2FFFE", "31 40 00 24", "q"}, u"2FFFE-30001"_s);
        row("across 64 KiB with no extended address", file({intelRecord(0x00, 0xFFFF, "3140"), kIntelEnd}),
            {"@0FFFF", "31 40", "q"}, u"0FFFF-10000"_s);
        // After an 02, it wraps to its segment's start.
        row("an 02 wraps in its segment",
            file({intelRecord(0x02, 0, "1000"), intelRecord(0x00, 0xFFFF, "3140"), kIntelEnd}),
            {"@10000", "40 FF", "@1FFFF", "31 FF", "q"}, u"10000-10001 1FFFF-20000"_s);
        row("an 04 after an 02 runs on again",
            file({intelRecord(0x02, 0, "1000"), intelRecord(0x04, 0, "0002"), intelRecord(0x00, 0xFFFF, "3140"),
                  kIntelEnd}),
            {"@2FFFF", "31 40", "q"}, u"2FFFF-30000"_s);
        row("records in any order",
            file({intelRecord(0x00, 0xF002, "5566"), intelRecord(0x00, 0xE000, "01"), intelRecord(0x00, 0xF000, "3140"),
                  kIntelEnd}),
            {"@0E000", "01 FF", "@0F000", "31 40 55 66", "q"}, u"0E000-0E001 0F000-0F003"_s);
        row("17 bytes: 16 a line", file({intelRecord(0x00, 0xF000, bytesLine(17).replace(' ', "")), kIntelEnd}),
            {"@0F000", bytesLine(16), "10 FF", "q"}, u"0F000-0F011"_s);
        row("blank lines, spaces and CR LF",
            "\r\n  " + intelRecord(0x00, 0xF000, "3140") + "  \r\n\r\n" + kIntelEnd + "\r\n  \r\n",
            {"@0F000", "31 40", "q"}, u"0F000-0F001"_s);
        // A start address is kept for --check and not sent.
        row("an 03 start address",
            file({intelRecord(0x00, 0xF000, "3140"), intelRecord(0x03, 0, "0F000010"), kIntelEnd}),
            {"@0F000", "31 40", "q"}, u"0F000-0F001"_s, 0xF010);
        row("an 05 start address",
            file({intelRecord(0x05, 0, "0001F000"), intelRecord(0x00, 0xF000, "3140"), kIntelEnd}),
            {"@0F000", "31 40", "q"}, u"0F000-0F001"_s, 0x1F000);
        row("the last bytes up to FFFFF",
            file({intelRecord(0x04, 0, "000F"), intelRecord(0x00, 0xFFFE, "3140"), kIntelEnd}),
            {"@FFFFE", "31 40", "q"}, u"FFFFE-FFFFF"_s);
    }

    // Intel HEX as compilers and linkers write it: sent as the text image
    // of the same bytes.
    void acceptedIntelHex()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArrayList, sent);
        QFETCH(QString, ranges);
        QFETCH(qint64, startAddress);
        const Read read = readImage(content);
        expectSent(read, sent, ranges, ImageFormat::Kind::IntelHex);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(read.image.summary().startAddress, startAddress);
        QVERIFY(read.image.summary().endRecord);
    }

    void refusedSRecord_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<ImageProblem::Kind>("kind");
        QTest::addColumn<qint64>("line");
        QTest::addColumn<QString>("message");
        using K = ImageProblem::Kind;

        const QString length = u"fw, line %1: the record is %2: %3"_s;
        const auto row = [](const char *name, const QByteArrayList &lines, K kind, qint64 line,
                            const QString &message) { QTest::newRow(name) << file(lines) << kind << line << message; };
        const QByteArray header = sRecord(0, 0, "776578656C");
        row("a bad checksum", {header, "S105F000010200"}, K::BadChecksum, 2,
            u"fw, line 2: checksum 00 where the record's bytes make 07: the record is damaged: \"S105F000010200\""_s);
        row("a bad checksum in S3", {"S307000F000001020F"}, K::BadChecksum, 1,
            u"fw, line 1: checksum 0F where the record's bytes make E6: the record is damaged: "
            "\"S307000F000001020F\""_s);
        row("a bad checksum in the header", {"S00600007765780F", sRecord(1, 0xF000, "3140")}, K::BadChecksum, 1,
            u"fw, line 1: checksum 0F where the record's bytes make A5: the record is damaged: "
            "\"S00600007765780F\""_s);
        row("a record too short", {header, "S106F000010206"}, K::RecordLength, 2,
            length.arg(2).arg(u"too short: its count says 6 bytes after it, it holds 5"_s, u"\"S106F000010206\""_s));
        row("a record too long", {header, "S104F000010206"}, K::RecordLength, 2,
            length.arg(2).arg(u"too long: its count says 4 bytes after it, it holds 5"_s, u"\"S104F000010206\""_s));
        row("a count below its address", {"S10200FD"}, K::RecordLength, 1,
            length.arg(1).arg(u"too short: an S1 record holds a 2-byte address and its checksum, its count says 2 "
                              "bytes"_s,
                              u"\"S10200FD\""_s));
        row("no count", {"S1"}, K::RecordLength, 1, length.arg(1).arg(u"too short: it has no count"_s, u"\"S1\""_s));
        const QByteArray longEnd = sRecord(9, 0xF000, "31");
        row("an end record with data", {sRecord(1, 0xF000, "3140"), longEnd}, K::RecordLength, 2,
            length.arg(2).arg(u"too long: an S9 record holds its 2-byte start address alone, this one 1 bytes more"_s,
                              quoted(longEnd)));
        const QByteArray longCount = sRecord(5, 1, "31");
        row("a count record with data", {sRecord(1, 0xF000, "3140"), longCount}, K::RecordLength, 2,
            length.arg(2).arg(u"too long: an S5 record holds its 2-byte count alone, this one 1 bytes more"_s,
                              quoted(longCount)));
        row("a letter that is no digit", {"S105F0000G0200"}, K::NotHex, 1,
            u"fw, line 1: 'G' at position 10 is no hexadecimal digit: \"S105F0000G0200\""_s);
        row("record type S4", {"S4030000FC"}, K::BadRecordType, 1,
            u"fw, line 1: Motorola S-record has no record type S4: \"S4030000FC\""_s);
        row("a text line among the records", {sRecord(1, 0xF000, "3140"), "@F002"}, K::BadRecord, 2,
            u"fw, line 2 is no Motorola S-record record (S, a type digit, then count, address, data and checksum in "
            "hexadecimal digits): \"@F002\""_s);
        const QByteArray after = sRecord(1, 0xF002, "3140");
        row("a record after the end record", {sRecord(1, 0xF000, "3140"), sRecord(9, 0xF000), "", after},
            K::DataAfterEnd, 4, u"fw, line 4: a record after the end record of line 2: "_s + quoted(after));
        row("a wrong count", {header, sRecord(1, 0xF000, "3140"), sRecord(5, 2)}, K::BadCount, 3,
            u"fw, line 3: the count record says 2 data records, the file has 1 before it: records are missing or "
            "added: \"S5030002FA\""_s);
        const QByteArray twice = sRecord(1, 0xEFFF, "3140");
        row("two records write one address", {sRecord(1, 0xF000, "31400024"), twice}, K::Overlap, 2,
            u"fw, line 2: address 0F000 is written twice, by this record and by the record of line 1: "_s
                + quoted(twice));
        const QByteArray past = sRecord(3, 0xFFFFF, "3140");
        row("S3 past FFFFF", {past}, K::PastLastAddress, 1,
            u"fw, line 1: data past FFFFF, the instrument's last address (2 bytes from FFFFF): "_s + quoted(past));
        const QByteArray far = sRecord(3, 0xFFFFFFFF, "31");
        row("S3 at FFFFFFFF", {far}, K::PastLastAddress, 1,
            u"fw, line 1: data past FFFFF, the instrument's last address (1 bytes from FFFFFFFF): "_s + quoted(far));
        row("only a header and an end record", {header, sRecord(9, 0)}, K::NoData, 0,
            u"fw: not one byte of data in its records: there is nothing to write"_s);
    }

    // S-record files that are damaged, ambiguous or beyond what the
    // instrument holds.
    void refusedSRecord()
    {
        QFETCH(QByteArray, content);
        QFETCH(ImageProblem::Kind, kind);
        QFETCH(qint64, line);
        QFETCH(QString, message);
        expectRefused(content, kind, line, message);
    }

    void acceptedSRecord_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArrayList>("sent");
        QTest::addColumn<QString>("ranges");
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<qint64>("startAddress");
        QTest::addColumn<QString>("warning"); // when it has no end record

        const auto row
            = [](const char *name, const QByteArrayList &lines, const QByteArrayList &sent, const QString &ranges,
                 const QByteArray &header = {}, qint64 startAddress = -1, const QString &warning = {}) {
                  QTest::newRow(name) << file(lines) << sent << ranges << header << startAddress << warning;
              };
        const QByteArray header = sRecord(0, 0, "776578656C"); // "wexel"
        row("S1 with a header, a count and S9",
            {header, sRecord(1, 0xF000, "31400024"), sRecord(1, 0xF004, "55"), sRecord(5, 2), sRecord(9, 0xF000)},
            {"@0F000", "31 40 00 24 55 FF", "q"}, u"0F000-0F005"_s, "wexel", 0xF000);
        row("S2 and S8", {sRecord(2, 0x1F000, "3140"), sRecord(8, 0x1F000)}, {"@1F000", "31 40", "q"}, u"1F000-1F001"_s,
            {}, 0x1F000);
        row("S3, S6 and S7", {sRecord(3, 0xF0000, "3140"), sRecord(6, 1), sRecord(7, 0xF0000)},
            {"@F0000", "31 40", "q"}, u"F0000-F0001"_s, {}, 0xF0000);
        row("the first of two headers",
            {header, sRecord(1, 0xF000, "3140"), sRecord(0, 0, "6F74686572"), sRecord(9, 0)}, {"@0F000", "31 40", "q"},
            u"0F000-0F001"_s, "wexel", 0);
        row("lower-case digits", {"S105f000314099", "S9030000fc"}, {"@0F000", "31 40", "q"}, u"0F000-0F001"_s, {}, 0);
        row("across 64 KiB", {sRecord(3, 0xFFFF, "3140"), sRecord(7, 0)}, {"@0FFFF", "31 40", "q"}, u"0FFFF-10000"_s,
            {}, 0);
        row("records in any order", {sRecord(1, 0xF002, "5566"), sRecord(1, 0xF000, "3140"), sRecord(9, 0)},
            {"@0F000", "31 40 55 66", "q"}, u"0F000-0F003"_s, {}, 0);
        row("the last bytes up to FFFFF", {sRecord(2, 0xFFFFE, "3140"), sRecord(8, 0)}, {"@FFFFE", "31 40", "q"},
            u"FFFFE-FFFFF"_s, {}, 0);
        // An S-record file need not end with S7, S8 or S9: sent with a warning.
        row("no end record", {header, sRecord(1, 0xF000, "3140"), ""}, {"@0F000", "31 40", "q"}, u"0F000-0F001"_s,
            "wexel", -1,
            u"the file has no end record (S7, S8 or S9) up to its last line, line 3: it may be cut short; the "
            "records it holds are sent as they stand"_s);
    }

    // S-records: sent as the text image of the same bytes, what they say
    // beside their data kept for --check, and a file without its end record
    // sent with the one warning every front end shows.
    void acceptedSRecord()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArrayList, sent);
        QFETCH(QString, ranges);
        QFETCH(QByteArray, header);
        QFETCH(qint64, startAddress);
        QFETCH(QString, warning);
        const Read read = readImage(content);
        expectSent(read, sent, ranges, ImageFormat::Kind::SRecord);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(read.image.summary().header, header);
        QCOMPARE(read.image.summary().startAddress, startAddress);
        QCOMPARE(read.image.summary().endRecord, warning.isEmpty());
        QCOMPARE(read.image.summary().endRecordWarning(), warning);
    }

    void imageMap_data()
    {
        // Each add: "address:bytes@line", in hexadecimal but the line.
        QTest::addColumn<QStringList>("adds");
        // Each add's answer: "ok", "past" or "overlap at 0F005 by lines 1-2".
        QTest::addColumn<QStringList>("answers");
        // The lines written, each with the file's line behind it: "31 40#2".
        QTest::addColumn<QStringList>("lines");

        QTest::newRow("one block") << QStringList{u"F000:3140@1"_s} << QStringList{u"ok"_s}
                                   << QStringList{u"@0F000#1"_s, u"31 40#1"_s, u"q#1"_s};
        QTest::newRow("records one after another: one block")
            << QStringList{u"F000:3140@1"_s, u"F002:0024@2"_s} << QStringList{u"ok"_s, u"ok"_s}
            << QStringList{u"@0F000#1"_s, u"31 40 00 24#2"_s, u"q#2"_s};
        QTest::newRow("a gap: an address line of its own")
            << QStringList{u"F000:3140@1"_s, u"F010:55@2"_s} << QStringList{u"ok"_s, u"ok"_s}
            << QStringList{u"@0F000#1"_s, u"31 40#1"_s, u"@0F010#2"_s, u"55#2"_s, u"q#2"_s};
        QTest::newRow("in any order, touching blocks as one run")
            << QStringList{u"F002:5566@1"_s, u"E000:01@2"_s, u"F000:3140@3"_s} << QStringList{u"ok"_s, u"ok"_s, u"ok"_s}
            << QStringList{u"@0E000#2"_s, u"01#2"_s, u"@0F000#3"_s, u"31 40 55 66#1"_s, u"q#1"_s};
        QTest::newRow("16 bytes a line") << QStringList{u"F000:"_s + QString::fromLatin1(bytesLine(18)).remove(u' ')
                                                        + u"@1"_s}
                                         << QStringList{u"ok"_s}
                                         << QStringList{u"@0F000#1"_s, QString::fromLatin1(bytesLine(16)) + u"#1"_s,
                                                        u"10 11#1"_s, u"q#1"_s};
        QTest::newRow("nothing at all") << QStringList{} << QStringList{} << QStringList{u"q#0"_s};
        QTest::newRow("no bytes, anywhere")
            << QStringList{u"100000:@1"_s, u"F000:3140@2"_s, u"F000:@3"_s} << QStringList{u"ok"_s, u"ok"_s, u"ok"_s}
            << QStringList{u"@0F000#2"_s, u"31 40#2"_s, u"q#2"_s};

        QTest::newRow("overlap by the first byte") << QStringList{u"F000:31400024@1"_s, u"F003:5566@2"_s}
                                                   << QStringList{u"ok"_s, u"overlap at 0F003 by lines 1-1"_s}
                                                   << QStringList{u"@0F000#1"_s, u"31 40 00 24#1"_s, u"q#1"_s};
        QTest::newRow("overlap by the last byte") << QStringList{u"F000:31400024@1"_s, u"EFFE:556677@2"_s}
                                                  << QStringList{u"ok"_s, u"overlap at 0F000 by lines 1-1"_s}
                                                  << QStringList{u"@0F000#1"_s, u"31 40 00 24#1"_s, u"q#1"_s};
        QTest::newRow("overlap within a block of several records")
            << QStringList{u"F000:31400024@1"_s, u"F004:3140@2"_s, u"F005:3140@3"_s}
            << QStringList{u"ok"_s, u"ok"_s, u"overlap at 0F005 by lines 1-2"_s}
            << QStringList{u"@0F000#1"_s, u"31 40 00 24 31 40#2"_s, u"q#2"_s};
        QTest::newRow("overlap with an earlier block, not the last")
            << QStringList{u"F000:3140@1"_s, u"E000:01@2"_s, u"EFFF:AABBCC@3"_s}
            << QStringList{u"ok"_s, u"ok"_s, u"overlap at 0F000 by lines 1-1"_s}
            << QStringList{u"@0E000#2"_s, u"01#2"_s, u"@0F000#1"_s, u"31 40#1"_s, u"q#1"_s};
        QTest::newRow("a record over two earlier blocks")
            << QStringList{u"F000:31@1"_s, u"F002:33@2"_s, u"F000:AABBCC@3"_s}
            << QStringList{u"ok"_s, u"ok"_s, u"overlap at 0F000 by lines 1-1"_s}
            << QStringList{u"@0F000#1"_s, u"31#1"_s, u"@0F002#2"_s, u"33#2"_s, u"q#2"_s};

        QTest::newRow("up to FFFFF") << QStringList{u"FFFFE:3140@1"_s} << QStringList{u"ok"_s}
                                     << QStringList{u"@FFFFE#1"_s, u"31 40#1"_s, u"q#1"_s};
        QTest::newRow("one byte past FFFFF: nothing kept")
            << QStringList{u"FFFFF:3140@1"_s, u"F000:55@2"_s} << QStringList{u"past"_s, u"ok"_s}
            << QStringList{u"@0F000#2"_s, u"55#2"_s, u"q#2"_s};
        QTest::newRow("at 100000") << QStringList{u"100000:31@1"_s} << QStringList{u"past"_s} << QStringList{u"q#0"_s};
        QTest::newRow("at the top of 64 bits")
            << QStringList{u"FFFFFFFFFFFFFFFF:3140@1"_s} << QStringList{u"past"_s} << QStringList{u"q#0"_s};
    }

    // The bytes of a record file: each address written once, none past the
    // last, and the instrument's lines that write them, in address order.
    void imageMap()
    {
        QFETCH(QStringList, adds);
        QFETCH(QStringList, answers);
        QFETCH(QStringList, lines);

        ImageMap map;
        QStringList answered;
        qint64 kept = 0;
        for (const QString &add : std::as_const(adds)) {
            const qsizetype colon = add.indexOf(u':');
            const qsizetype at = add.indexOf(u'@');
            const quint64 address = add.first(colon).toULongLong(nullptr, 16);
            const QByteArray bytes = QByteArray::fromHex(add.sliced(colon + 1, at - colon - 1).toLatin1());
            switch (map.add(address, bytes, add.sliced(at + 1).toLongLong())) {
            case ImageMap::Added::Ok:
                answered += u"ok"_s;
                kept += bytes.size();
                break;
            case ImageMap::Added::PastLastAddress:
                answered += u"past"_s;
                break;
            case ImageMap::Added::Overlap:
                answered += u"overlap at %1 by lines %2-%3"_s.arg(ImageSummary::addressText(map.overlapAddress()))
                                .arg(map.overlapFirstLine())
                                .arg(map.overlapLastLine());
                break;
            }
            // A refused record leaves nothing of itself.
            QCOMPARE(map.byteCount(), kept);
        }
        QCOMPARE(answered, answers);

        QStringList written;
        QVERIFY(map.writeLines([&](QByteArrayView line, qint64 fileLine) {
            written += QString::fromLatin1(line) + u'#' + QString::number(fileLine);
            return true;
        }));
        QCOMPARE(written, lines);
    }
};

WEXEL_REGISTER_TEST(ImageRulesTest)

#include "tst_imagerules.moc"
