// The check before the erase, through both front ends against the simulated
// instrument: files that are no firmware image, and lines the instrument
// would drop or misplace, are refused with nothing sent, at once, with their
// reason; odd but valid images still go through and land where they belong;
// --check says the same as an update would.
#include "clitestsupport.h"
#include "matrixsupport.h"
#include "recordingpresenter.h"
#include "testregistry.h"
#include "testtimings.h"

#include "desktop/panels/set_form.h"
#include "desktop/panels/portlist.h"
#include "desktop/panels/main_form.h"
#include "desktop/main_mdi.h"
#include "sim/memoryimage.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
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
// What "at once" means for a refusal in the desktop program, where nothing
// but the check stands between the click and the message.
constexpr qint64 kRefusedWithinMs = 1000;

enum class Make { File, DeviceLink, Pipe, Sparse, Large };

// A data line of n bytes: "00 01 02 ...".
QByteArray bytesLine(int n)
{
    QByteArrayList bytes;
    for (int i = 0; i < n; ++i)
        bytes += QByteArray::number(i % 256, 16).rightJustified(2, '0').toUpper();
    return bytes.join(' ');
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

    QString make(Make how, const QByteArray &content)
    {
        const QString path = m_dir.filePath(u"fw-%1.txt"_s.arg(++m_files));
        const QByteArray native = QFile::encodeName(path);
        switch (how) {
        case Make::DeviceLink:
            return QFile::link(u"/dev/zero"_s, path) ? path : QString();
        case Make::Pipe:
            return ::mkfifo(native.constData(), 0600) == 0 ? path : QString();
        case Make::Sparse: {
            // 3 GB that take no room: only the size says what it is.
            QFile f(path);
            return f.open(QIODevice::WriteOnly) && f.resize(3'000'000'000) ? path : QString();
        }
        case Make::Large: {
            // A real image, only too large: 65 MiB of valid lines.
            QFile f(path);
            if (!f.open(QIODevice::WriteOnly))
                return {};
            const QByteArray block = lines(1024);
            while (f.size() <= 65 * 1024 * 1024)
                f.write(block);
            return path;
        }
        case Make::File:
            break;
        }
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size() ? path : QString();
    }

    // The desktop program's whole way: the file chosen, the port typed, the
    // upload pressed. Returns the causes shown with its message.
    QStringList runDesktop(const QString &file, const QString &port, const QString &message, qint64 *elapsedMs)
    {
        RecordingPresenter messages;
        Main_MDI frame(&messages, fastTimings());
        QElapsedTimer clock;
        clock.start();
        frame.mainForm()->chooseFile(file);
        frame.setForm()->COM_PORT_LIST->setEditText(port);
        // A pipe or a device is unreadable to the choice, which then leaves
        // the button as it was; the update's own check is what is tested here.
        frame.mainForm()->Doownload_BUTT->setEnabled(true);
        frame.mainForm()->Doownload_BUTT->click();
        if (!QTest::qWaitFor([&] { return !messages.messages.isEmpty(); }, kProcessTimeoutMs))
            return {u"no message"_s};
        *elapsedMs = clock.elapsed();
        if (messages.messages.first().prompt != message)
            return {u"message: "_s + messages.messages.first().prompt};
        return messages.details.first();
    }

    // Refused before "KILL" through both front ends and by --check: the
    // instrument hears nothing, the technician reads why, and nothing
    // blocks. `problem`, if given, is --check's name for it.
    void expectRefused(const QString &file, const QString &reason, const QString &problem)
    {
        Simulator desktopSim;
        QVERIFY(desktopSim.start());
        qint64 elapsedMs = -1;
        const QStringList causes = runDesktop(file, desktopSim.device(), u"Code Downloading is error."_s, &elapsedMs);
        QVERIFY2(causes.join(u'\n').contains(reason), qPrintable(causes.join(u'\n')));
        QVERIFY(causes.contains(u"the instrument was not touched"_s));
        QVERIFY2(elapsedMs < kRefusedWithinMs, qPrintable(QString::number(elapsedMs)));

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

    void refusedFiles_data()
    {
        QTest::addColumn<int>("how");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("reason");

        QTest::newRow("/dev/zero") << -1 << QByteArray() << u"is a character device"_s;
        QTest::newRow(".txt link to a device") << int(Make::DeviceLink) << QByteArray() << u"is a character device"_s;
        QTest::newRow("pipe with no writer") << int(Make::Pipe) << QByteArray() << u"is a named pipe"_s;
        QTest::newRow("sparse 3 GB") << int(Make::Sparse) << QByteArray() << u"3000000000 bytes, larger than 64 MiB"_s;
        QTest::newRow("real image over 64 MiB") << int(Make::Large) << QByteArray() << u"larger than 64 MiB"_s;
        QTest::newRow("binary") << int(Make::File) << QByteArray("\x7F" "ELF\x02\x01\x01\0\0\0", 10)
                                << u"line 1: byte 127 (0x7f) at position 1"_s;
        QTest::newRow("prose") << int(Make::File) << QByteArray("Release notes\nFixed the display.\n")
                               << u"line 1 is no address line"_s;
        QTest::newRow("prose with an @") << int(Make::File) << QByteArray("Mail us @ support\n")
                                         << u"line 1: an address has four or five hexadecimal digits"_s;
        QTest::newRow("non-hex letter in a data line") << int(Make::File) << QByteArray("@F000\n31 4G 00 24\nq\n")
                                                       << u"line 2 is no address line"_s;
        QTest::newRow("byte above 127") << int(Make::File) << QByteArray("@F000\n31 40 \xC2\xB5\nq\n")
                                        << u"line 2: byte 194 (0xc2) at position 7"_s;
        QTest::newRow("byte-order mark inside") << int(Make::File) << "@F000\n" + kByteOrderMark + "31 40\nq\n"
                                                << u"line 2: byte 239"_s;
        QTest::newRow("data before any address") << int(Make::File) << QByteArray("31 40\n@F000\n31 40\nq\n")
                                                 << u"line 1: a data line before any address line"_s;
        QTest::newRow("empty") << int(Make::File) << QByteArray() << u"the file is empty"_s;
        QTest::newRow("only an end line") << int(Make::File) << QByteArray("q\n") << u"not one data line"_s;
        QTest::newRow("only blank lines") << int(Make::File) << QByteArray("\n  \n\n") << u"not one data line"_s;
        QTest::newRow("only address lines") << int(Make::File) << QByteArray("@F000\n@10000\nq\n")
                                            << u"not one data line"_s;
        QTest::newRow("data only after the end line") << int(Make::File) << QByteArray("@F000\nq\n31 40\n")
                                                      << u"not one data line"_s;
    }

    // Files that are no firmware image at all.
    void refusedFiles()
    {
        QFETCH(int, how);
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        const QString file = how < 0 ? u"/dev/zero"_s : make(Make(how), content);
        QVERIFY(!file.isEmpty());
        expectRefused(file, reason, {});
    }

    void refusedLines_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("problem");

        QTest::newRow("tab before an address")
            << QByteArray("@F000\n31 40\n\t@10000\n31 40\nq\n")
            << u"line 3: a tab at position 1; the instrument takes spaces only: \"\\x09@10000\""_s << u"tab-in-line"_s;
        QTest::newRow("tabs between bytes")
            << QByteArray("@F000\n31\t40\t00\t24\nq\n")
            << u"line 2: a tab at position 3; the instrument takes spaces only: \"31\\x0940\\x0900\\x0924\""_s
            << u"tab-in-line"_s;
        QTest::newRow("bytes without blanks")
            << QByteArray("@F000\n31400024\nq\n")
            << u"line 2: at position 1 a byte is not two hexadecimal digits; a data line is pairs such as "
               "31 40 00 24: \"31400024\""_s
            << u"byte-not-two-digits"_s;
        QTest::newRow("a three-digit byte")
            << QByteArray("@F000\n31 40\n314\nq\n") << u"line 3: at position 1 a byte is not two hexadecimal digits"_s
            << u"byte-not-two-digits"_s;
        QTest::newRow("two blanks in a row")
            << QByteArray("@F000\n31 40  00 24\nq\n")
            << u"line 2: two blanks in a row at position 6; bytes are separated by one space: \"31 40  00 24\""_s
            << u"two-blanks"_s;
        QTest::newRow("six-digit address")
            << QByteArray("@F000\n31 40\n@123456\n31 40\nq\n")
            << u"line 3: an address has four or five hexadecimal digits after its @, and nothing else: \"@123456\""_s
            << u"bad-address"_s;
        QTest::newRow("three-digit address")
            << QByteArray("@123\n31 40\nq\n")
            << u"line 1: an address has four or five hexadecimal digits after its @, and nothing else: \"@123\""_s
            << u"bad-address"_s;
        QTest::newRow("33-byte data line")
            << "@F000\n" + bytesLine(33) + "\nq\n" << u"line 2: a data line holds at most 32 bytes"_s
            << u"too-many-bytes"_s;
        // Only its start is kept: shown with its whole length.
        QTest::newRow("90 kB line")
            << "@F000\n" + QByteArray("A5 ").repeated(30000).chopped(1) + "\nq\n"
            << u"line 2: a data line holds at most 32 bytes: \"A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A\"... "
               "(89999 bytes)"_s
            << u"too-many-bytes"_s;
        QTest::newRow("a line of blanks and bytes over 256 characters")
            << "@F000\n" + QByteArray(300, ' ') + "31 40\nq\n" << u"line 2: longer than any firmware line"_s
            << u"line-too-long"_s;
        QTest::newRow("data past FFFFF")
            << "@FFFF0\n" + bytesLine(16) + "\n31 40\nq\n"
            << u"line 3: data past FFFFF, the instrument's last address (2 bytes from 100000): \"31 40\""_s
            << u"past-last-address"_s;
    }

    // Lines the instrument would drop or misplace after the erase, so that
    // an update of them would end "Update OK" with the wrong firmware.
    void refusedLines()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        QFETCH(QString, problem);
        const QString file = make(Make::File, content);
        QVERIFY(!file.isEmpty());
        expectRefused(file, reason, problem);
    }

    void validImages_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("lower-case hex") << QByteArray("@f000\na0 b1 c2 d3\nq\n");
        QTest::newRow("CR, LF and CR LF mixed") << QByteArray("@F000\r31 40\n32 41\r\n@10000\n33 42\rq\r\n");
        QTest::newRow("text after the end line") << QByteArray("@F000\n31 40\nq\nBuilt 2026-12-01 by CI \xC2\xA9\n");
        QTest::newRow("Q as the end line") << QByteArray("@F000\n31 40\nQ\n");
        QTest::newRow("four- and five-digit addresses") << QByteArray("@F000\n31 40\n@1F000\n32 41\nq\n");
        // The limits themselves: 32 bytes a line, the last at FFFFF.
        QTest::newRow("32 bytes a line up to FFFFF") << "@FFFC0\n" + bytesLine(32) + "\n" + bytesLine(31) + "\nq\n";
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
        qint64 elapsedMs = 0;
        const QStringList causes = runDesktop(file, desktopSim.device(), u"Update OK"_s, &elapsedMs);
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

private:
    int m_files = 0;
};

WEXEL_REGISTER_TEST(ImageGateTest)

#include "tst_gate.moc"
