// The firmware file: preparing lines, reading them with every kind of line
// ending, loading an image and taking the file chosen in the dialog.
#include "core/firmware/filechoice.h"
#include "core/firmware/firmwareimage.h"
#include "core/firmware/firmwareline.h"
#include "core/firmware/linereader.h"
#include "srecordreading.h"
#include "testfiles.h"
#include "testregistry.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstring>

using namespace Qt::Literals::StringLiterals;

namespace {

// A device that hands out at most a few bytes per read, so that every
// position in the data is a chunk boundary for the reader; it can also fail
// once a given number of bytes has gone out, like a file on a failing disk.
class TrickleDevice : public QIODevice
{
public:
    TrickleDevice(QByteArray data, qint64 bytesPerRead, qint64 failAfter = -1)
        : m_data(std::move(data))
        , m_bytesPerRead(bytesPerRead)
        , m_failAfter(failAfter)
    { }

    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *to, qint64 maxSize) override
    {
        if (m_failAfter >= 0 && m_pos >= m_failAfter)
            return -1;
        qint64 n = std::min({maxSize, m_bytesPerRead, qint64(m_data.size()) - m_pos});
        if (m_failAfter >= 0)
            n = std::min(n, m_failAfter - m_pos);
        std::memcpy(to, m_data.constData() + m_pos, size_t(n));
        m_pos += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_data;
    qint64 m_bytesPerRead;
    qint64 m_failAfter;
    qint64 m_pos = 0;
};

QList<QByteArray> readAllLines(QIODevice *device, bool *error = nullptr)
{
    LineReader reader(device);
    QList<QByteArray> lines;
    QByteArray line;
    while (reader.readLine(line))
        lines.append(line);
    if (error)
        *error = reader.hasError();
    return lines;
}

QList<QByteArray> readAllLines(const QByteArray &data)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    return readAllLines(&buffer);
}

qint64 countAllLines(const QByteArray &data)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    qint64 count = -1;
    if (!LineReader::countLines(&buffer, count))
        return -1;
    return count;
}

// A data line of n bytes as firmware files carry them: "00 01 02 ...".
QByteArray dataLine(int bytes)
{
    QByteArray line;
    for (int i = 0; i < bytes; ++i) {
        if (i > 0)
            line.append(' ');
        line.append(QByteArray::number(i % 256, 16).rightJustified(2, '0').toUpper());
    }
    return line;
}

using TestFiles::writeFile;

// /proc/self/mem opens but its first page cannot be read: a read error that
// still happens for root, who may read any file with any mode bits.
const QString kReadFailsPath = QStringLiteral("/proc/self/mem");

bool readFailsHere()
{
    QFile file(kReadFailsPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    char byte = 0;
    return file.read(&byte, 1) < 0;
}

// srec_cat writing `generated` (its -generate inputs) in `format`; empty
// when it cannot, for the test to say why.
QByteArray written(const QStringList &generated, const QString &format)
{
    QString error;
    const QByteArray text = SRecordReading::srecCat(generated + QStringList{u"-o"_s, u"-"_s, format}, &error);
    if (text.isEmpty())
        qWarning("%s", qPrintable(error));
    return text;
}

} // namespace

class FirmwareTest : public QObject
{
    Q_OBJECT

private slots:
    void prepareLine_data();
    void prepareLine();
    void trimSpaces_data();
    void trimSpaces();
    void isEndLine_data();
    void isEndLine();

    void readLines_data();
    void readLines();
    void crLfAcrossChunkBoundary_data();
    void crLfAcrossChunkBoundary();
    void manyLines_data();
    void manyLines();
    void longLine();
    void readError();

    void loadImage();
    void loadImageMatchesLines();
    void loadErrors();
    void writersImages_data();
    void writersImages();

    void choiceSplitsNameAndDirectory_data();
    void choiceSplitsNameAndDirectory();
    void cancelAfterChoiceRereadsFile();
    void cancelBeforeAnyChoice();
    void newChoiceReplacesOld();
    void unreadableChoice_data();
    void unreadableChoice();
};

