// The check before the erase as each front end uses it, against the
// simulated instrument: a file the core refuses is refused with its reason by
// the desktop program, by an update from the command line and by --check,
// with nothing sent and nothing blocking; an image it takes lands where the
// core says, in any format. Each rule of a file is tested where it is
// decided, over files in memory (ImageRulesTest).
#include "clitestsupport.h"
#include "matrixsupport.h"
#include "recordingpresenter.h"
#include "testfiles.h"
#include "testregistry.h"
#include "testtimings.h"

#include "desktop/panels/set_form.h"
#include "desktop/panels/portlist.h"
#include "desktop/panels/main_form.h"
#include "desktop/main_mdi.h"
#include "sim/memoryimage.h"
#include "eventwait.h"
#include "srecordreading.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace CliTestSupport;
using namespace MatrixSupport;
using namespace Qt::Literals::StringLiterals;

namespace {

const QStringList kFastTimings = fastCliTimings(2000);
const QByteArray kByteOrderMark = "\xEF\xBB\xBF";

enum class Make { File, Pipe };

// Writers of record files, apart from the tool's readers: the sum of an
// Intel HEX record's bytes and checksum is 0, an S-record's checksum is the
// ones' complement of the sum of the bytes after the type.
QByteArray intelRecord(quint8 type, quint16 offset, const QByteArray &data)
{
    return TestFiles::intelHexRecord(type, offset, data) + '\n';
}

QByteArray sRecord(int type, quint32 address, const QByteArray &data)
{
    return TestFiles::sRecordOf(type, address, data) + '\n';
}

// The image of the table of record files, in the order its files write it:
// a reset vector; 40 bytes in records of 16, 8 and 16 bytes, the middle one
// last; an odd block of 5 bytes. Below 10000, so that S1 holds it too.
struct Chunk
{
    quint32 address;
    QByteArray bytes;
};
const QList<Chunk> kChunks = {
    {0xFFFE, QByteArray::fromHex("00F0")},
    {0xF000, QByteArray::fromHex("3140002440B2805A2001414243444546")},
    {0xF020, QByteArray::fromHex("0102030405060708")},
    {0xE000, QByteArray::fromHex("A1B2C3D4E5")},
    {0xF010, QByteArray::fromHex("F0E1D2C3B4A5968778695A4B3C2D1E0F")},
};
// The same bytes as the text image the tool sends for them: an address line
// a block, 16 bytes a line from its start.
const QByteArray kChunksAsText = "@E000\nA1 B2 C3 D4 E5\n"
                                 "@F000\n31 40 00 24 40 B2 80 5A 20 01 41 42 43 44 45 46\n"
                                 "F0 E1 D2 C3 B4 A5 96 87 78 69 5A 4B 3C 2D 1E 0F\n01 02 03 04 05 06 07 08\n"
                                 "@FFFE\n00 F0\nq\n";

// With extended segment addresses (02), a segment a block; or with an
// extended linear address (04), CR LF line ends and blank lines.
QByteArray intelHex(quint8 addressType)
{
    QByteArray file;
    const bool segments = addressType == 0x02;
    quint32 base = 0;
    for (const Chunk &chunk : kChunks) {
        if (segments && (chunk.address & 0xF000) != base) {
            base = chunk.address & 0xF000;
            file += intelRecord(0x02, 0, QByteArray::fromHex(QByteArray::number(base >> 4, 16).rightJustified(4, '0')));
        } else if (!segments && file.isEmpty()) {
            file += intelRecord(0x04, 0, QByteArray::fromHex("0000"));
        }
        file += intelRecord(0x00, quint16(chunk.address - base), chunk.bytes);
    }
    // A start address, segment:offset or linear: accepted, not sent.
    file += segments ? intelRecord(0x03, 0, QByteArray::fromHex("0F000000"))
                     : intelRecord(0x05, 0, QByteArray::fromHex("0000F000"));
    file += intelRecord(0x01, 0, {});
    if (segments)
        return file;
    return "\n" + file.replace("\n", "\r\n") + "\r\n  \r\n";
}

// S1, S2 or S3 data, with a header, the count of data records, and the end
// record of the same address size.
QByteArray sRecords(int dataType)
{
    QByteArray file = sRecord(0, 0, "wexel test image");
    for (const Chunk &chunk : kChunks)
        file += sRecord(dataType, chunk.address, chunk.bytes);
    file += sRecord(5, quint32(kChunks.size()), {});
    return file + sRecord(10 - dataType, 0xF000, {});
}

// The ranges an instrument keeps of the lines, as the simulator writes them.
QJsonArray rangesOf(const MemoryImage &image)
{
    QJsonArray ranges;
    for (const MemoryImage::Range &r : image.ranges())
        ranges.append(QString::fromStdString(MemoryImage::formatRange(r)));
    return ranges;
}

} // namespace

class ImageGateTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString make(Make how, const QByteArray &content, const QString &suffix = u".txt"_s)
    {
        const QString path = m_dir.filePath(u"fw-%1%2"_s.arg(++m_files).arg(suffix));
        const QByteArray native = QFile::encodeName(path);
        switch (how) {
        case Make::Pipe:
            return ::mkfifo(native.constData(), 0600) == 0 ? path : QString();
        case Make::File:
            break;
        }
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size() ? path : QString();
    }

    // The desktop program's whole way: the file chosen, the port typed, the
    // upload pressed. Returns the causes shown with its message; *states
    // gets the states the update went through.
    QStringList runDesktop(const QString &file, const QString &port, const QString &message,
                           QList<UpdateSequence::State> *states = nullptr)
    {
        RecordingPresenter messages;
        Main_MDI frame(&messages, fastTimings());
        if (states)
            connect(frame.mainForm()->update(), &UpdateSequence::stateChanged, this,
                    [states](UpdateSequence::State state) { *states << state; });
        frame.mainForm()->chooseFile(file);
        frame.setForm()->COM_PORT_LIST->setEditText(port);
        // A pipe or a device is unreadable to the choice, which then leaves
        // the button as it was; the update's own check is what is tested here.
        frame.mainForm()->Doownload_BUTT->setEnabled(true);
        frame.mainForm()->Doownload_BUTT->click();
        if (!EventWait::until([&] { return !messages.messages.isEmpty(); }, kProcessTimeoutMs))
            return {u"no message"_s};
        if (messages.messages.first().prompt != message)
            return {u"message: "_s + messages.messages.first().prompt};
        return messages.details.first();
    }

    // Refused before "KILL" through both front ends and by --check: the
    // instrument hears nothing, the technician reads why, and nothing
    // blocks: the refusal comes straight from reading the file, before the
    // erase and its waits. `problem`, if given, is --check's name for it.
    void expectRefused(const QString &file, const QString &reason, const QString &problem)
    {
        Simulator desktopSim;
        QVERIFY(desktopSim.start());
        QList<UpdateSequence::State> states;
        const QStringList causes = runDesktop(file, desktopSim.device(), u"Code Downloading is error."_s, &states);
        QVERIFY2(causes.join(u'\n').contains(reason), qPrintable(causes.join(u'\n')));
        QVERIFY(causes.contains(u"the instrument was not touched"_s));
        QCOMPARE(states, QList<UpdateSequence::State>({UpdateSequence::State::Loading, UpdateSequence::State::Ready}));

        Simulator cliSim;
        QVERIFY(cliSim.start());
        Result r;
        QVERIFY(runCli(kFastTimings + QStringList{u"--port"_s, cliSim.device(), file}, &r));
        QCOMPARE(r.exitCode, 3);
        QVERIFY2(r.err.startsWith("Code Downloading is error.\n"), r.err.constData());
        QVERIFY2(QString::fromLocal8Bit(r.err).contains(reason), r.err.constData());
        Result check;
        QVERIFY(runCli({u"--json"_s, u"--check"_s, file}, &check));
        QCOMPARE(check.exitCode, 3);
        QVERIFY2(QString::fromLocal8Bit(check.err).contains(reason), check.err.constData());
        const QJsonObject event = QJsonDocument::fromJson(check.out).object();
        QCOMPARE(event.value(u"ok"_s).toBool(true), false);
        if (!problem.isEmpty())
            QCOMPARE(event.value(u"problem"_s).toString(), problem);

        for (Simulator *sim : {&desktopSim, &cliSim}) {
            const QJsonObject summary = sim->summary();
            QVERIFY(!summary.isEmpty());
            QCOMPARE(summary.value(u"erase_count"_s).toInt(), 0);
            QCOMPARE(summary.value(u"lines_received"_s).toInt(), 0);
            QCOMPARE(summary.value(u"other_commands"_s).toInt(), 0);
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(QFileInfo(cliPath()).isExecutable(), qPrintable(cliPath()));
    }

    void refused_data()
    {
        QTest::addColumn<int>("how");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("problem"); // --check's name for it

        // Opened without care, a pipe with no writer would hold the front end for good.
        QTest::newRow("pipe with no writer")
            << int(Make::Pipe) << QByteArray() << u".txt"_s << u"is a named pipe"_s << u"not-regular"_s;
        QTest::newRow("a tab before an address")
            << int(Make::File) << QByteArray("@F000\n31 40\n\t@10000\n31 40\nq\n") << u".txt"_s
            << u"line 3: a tab at position 1; the instrument takes spaces only: \"\\x09@10000\""_s << u"tab-in-line"_s;
        QTest::newRow("Intel HEX: a bad checksum")
            << int(Make::File) << ":02F00000010200\n" + intelRecord(0x01, 0, {}) << u".hex"_s
            << u"line 1: checksum 00 where the record's bytes make 0B: the record is damaged"_s << u"bad-checksum"_s;
    }

    // A file the core refuses, by its type, by a line of text or by a
    // record: every front end tells why, at once, and sends nothing.
    void refused()
    {
        QFETCH(int, how);
        QFETCH(QByteArray, content);
        QFETCH(QString, suffix);
        QFETCH(QString, reason);
        QFETCH(QString, problem);
        const QString file = make(Make(how), content, suffix);
        QVERIFY(!file.isEmpty());
        expectRefused(file, reason, problem);
    }

    void validImages_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("CR, LF and CR LF mixed") << QByteArray("@F000\r31 40\n32 41\r\n@10000\n33 42\rq\r\n");
        // Saved by a Windows editor: the mark is no part of the first line.
        QTest::newRow("byte-order mark at the start") << kByteOrderMark + "@F000\r\n31 40 00 24\r\nq\r\n";
    }

    // Odd but valid images go through both front ends and land at their
    // own addresses; --check names the same ranges.
    void validImages()
    {
        QFETCH(QByteArray, content);
        const QString file = make(Make::File, content);
        QVERIFY(!file.isEmpty());
        const QByteArray text = content.startsWith(kByteOrderMark) ? content.mid(3) : content;
        const QByteArrayList sent = sentLines(text);
        MemoryImage expected;
        for (const QByteArray &line : sent)
            expected.addLine(line.toStdString());
        // The instrument takes every line of an image the tool lets through.
        QCOMPARE(expected.malformedLines(), 0u);
        const QJsonArray ranges = rangesOf(expected);

        Simulator desktopSim;
        QVERIFY(desktopSim.start());
        const QStringList causes = runDesktop(file, desktopSim.device(), u"Update OK"_s);
        QVERIFY2(causes.join(u'\n').contains(u"answered the end line"_s), qPrintable(causes.join(u'\n')));

        Simulator cliSim;
        QVERIFY(cliSim.start());
        Result r;
        QVERIFY(runCli(kFastTimings + QStringList{u"--quiet"_s, u"--port"_s, cliSim.device(), file}, &r));
        QVERIFY2(r.exitCode == 0, r.err.constData());

        for (Simulator *sim : {&desktopSim, &cliSim}) {
            const QJsonObject summary = sim->summary();
            QCOMPARE(summary.value(u"lines_received"_s).toInt(), sent.size());
            QCOMPARE(summary.value(u"malformed_lines"_s).toInteger(), qint64(expected.malformedLines()));
            QCOMPARE(summary.value(u"address_ranges"_s).toArray(), ranges);
        }

        Result check;
        QVERIFY(runCli({u"--json"_s, u"--check"_s, file}, &check));
        QCOMPARE(check.exitCode, 0);
        const QJsonObject event = QJsonDocument::fromJson(check.out).object();
        QCOMPARE(event.value(u"address_ranges"_s).toArray(), ranges);
        QCOMPARE(event.value(u"data_bytes"_s).toInteger(), qint64(expected.dataBytes()));
        QCOMPARE(event.value(u"lines_to_send"_s).toInt(), sent.size());
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(event.value(u"sha256"_s).toString(),
                 QString::fromLatin1(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex()));
    }

    void recordImages_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("format");

        QTest::newRow("S-record, S3") << sRecords(3) << u".s37"_s << u"s-record"_s;
        // Told by the content, never by the name.
        QTest::newRow("Intel HEX named .txt") << intelHex(0x04) << u".txt"_s << u"intel-hex"_s;
        QTest::newRow("text named .hex") << kChunksAsText << u".hex"_s << u"text"_s;
    }

    // The same bytes in any format land alike through both front ends, and
    // --check --output writes the text image that lands so too; the record
    // names the format.
    void recordImages()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, suffix);
        QFETCH(QString, format);
        const QString file = make(Make::File, content, suffix);
        QVERIFY(!file.isEmpty());
        const QByteArrayList sent = sentLines(kChunksAsText);
        const QByteArray sentText = sent.join('\n') + '\n';
        MemoryImage expected;
        for (const QByteArray &line : sent)
            expected.addLine(line.toStdString());
        QCOMPARE(expected.malformedLines(), 0u);

        const QString output = m_dir.filePath(u"sent-%1.txt"_s.arg(++m_files));
        Result check;
        QVERIFY(runCli({u"--json"_s, u"--check"_s, file, u"--output"_s, output}, &check));
        QVERIFY2(check.exitCode == 0, check.err.constData());
        const QJsonObject event = QJsonDocument::fromJson(check.out).object();
        QCOMPARE(event.value(u"image_format"_s).toString(), format);
        QCOMPARE(event.value(u"address_ranges"_s).toArray(), rangesOf(expected));
        QCOMPARE(event.value(u"sent_sha256"_s).toString(),
                 QString::fromLatin1(QCryptographicHash::hash(sentText, QCryptographicHash::Sha256).toHex()));
        QFile out(output);
        QVERIFY(out.open(QIODevice::ReadOnly));
        QCOMPARE(out.readAll(), sentText);

        Simulator desktopSim;
        QVERIFY(desktopSim.start());
        const QStringList causes = runDesktop(file, desktopSim.device(), u"Update OK"_s);
        QVERIFY2(causes.join(u'\n').contains(u"answered the end line"_s), qPrintable(causes.join(u'\n')));
        Simulator cliSim;
        QVERIFY(cliSim.start());
        const QString record = m_dir.filePath(u"record-%1.jsonl"_s.arg(++m_files));
        Result r;
        QVERIFY(
            runCli(kFastTimings + QStringList{u"--quiet"_s, u"--record"_s, record, u"--port"_s, cliSim.device(), file},
                   &r));
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QFile recordFile(record);
        QVERIFY(recordFile.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(recordFile.readAll()).object().value(u"image_format"_s).toString(), format);
        Simulator outputSim;
        QVERIFY(outputSim.start());
        QVERIFY(runCli(kFastTimings + QStringList{u"--quiet"_s, u"--port"_s, outputSim.device(), output}, &r));
        QVERIFY2(r.exitCode == 0, r.err.constData());

        for (Simulator *sim : {&desktopSim, &cliSim, &outputSim}) {
            const QJsonObject summary = sim->summary();
            QCOMPARE(summary.value(u"lines_received"_s).toInt(), sent.size());
            QCOMPARE(summary.value(u"malformed_lines"_s).toInt(), 0);
            QCOMPARE(summary.value(u"address_ranges"_s).toArray(), rangesOf(expected));
            QCOMPARE(summary.value(u"checksum"_s).toString(), checksumText(expected.checksum()));
        }
    }

    void writersImages_data()
    {
        QTest::addColumn<QStringList>("writer"); // srec_cat's arguments
        QTest::addColumn<QString>("format");
        QTest::addColumn<bool>("cut"); // cut after its last data record

        const QStringList generated{u"-generate"_s, u"0x1FFF0"_s, u"0x20010"_s, u"-repeat-data"_s,
                                    u"1"_s,         u"2"_s,       u"3"_s,       u"-execution-start-address=0x1FFF0"_s};
        QTest::newRow("S-record cut short") << generated << u"-Motorola"_s << true;
    }

    // Files as srec_cat writes them, sent by the command line: the
    // simulator ends with what srec_cat reads in them; a cut S-record file
    // is sent with the warning in every place a missing end line is told.
    void writersImages()
    {
        QFETCH(QStringList, writer);
        QFETCH(QString, format);
        QFETCH(bool, cut);
        QString error;
        QByteArray content = SRecordReading::srecCat(writer + QStringList{u"-o"_s, u"-"_s, format}, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        if (cut)
            content.truncate(content.lastIndexOf("\nS5") + 1);
        const QString file = make(Make::File, content);
        QVERIFY(!file.isEmpty());
        const SRecordReading::Bytes expected = SRecordReading::srecCatReading(file, format, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        MemoryImage stored;
        for (const auto &[address, value] : expected) {
            stored.addLine(u"@%1"_s.arg(address, 5, 16, QChar(u'0')).toStdString());
            stored.addLine(u"%1"_s.arg(value, 2, 16, QChar(u'0')).toStdString());
        }

        Simulator sim;
        QVERIFY(sim.start());
        const QString record = m_dir.filePath(u"record-%1.jsonl"_s.arg(++m_files));
        Result r;
        QVERIFY(runCli(kFastTimings + QStringList{u"--quiet"_s, u"--record"_s, record, u"--port"_s, sim.device(), file},
                       &r));
        QVERIFY2(r.exitCode == 0, r.err.constData());
        const QJsonObject summary = sim.summary();
        QCOMPARE(summary.value(u"malformed_lines"_s).toInt(), 0);
        QCOMPARE(summary.value(u"address_ranges"_s).toArray(), rangesOf(stored));
        QCOMPARE(summary.value(u"checksum"_s).toString(), checksumText(stored.checksum()));

        const QString warning = u"no end record (S7, S8 or S9)"_s;
        QCOMPARE(QString::fromLocal8Bit(r.err).contains(u"warning: "_s + file), cut);
        QCOMPARE(QString::fromLocal8Bit(r.err).contains(warning), cut);
        // The outcome's causes, as the desktop program shows them, and the record.
        QFile recordFile(record);
        QVERIFY(recordFile.open(QIODevice::ReadOnly));
        const QJsonObject entry = QJsonDocument::fromJson(recordFile.readAll()).object();
        QCOMPARE(entry.value(u"cause"_s).toString().contains(warning), cut);
        Result check;
        QVERIFY(runCli({u"--json"_s, u"--check"_s, file}, &check));
        QCOMPARE(check.exitCode, 0);
        const QJsonObject event = QJsonDocument::fromJson(check.out).object();
        QCOMPARE(event.value(u"warning"_s).toString().contains(warning), cut);
    }

private:
    int m_files = 0;
};

WEXEL_REGISTER_TEST(ImageGateTest)

#include "tst_gate.moc"