void FirmwareTest::prepareLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("prepared");
    QTest::addColumn<bool>("endLine");

    QTest::newRow("four-digit address") << QByteArray("@F000") << QByteArray("@0F000") << false;
    QTest::newRow("address between spaces") << QByteArray("  @F000  ") << QByteArray("@0F000") << false;
    QTest::newRow("five-digit address") << QByteArray("@10000") << QByteArray("@10000") << false;
    QTest::newRow("one-digit address") << QByteArray("@1") << QByteArray("@01") << false;
    QTest::newRow("@ alone") << QByteArray("@") << QByteArray("@0") << false;
    // Surplus leading zeros go: the instrument reads five digits.
    QTest::newRow("six digits, a leading zero") << QByteArray("@0F0000") << QByteArray("@F0000") << false;
    QTest::newRow("six digits, as TI-TXT writers put 10000") << QByteArray("@010000") << QByteArray("@10000") << false;
    QTest::newRow("eight digits") << QByteArray(" @0000F000 ") << QByteArray("@0F000") << false;
    QTest::newRow("six bytes, @ inside") << QByteArray("x@F000") << QByteArray("x@F000") << false;
    QTest::newRow("five bytes, @ inside") << QByteArray("x@F00") << QByteArray("@0@F00") << false;
    QTest::newRow("one byte") << QByteArray("31") << QByteArray("31 FF") << false;
    QTest::newRow("two bytes") << QByteArray("31 40") << QByteArray("31 40") << false;
    QTest::newRow("three bytes") << QByteArray("31 40 00") << QByteArray("31 40 00 FF") << false;
    QTest::newRow("four bytes with spaces around") << QByteArray(" 31 40 00 24 ") << QByteArray("31 40 00 24") << false;
    QTest::newRow("16 bytes") << dataLine(16) << dataLine(16) << false;
    QTest::newRow("15 bytes") << dataLine(15) << dataLine(15) + " FF" << false;
    QTest::newRow("314") << QByteArray("314") << QByteArray("314 FF") << false;
    QTest::newRow("empty") << QByteArray() << QByteArray() << false;
    QTest::newRow("spaces only") << QByteArray("   ") << QByteArray() << false;
    QTest::newRow("one character") << QByteArray("3") << QByteArray("3") << false;
    QTest::newRow("q") << QByteArray("q") << QByteArray("q") << true;
    QTest::newRow("q between spaces") << QByteArray("  q ") << QByteArray("q") << true;
    QTest::newRow("Q") << QByteArray("Q") << QByteArray("Q") << true;
    QTest::newRow("quit") << QByteArray("quit") << QByteArray("quit FF") << false;
    // Tabs are not trimmed, so they count in the length.
    QTest::newRow("tab before q") << QByteArray("\tq") << QByteArray("\tq FF") << false;
    QTest::newRow("tab after two bytes") << QByteArray("31 40\t") << QByteArray("31 40\t FF") << false;
    // Past 32,767 bytes the same rules hold.
    QTest::newRow("20,000 bytes") << dataLine(20000) << dataLine(20000) << false;
    QTest::newRow("20,001 bytes") << dataLine(20001) << dataLine(20001) + " FF" << false;
    const QByteArray longAddress = "@" + QByteArray(40000, 'F');
    QTest::newRow("40,001-byte address") << longAddress << "@0" + longAddress.mid(1) << false;
}

void FirmwareTest::prepareLine()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, prepared);
    QFETCH(bool, endLine);

    const QByteArray result = PrepareLine(line);
    QCOMPARE(result, prepared);
    QCOMPARE(::isEndLine(result), endLine);
}

void FirmwareTest::trimSpaces_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("trimmed");

    QTest::newRow("none") << QByteArray("31 40") << QByteArray("31 40");
    QTest::newRow("both ends") << QByteArray("  31 40   ") << QByteArray("31 40");
    QTest::newRow("inner spaces kept") << QByteArray(" 31  40 ") << QByteArray("31  40");
    QTest::newRow("tabs kept") << QByteArray("\t31\t") << QByteArray("\t31\t");
    QTest::newRow("spaces outside tabs") << QByteArray(" \t 31 \t ") << QByteArray("\t 31 \t");
    QTest::newRow("CR and LF kept") << QByteArray("\r31\n") << QByteArray("\r31\n");
    QTest::newRow("NUL kept") << QByteArray(" \0 ", 3) << QByteArray("\0", 1);
    QTest::newRow("only spaces") << QByteArray("    ") << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void FirmwareTest::trimSpaces()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, trimmed);
    QCOMPARE(::trimSpaces(line), trimmed);
}

void FirmwareTest::isEndLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("endLine");

    QTest::newRow("q") << QByteArray("q") << true;
    QTest::newRow("Q") << QByteArray("Q") << true;
    // The test is on the prepared line: nothing is trimmed here.
    QTest::newRow("q and space") << QByteArray("q ") << false;
    QTest::newRow("qq") << QByteArray("qq") << false;
    QTest::newRow("q and NUL") << QByteArray("q\0", 2) << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("other letter") << QByteArray("x") << false;
}

void FirmwareTest::isEndLine()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, endLine);
    QCOMPARE(::isEndLine(line), endLine);
}

void FirmwareTest::readLines_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QList<QByteArray>>("lines");

    using Lines = QList<QByteArray>;
    QTest::newRow("CR") << QByteArray("@F000\r31 40\rq\r") << Lines{"@F000", "31 40", "q"};
    QTest::newRow("LF") << QByteArray("@F000\n31 40\nq\n") << Lines{"@F000", "31 40", "q"};
    QTest::newRow("CR LF") << QByteArray("@F000\r\n31 40\r\nq\r\n") << Lines{"@F000", "31 40", "q"};
    QTest::newRow("mixed") << QByteArray("a\r\nb\nc\rd\r\n") << Lines{"a", "b", "c", "d"};
    QTest::newRow("last line without ending") << QByteArray("a\r\nq") << Lines{"a", "q"};
    QTest::newRow("one line without ending") << QByteArray("q") << Lines{"q"};
    QTest::newRow("empty file") << QByteArray() << Lines{};
    QTest::newRow("empty lines CR LF") << QByteArray("\r\n\r\n") << Lines{"", ""};
    QTest::newRow("CR CR LF") << QByteArray("a\r\r\nb") << Lines{"a", "", "b"};
    QTest::newRow("CR LF LF") << QByteArray("a\r\n\nb") << Lines{"a", "", "b"};
    QTest::newRow("LF CR is two endings") << QByteArray("a\n\rb") << Lines{"a", "", "b"};
    QTest::newRow("lone CR at the end") << QByteArray("\r") << Lines{""};
    QTest::newRow("lone LF at the end") << QByteArray("\n") << Lines{""};
    QTest::newRow("spaces stay") << QByteArray(" 31 \r\n") << Lines{" 31 "};
    QTest::newRow("NUL and bytes above 127") << QByteArray("\x00\xff\x80 q\r\n\xe9\xc3\x28", 10)
                                             << Lines{QByteArray("\x00\xff\x80 q", 5), QByteArray("\xe9\xc3\x28", 3)};
}

void FirmwareTest::readLines()
{
    QFETCH(QByteArray, data);
    QFETCH(QList<QByteArray>, lines);

    QCOMPARE(readAllLines(data), lines);
    QCOMPARE(countAllLines(data), qint64(lines.size()));

    // The same from a device that hands out one and then two bytes at a
    // time, so that each ending meets a chunk boundary somewhere.
    for (const qint64 bytesPerRead : {1, 2}) {
        TrickleDevice trickle(data, bytesPerRead);
        QVERIFY(trickle.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        QCOMPARE(readAllLines(&trickle), lines);

        TrickleDevice counted(data, bytesPerRead);
        QVERIFY(counted.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        qint64 count = -1;
        QVERIFY(LineReader::countLines(&counted, count));
        QCOMPARE(count, qint64(lines.size()));
    }
}

void FirmwareTest::crLfAcrossChunkBoundary_data()
{
    QTest::addColumn<qsizetype>("crAt");
    QTest::addColumn<QByteArray>("afterCr");
    QTest::addColumn<int>("lineCount");

    const qsizetype chunk = LineReader::kChunkSize;
    QTest::newRow("CR last in chunk, LF first in next") << chunk - 1 << QByteArray("\nB\r\n") << 2;
    QTest::newRow("CR last in second chunk") << 2 * chunk - 1 << QByteArray("\nB\r\n") << 2;
    QTest::newRow("CR last in chunk, line next") << chunk - 1 << QByteArray("B\r\n") << 2;
    QTest::newRow("CR last in chunk, empty line next") << chunk - 1 << QByteArray("\r\nB") << 3;
    QTest::newRow("CR LF last in chunk") << chunk - 2 << QByteArray("\nB") << 2;
    QTest::newRow("CR last in file, exactly one chunk") << chunk - 1 << QByteArray() << 1;
}

void FirmwareTest::crLfAcrossChunkBoundary()
{
    QFETCH(qsizetype, crAt);
    QFETCH(QByteArray, afterCr);
    QFETCH(int, lineCount);

    const QByteArray first(crAt, 'A');
    const QByteArray data = first + '\r' + afterCr;
    const QList<QByteArray> lines = readAllLines(data);
    QCOMPARE(lines.size(), lineCount);
    QCOMPARE(lines.first(), first);
    if (lineCount > 1)
        QCOMPARE(lines.last(), QByteArray("B"));
    QCOMPARE(countAllLines(data), qint64(lineCount));
}

void FirmwareTest::manyLines_data()
{
    QTest::addColumn<int>("lineCount");
    QTest::addColumn<QByteArray>("ending");

    // Beyond what a signed and an unsigned 16-bit counter hold.
    QTest::newRow("40,000 CR LF") << 40000 << QByteArray("\r\n");
    QTest::newRow("40,000 LF") << 40000 << QByteArray("\n");
    QTest::newRow("70,000 CR") << 70000 << QByteArray("\r");
}

void FirmwareTest::manyLines()
{
    QFETCH(int, lineCount);
    QFETCH(QByteArray, ending);

    const QByteArray line = "31 40 00" + ending;
    const QByteArray data = line.repeated(lineCount);

    QCOMPARE(countAllLines(data), qint64(lineCount));
    const QList<QByteArray> lines = readAllLines(data);
    QCOMPARE(lines.size(), lineCount);
    QVERIFY(std::all_of(lines.cbegin(), lines.cend(), [](const QByteArray &l) { return l == "31 40 00"; }));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("many.txt"));
    QVERIFY(writeFile(path, data));
    FileChoice choice;
    QCOMPARE(choice.take(path), FileChoice::Outcome::Chosen);
    QCOMPARE(choice.lineCount(), qint64(lineCount));
}

void FirmwareTest::longLine()
{
    // One line over one chunk and over 32,767 bytes, between two others.
    const QByteArray longData = dataLine(33334); // 100,001 bytes, an even count of bytes
    QCOMPARE(longData.size(), 100001);
    const QByteArray longOdd = dataLine(33333) + " 4"; // 100,000 bytes, odd count
    QCOMPARE(longOdd.size(), 100000);
    const QByteArray data = "@F000\r\n" + longData + "\r\n" + longOdd + "\r\nq";

    const QList<QByteArray> lines = readAllLines(data);
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(1), longData);
    QCOMPARE(lines.at(2), longOdd);
    QCOMPARE(countAllLines(data), qint64(4));

    // Kept to a limit, as an image is read: each line is its start, however
    // many chunks it spans, and its whole length is still told.
    constexpr qsizetype kLimit = 256;
    QBuffer buffer;
    buffer.setData(data);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    LineReader limited(&buffer);
    limited.setLineLimit(kLimit);
    QByteArray line;
    for (const QByteArray &whole : lines) {
        QVERIFY(limited.readLine(line));
        QCOMPARE(line, whole.left(kLimit));
        QCOMPARE(limited.lineLength(), qint64(whole.size()));
    }
    QVERIFY(!limited.readLine(line));
}

void FirmwareTest::readError()
{
    const QByteArray data = QByteArray("31 40\r\n").repeated(100);
    // Fails in the middle of a line, after 30 whole lines.
    const qint64 failAfter = 7 * 30 + 3;

    TrickleDevice reading(data, 16, failAfter);
    QVERIFY(reading.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    bool error = false;
    const QList<QByteArray> lines = readAllLines(&reading, &error);
    QVERIFY(error);
    // The cut line is not handed out as if it were whole.
    QCOMPARE(lines.size(), 30);

    TrickleDevice counting(data, 16, failAfter);
    QVERIFY(counting.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    qint64 count = 0;
    QVERIFY(!LineReader::countLines(&counting, count));
}

void FirmwareTest::loadImage()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("main.txt"));
    // The line after the end line is counted, but neither sent nor kept.
    QVERIFY(writeFile(path, "@F000\r\n31 40 00 24\r\n  31 40 00\n@10000\r\n\r\nq\r\nBuilt by CI\r\n"));

    ImageProblem problem;
    problem.kind = ImageProblem::Kind::CannotOpen;
    const FirmwareImage image = FirmwareImage::load(path, &problem);
    QCOMPARE(problem.kind, ImageProblem::Kind::None);
    const QList<QByteArray> expected{"@0F000", "31 40 00 24", "31 40 00 FF", "@10000", "", "q"};
    QCOMPARE(image.summary().linesInFile, qint64(expected.size() + 1));
    QCOMPARE(image.lineCount(), expected.size());
    QVERIFY(!image.isEmpty());
    qsizetype bytes = 0;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        QCOMPARE(image.line(i), QByteArrayView(expected.at(i)));
        bytes += expected.at(i).size();
    }
    QCOMPARE(image.byteCount(), bytes);
    QVERIFY(image.line(expected.size()).isEmpty());
    QVERIFY(image.line(-1).isEmpty());
}

void FirmwareTest::loadImageMatchesLines()
{
    const QList<QByteArray> raw{"@F000", " 31 40 00 24 ", "31", "", "Q"};
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("main.txt"));
    QVERIFY(writeFile(path, raw.join("\r\n")));

    const FirmwareImage loaded = FirmwareImage::load(path);
    const FirmwareImage built = FirmwareImage::fromLines(raw);
    QCOMPARE(loaded.lineCount(), raw.size());
    QCOMPARE(built.lineCount(), raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        QCOMPARE(loaded.line(i), built.line(i));
        QCOMPARE(built.line(i), QByteArrayView(PrepareLine(raw.at(i))));
    }
}

void FirmwareTest::loadErrors()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ImageProblem problem;

    FirmwareImage image = FirmwareImage::load(dir.filePath(QStringLiteral("missing.txt")), &problem);
    QCOMPARE(problem.kind, ImageProblem::Kind::Missing);
    QVERIFY(image.isEmpty());

    image = FirmwareImage::load(dir.path(), &problem);
    QCOMPARE(problem.kind, ImageProblem::Kind::NotRegular);
    QVERIFY(image.isEmpty());

    if (!readFailsHere())
        QSKIP("no file here that opens but cannot be read");
    image = FirmwareImage::load(kReadFailsPath, &problem);
    QCOMPARE(problem.kind, ImageProblem::Kind::CannotRead);
    QVERIFY(image.isEmpty());
}

void FirmwareTest::writersImages_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("format"); // srec_cat's name for it, to read it with
    QTest::addColumn<bool>("endRecord");

    const QString text = u"-Texas_Instruments_TeXT"_s;
    const QString intel = u"-Intel"_s;
    const QString motorola = u"-Motorola"_s;
    // 32 bytes across 64 KiB, and 64 across 192 KiB ("@02FFE0" in TI-TXT).
    const QStringList acrossBoundaries{
        u"-generate"_s, u"0xFFF0"_s,  u"0x10010"_s, u"-repeat-data"_s, u"1"_s, u"2"_s, u"3"_s,
        u"-generate"_s, u"0x2FFE0"_s, u"0x30020"_s, u"-repeat-data"_s, u"4"_s, u"5"_s, u"6"_s,
        u"7"_s};
    const QStringList acrossFirst = acrossBoundaries.first(7);
    const QStringList startAddress{u"-execution-start-address=0xFFF0"_s};

    QTest::newRow("TI-TXT by srec_cat, above 64 KiB") << written(acrossBoundaries, text) << text << true;
    QTest::newRow("TI-TXT, eight-digit addresses")
        << QByteArray("@0000F000\n31 40 00 24\n@00010000\n01 02\n@000FFFFE\nA5 5A\nq\n") << text << true;
    // srec_cat writes a record that runs on across 64 KiB after an 04.
    QTest::newRow("Intel HEX by srec_cat, a record across 64 KiB after an 04")
        << written(acrossBoundaries, intel) << intel << true;
    // Without its 04 0000 (the first record), the file says the same.
    QByteArray noExtended = written(acrossFirst, intel);
    QTest::newRow("Intel HEX, a record across 64 KiB with no extended address")
        << noExtended.mid(noExtended.indexOf('\n') + 1) << intel << true;
    // Segment 1000: FFF0 + 32 bytes wraps to 10000; then upper 0002: FFF0 + 32 runs on to 30000.
    QTest::newRow("Intel HEX, an 02 wraps in its segment, an 04 after it runs on")
        << QByteArray(":020000021000EC\n"
                      ":20FFF0000102030102030102030102030102030102030102030102030102030102030102B2\n"
                      ":020000040002F8\n"
                      ":20FFF000040506070405060704050607040506070405060704050607040506070405060741\n"
                      ":00000001FF\n")
        << intel << true;
    // Cut after its last data record: its count and end records lost.
    QByteArray cut = written(acrossBoundaries + startAddress, motorola);
    cut.truncate(cut.lastIndexOf("\nS5") + 1);
    QTest::newRow("S-record by srec_cat, cut at a record's end") << cut << motorola << false;
}

// Images as their writers make them are sent so that the instrument stores
// what srec_cat, an independent reader, reads in them.
void FirmwareTest::writersImages()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, format);
    QFETCH(bool, endRecord);
    QVERIFY2(!content.isEmpty(), "srec_cat wrote no image: see the warning above");

    QBuffer buffer(&content);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    ImageProblem found;
    const FirmwareImage image = FirmwareImage::read(&buffer, content.size(), &found);
    if (found.refused())
        qWarning("%s", qPrintable(found.describe(u"image"_s)));
    QCOMPARE(found.kind, ImageProblem::Kind::None);
    QCOMPARE(image.summary().endRecord, endRecord);
    QCOMPARE(image.summary().endRecordWarning().isEmpty(), endRecord);

    MemoryImage instrument;
    for (qsizetype i = 0; i < image.lineCount(); ++i)
        instrument.addLine(image.line(i).toStdString());
    QCOMPARE(instrument.malformedLines(), 0u);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(u"image"_s);
    QVERIFY(writeFile(path, content));
    QString error;
    const SRecordReading::Bytes expected = SRecordReading::srecCatReading(path, format, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY(!expected.empty());
    QCOMPARE(SRecordReading::dump(SRecordReading::storedBytes(instrument)), SRecordReading::dump(expected));
}

void FirmwareTest::choiceSplitsNameAndDirectory_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("lineCount");

    QTest::newRow("CR LF, ending last") << QByteArray("@F000\r\n31 40\r\nq\r\n") << qint64(3);
    QTest::newRow("last line without ending") << QByteArray("@F000\r\n31 40\r\nq") << qint64(3);
    QTest::newRow("LF") << QByteArray("@F000\n31 40\nq\n") << qint64(3);
    QTest::newRow("empty file") << QByteArray() << qint64(0);
}

void FirmwareTest::choiceSplitsNameAndDirectory()
{
    QFETCH(QByteArray, content);
    QFETCH(qint64, lineCount);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString nested = dir.filePath(QStringLiteral("fw/v2.1"));
    QVERIFY(QDir().mkpath(nested));
    const QString path = nested + QStringLiteral("/main.txt");
    QVERIFY(writeFile(path, content));

    FileChoice choice;
    QCOMPARE(choice.take(path), FileChoice::Outcome::Chosen);
    QCOMPARE(choice.namePart(), QStringLiteral("main.txt"));
    QCOMPARE(choice.directory(), QDir::toNativeSeparators(nested + QLatin1Char('/')));
    QCOMPARE(choice.fullName(), QDir::toNativeSeparators(path));
    QCOMPARE(choice.directory() + choice.namePart(), choice.fullName());
    QCOMPARE(choice.lineCount(), lineCount);
}

void FirmwareTest::cancelAfterChoiceRereadsFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("main.txt"));
    QVERIFY(writeFile(path, "@F000\r\nq\r\n"));

    FileChoice choice;
    QCOMPARE(choice.take(path), FileChoice::Outcome::Chosen);
    QCOMPARE(choice.lineCount(), qint64(2));

    // The file grows between the choice and the cancelled dialog.
    QVERIFY(writeFile(path, "@F000\r\n31 40\r\n31 40\r\nq\r\n"));
    QCOMPARE(choice.take(QString()), FileChoice::Outcome::Chosen);
    QCOMPARE(choice.fullName(), QDir::toNativeSeparators(path));
    QCOMPARE(choice.namePart(), QStringLiteral("main.txt"));
    QCOMPARE(choice.directory(), QDir::toNativeSeparators(dir.path() + QLatin1Char('/')));
    QCOMPARE(choice.lineCount(), qint64(4));
}

void FirmwareTest::cancelBeforeAnyChoice()
{
    FileChoice choice;
    QCOMPARE(choice.take(QString()), FileChoice::Outcome::NoFile);
    QVERIFY(choice.fullName().isEmpty());
    QVERIFY(choice.namePart().isEmpty());
    QVERIFY(choice.directory().isEmpty());
    QCOMPARE(choice.lineCount(), qint64(0));
    // And again: a cancel does not invent a choice.
    QCOMPARE(choice.take(QString()), FileChoice::Outcome::NoFile);
}

void FirmwareTest::newChoiceReplacesOld()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString first = dir.filePath(QStringLiteral("a/first.txt"));
    const QString second = dir.filePath(QStringLiteral("second.TXT"));
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("a"))));
    QVERIFY(writeFile(first, "1\r\n2\r\n3\r\n"));
    QVERIFY(writeFile(second, "q"));

    FileChoice choice;
    QCOMPARE(choice.take(first), FileChoice::Outcome::Chosen);
    QCOMPARE(choice.take(second), FileChoice::Outcome::Chosen);
    QCOMPARE(choice.namePart(), QStringLiteral("second.TXT"));
    QCOMPARE(choice.directory(), QDir::toNativeSeparators(dir.path() + QLatin1Char('/')));
    QCOMPARE(choice.lineCount(), qint64(1));
    // A cancel now takes the second file, not the first.
    QCOMPARE(choice.take(QString()), FileChoice::Outcome::Chosen);
    QCOMPARE(choice.namePart(), QStringLiteral("second.TXT"));
}

void FirmwareTest::unreadableChoice_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("file vanished before a cancel") << QStringLiteral("vanished");
    QTest::newRow("directory chosen") << QStringLiteral("directory");
    QTest::newRow("read fails") << QStringLiteral("readFails");
}

void FirmwareTest::unreadableChoice()
{
    QFETCH(QString, how);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    FileChoice choice;
    QString chosen;
    FileChoice::Outcome outcome = FileChoice::Outcome::Chosen;
    if (how == QLatin1String("vanished")) {
        chosen = dir.filePath(QStringLiteral("main.txt"));
        QVERIFY(writeFile(chosen, "@F000\r\nq\r\n"));
        QCOMPARE(choice.take(chosen), FileChoice::Outcome::Chosen);
        QCOMPARE(choice.lineCount(), qint64(2));
        QVERIFY(QFile::remove(chosen));
        outcome = choice.take(QString());
    } else if (how == QLatin1String("directory")) {
        chosen = dir.filePath(QStringLiteral("looks.txt"));
        QVERIFY(QDir().mkpath(chosen));
        outcome = choice.take(chosen);
    } else {
        if (!readFailsHere())
            QSKIP("no file here that opens but cannot be read");
        chosen = kReadFailsPath;
        outcome = choice.take(chosen);
    }

    QCOMPARE(outcome, FileChoice::Outcome::Unreadable);
    QCOMPARE(choice.fullName(), QDir::toNativeSeparators(chosen));
    const QFileInfo info(chosen);
    QCOMPARE(choice.namePart(), info.fileName());
    QCOMPARE(choice.directory(), QDir::toNativeSeparators(info.path() + QLatin1Char('/')));
    QCOMPARE(choice.lineCount(), qint64(0));
}

WEXEL_REGISTER_TEST(FirmwareTest)

#include "tst_firmware.moc"
