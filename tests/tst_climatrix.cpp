// Everything that can go wrong with the port, the instrument or the file,
// seen through the command-line front end as a production line runs it: the
// exit code, the message on standard error, what the simulated instrument
// received, and that the test process is left holding no descriptor.
// "Update OK" only when every line was answered. The rows are those of the
// desktop program's matrix, so both front ends are held to the same faults.
#include "clitestsupport.h"
#include "matrixsupport.h"
#include "testregistry.h"

#include "core/firmware/firmwareline.h"
#include "core/link/seriallink.h"
#include "sim/memoryimage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace CliTestSupport;
using namespace MatrixSupport;
using namespace Qt::Literals::StringLiterals;

namespace {

const QByteArray kOk("Update OK");
const QByteArray kWriteError("Code Downloading is error.");
const QByteArray kEraseError("Erese is error");
const QByteArray kNoPort("Please setting COM PORT");
const QByteArray kAboveLimit("COM PORT > 255");
const QByteArray kTestError("TEST ERROR!!");
const QByteArray kTooLong("bytes without \"*\", beginning \"xxxx");
// A peer that answers with bytes and bytes but never '*'.
const QString kEndless(100000, u'x');

const QStringList kFastTimings = fastCliTimings(1000);
// An erase wait of one and a half seconds (given after the fast timings, the
// later value counts): time to change the file while the front end waits.
const QStringList kSlowErase = {u"--erase-tick-ms"_s, u"30"_s, u"--erase-ticks"_s, u"50"_s};

// The simulator keeps this much of a line at most and counts a longer one as
// malformed, without its data.
constexpr qsizetype kSimulatorMaxLine = 64 * 1024;

enum class Port {
    Simulator, // the simulator's device
    Held, // the simulator's device, held open by another program
    HeldUnlocked, // the same, by a program that takes no lock (cat, a terminal program)
    RegularFile, // a path to a regular file
    Text, // portText as it stands
};

enum class FileChange {
    None,
    Missing, // no file at the path
    Directory, // a directory at the path
    TruncatedWhileErasing, // the file changes after "KILL" has gone out
    ReplacedWhileErasing,
    DeletedWhileErasing,
};

// One row of the matrix.
struct Row
{
    const char *name = nullptr;
    QByteArray file{}; // what the firmware file holds
    QStringList faults{}; // the simulator's fault switches
    QList<int> exits{}; // the exit code of each run, in order
    QByteArray message{}; // the first line on standard error (last run)
    QByteArray cause{}; // part of the cause lines below it
    int eraseCount = 1; // erases the instrument took; -1: nothing at all reached it
    int linesReceived = 0; // since the last erase it took
    int failedLine = 0; // the result's failed_line
    QString reply{}; // the result's reply, escaped; null: none
    Port port = Port::Simulator;
    QString portText{};
    FileChange change = FileChange::None;
    bool linkTest = false;
    QStringList options{}; // for the front end, after the fast timings
    int linkTests = 0; // link tests the instrument answered
};

// The same lines with each of the endings in turn. The file reading rule
// takes CR LF as one ending, so an empty line never follows a lone CR here.
QByteArray withEndings(const QByteArrayList &content, const QByteArrayList &endings, bool lastEnded = true)
{
    QByteArray data;
    for (qsizetype i = 0; i < content.size(); ++i) {
        data += content.at(i);
        if (lastEnded || i + 1 < content.size())
            data += endings.at(i % endings.size());
    }
    return data;
}

MemoryImage imageOf(const QByteArrayList &sent)
{
    MemoryImage image;
    for (const QByteArray &line : sent) {
        if (line.size() > kSimulatorMaxLine)
            image.addMalformedLine();
        else
            image.addLine(line.toStdString());
    }
    return image;
}

QList<Row> makeRows()
{
    const QByteArray image = lines(20) + "q\n"; // 21 lines, the end line last
    // Each line is more than the device's queue takes at once, and longer
    // than any line the instrument takes.
    QByteArray longLines = "@F000\n";
    for (int i = 0; i < 20; ++i)
        longLines += QByteArray(100000, "0123456789ABCDEF"[i % 16]) + "\n";
    longLines += "q\n";
    QByteArray longDataLine = "A5";
    while (longDataLine.size() < 60000 - 3)
        longDataLine += " A5";
    // An address with four digits, an odd data line, an empty line: the
    // same content under every kind of line ending.
    const QByteArrayList content = {"@F000", "31 40 00 24", "32 41 00", "", "@10000", "AA BB CC DD", "q"};

    const QStringList none;
    return {
        // The port.
        {.name = "port missing",
         .file = image,
         .faults = none,
         .exits = {3},
         .message = kWriteError,
         .cause = "/dev/wexel-no-such-port: no such port",
         .eraseCount = -1,
         .port = Port::Text,
         .portText = u"/dev/wexel-no-such-port"_s},
        {.name = "port held by another program",
         .file = image,
         .faults = none,
         .exits = {3},
         .message = kWriteError,
         .cause = "the port is busy, in use by wexel_cli_tests (process",
         .eraseCount = -1,
         .port = Port::Held},
        // It would take the instrument's answers: refused before "KILL", named.
        {.name = "port read by a program that takes no lock",
         .file = image,
         .faults = none,
         .exits = {3},
         .message = kWriteError,
         .cause = "the port is busy, in use by cat (process",
         .eraseCount = -1,
         .port = Port::HeldUnlocked},
        // The link test names it too, rather than wait for an answer cat takes.
        {.name = "link test on a port read by a program that takes no lock",
         .file = image,
         .faults = none,
         .exits = {6},
         .message = kTestError,
         .cause = "the port is busy, in use by cat (process",
         .eraseCount = -1,
         .port = Port::HeldUnlocked,
         .linkTest = true},
        {.name = "port is a regular file",
         .file = image,
         .faults = none,
         .exits = {3},
         .message = kWriteError,
         .cause = "cannot be used as a serial port",
         .eraseCount = -1,
         .port = Port::RegularFile},
        {.name = "port text empty",
         .file = image,
         .faults = none,
         .exits = {3},
         .message = kNoPort,
         .cause = "the port text is empty",
         .eraseCount = -1,
         .port = Port::Text,
         .portText = u""_s},
        {.name = "COM 256 for the link test",
         .file = {},
         .faults = none,
         .exits = {6},
         .message = kAboveLimit,
         .cause = "above the link test's limit",
         .eraseCount = -1,
         .port = Port::Text,
         .portText = u"COM 256"_s,
         .linkTest = true},
        // Only the link test has the limit: the update looks for port 300.
        {.name = "COM 300 for the update",
         .file = image,
         .faults = none,
         .exits = {3},
         .message = kWriteError,
         .cause = "/dev/ttyS299: no such port",
         .eraseCount = -1,
         .port = Port::Text,
         .portText = u"COM 300"_s},
        // The erase.
        {.name = "erase refused",
         .file = image,
         .faults = {u"--erase"_s, u"refuse"_s},
         .exits = {4},
         .message = kEraseError,
         .cause = "answered the erase command \"KILL\" with \"NG*\"",
         .eraseCount = 0,
         .reply = u"NG*"_s},
        {.name = "erase silent",
         .file = image,
         .faults = {u"--erase"_s, u"ignore"_s},
         .exits = {4},
         .message = kEraseError,
         .cause = "no answer within 1000 ms",
         .eraseCount = 0},
        // The pieces arrive while the read waits, 5 ms apart: the read must
        // take them together up to the '*'.
        {.name = "erase refusal in pieces",
         .file = image,
         .faults = {u"--erase"_s, u"refuse"_s, u"--split-acks"_s, u"--erase-ms"_s, u"150"_s},
         .exits = {4},
         .message = kEraseError,
         .cause = "with \"NG*\" instead of \"*\"",
         .eraseCount = 0,
         .reply = u"NG*"_s},
        // Read once, on the last tick, where the early '*' has waited.
        {.name = "erase acknowledged early",
         .file = image,
         .faults = {u"--erase-ms"_s, u"0"_s},
         .exits = {0},
         .message = kOk,
         .cause = "21 of 21 lines written",
         .linesReceived = 21},
        {.name = "erase acknowledged after the last tick",
         .file = image,
         .faults = {u"--erase-ms"_s, u"150"_s},
         .exits = {0},
         .message = kOk,
         .cause = "21 of 21 lines written",
         .linesReceived = 21},
        // The instrument erased; the tool cannot know, and refuses the answer.
        {.name = "extra bytes before the erase acknowledgement",
         .file = image,
         .faults = {u"--erase-reply"_s, u"x*"_s},
         .exits = {4},
         .message = kEraseError,
         .cause = "with \"x*\" instead of \"*\"",
         .eraseCount = 1,
         .linesReceived = 0,
         .reply = u"x*"_s},
        {.name = "erase answered with 100,000 bytes and no '*'",
         .file = image,
         .faults = {u"--erase-reply"_s, kEndless},
         .exits = {4},
         .message = kEraseError,
         .cause = kTooLong,
         .eraseCount = 1},
        {.name = "link test answered with 100,000 bytes and no '*'",
         .file = {},
         .faults = {u"--arc-reply"_s, kEndless},
         .exits = {6},
         .message = kTestError,
         .cause = kTooLong,
         .eraseCount = -1,
         .linkTest = true,
         .linkTests = 1},
        // The write phase.
        {.name = "line 3 answered with 100,000 bytes and no '*'",
         .file = image,
         .faults = {u"--line-reply"_s, u"3"_s, kEndless},
         .exits = {5},
         .message = kWriteError,
         .cause = kTooLong,
         .linesReceived = 3,
         .failedLine = 3},
        {.name = "refused at the first line",
         .file = image,
         .faults = {u"--refuse-line"_s, u"1"_s},
         .exits = {5},
         .message = kWriteError,
         .cause = "line 1 of 21 (\"@0F000\") was refused",
         .linesReceived = 1,
         .failedLine = 1,
         .reply = u"NG*"_s},
        {.name = "refused at the tenth line",
         .file = image,
         .faults = {u"--refuse-line"_s, u"10"_s},
         .exits = {5},
         .message = kWriteError,
         .cause = "9 lines were acknowledged before it",
         .linesReceived = 10,
         .failedLine = 10,
         .reply = u"NG*"_s},
        {.name = "refused at the last line",
         .file = lines(20),
         .faults = {u"--refuse-line"_s, u"20"_s},
         .exits = {5},
         .message = kWriteError,
         .cause = "19 lines were acknowledged before it",
         .linesReceived = 20,
         .failedLine = 20,
         .reply = u"NG*"_s},
        // The end line's answer is shown; "NG*" refuses the image.
        {.name = "end line answered NG*",
         .file = image,
         .faults = {u"--refuse-line"_s, u"21"_s},
         .exits = {5},
         .message = kWriteError,
         .cause = "line 21 of 21 (\"q\") was refused",
         .linesReceived = 21,
         .failedLine = 21,
         .reply = u"NG*"_s},
        {.name = "silent at line 5",
         .file = image,
         .faults = {u"--ignore-line"_s, u"5"_s},
         .exits = {5},
         .message = kWriteError,
         .cause = "got no acknowledgement",
         .linesReceived = 5,
         .failedLine = 5},
        {.name = "garbage at line 7",
         .file = image,
         .faults = {u"--garbage-line"_s, u"7"_s},
         .exits = {5},
         .message = kWriteError,
         .cause = "answered \"\\x15?#\" instead of \"*\"",
         .linesReceived = 7,
         .failedLine = 7,
         .reply = u"\\x15?#"_s},
        // Line 12 is answered, then the line goes dead: line 13 is the one lost.
        {.name = "hang-up mid-file",
         .file = image,
         .faults = {u"--hangup-after-line"_s, u"12"_s},
         .exits = {5},
         .message = kWriteError,
         .cause = "hung up",
         .linesReceived = 12,
         .failedLine = 13},
        // A reply answers the command just sent, and each command gets one: a
        // spare '*' puts every later answer in doubt, so nothing more is sent.
        // Bytes without one are noise, discarded.
        {.name = "two acknowledgements in one read",
         .file = image,
         .faults = {u"--line-reply"_s, u"3"_s, u"**"_s},
         .exits = {5},
         .message = kWriteError,
         .cause = "fell out of step after line 3 of 21",
         .linesReceived = 3,
         .reply = u"*"_s},
        {.name = "acknowledgement followed by extra bytes",
         .file = image,
         .faults = {u"--line-reply"_s, u"3"_s, u"*xy"_s},
         .exits = {0},
         .message = kOk,
         .cause = "2 bytes from the instrument answered no command",
         .linesReceived = 21},
        {.name = "spare '*' on the erase",
         .file = image,
         .faults = {u"--erase-reply"_s, u"**"_s},
         .exits = {5},
         .message = kWriteError,
         .cause = "fell out of step after the erase command",
         .reply = u"*"_s},
        // The erase answered after the last tick, its two bytes 5 ms apart:
        // the second arrives while the hand-over waits.
        {.name = "spare '*' in the hand-over",
         .file = image,
         .faults = {u"--erase-reply"_s, u"**"_s, u"--split-acks"_s, u"--erase-ms"_s, u"150"_s},
         .exits = {5},
         .message = kWriteError,
         .cause = "fell out of step after the erase command",
         .options = {u"--hand-over-ms"_s, u"300"_s}},
        // A spare '*' 5 ms late lands on the next line; the last data line's
        // refusal then comes while the end line awaits its answer, and the
        // end line's own within the settle time after it. (-1, "?": as the
        // pseudo-terminal delivers the two '*', apart or together.)
        {.name = "late spare '*', then the last data line refused",
         .file = image,
         .faults = {u"--ack-delay-ms"_s, u"40"_s, u"--split-acks"_s, u"--line-reply"_s, u"19"_s, u"**"_s,
                    u"--refuse-line"_s, u"20"_s},
         .exits = {5},
         .message = kWriteError,
         .cause = "fell out of step after line",
         .linesReceived = -1,
         .reply = u"?"_s,
         .options = {u"--read-timeout-ms"_s, u"3000"_s}},
        // The file. It is read whole before "KILL": a change while the
        // instrument erases does not change what is sent.
        {.name = "file missing",
         .file = image,
         .faults = none,
         .exits = {3},
         .message = kWriteError,
         .cause = "fw.txt: no such file",
         .eraseCount = -1,
         .change = FileChange::Missing},
        {.name = "file truncated while erasing",
         .file = image,
         .faults = none,
         .exits = {0},
         .message = kOk,
         .cause = "21 of 21 lines written",
         .linesReceived = 21,
         .change = FileChange::TruncatedWhileErasing},
        {.name = "file replaced while erasing",
         .file = image,
         .faults = none,
         .exits = {0},
         .message = kOk,
         .cause = "21 of 21 lines written",
         .linesReceived = 21,
         .change = FileChange::ReplacedWhileErasing},
        {.name = "file deleted while erasing",
         .file = image,
         .faults = none,
         .exits = {0},
         .message = kOk,
         .cause = "21 of 21 lines written",
         .linesReceived = 21,
         .change = FileChange::DeletedWhileErasing},
        {.name = "file is a directory",
         .file = image,
         .faults = none,
         .exits = {3},
         .message = kWriteError,
         .cause = "is a directory, not a firmware file",
         .eraseCount = -1,
         .change = FileChange::Directory},
        {.name = "empty file",
         .file = {},
         .faults = none,
         .exits = {3},
         .message = kWriteError,
         .cause = "the file is empty",
         .eraseCount = -1},
        {.name = "end line in the middle",
         .file = "@F000\n31 40\nq\n32 41\n33 42\n",
         .faults = none,
         .exits = {0},
         .message = kOk,
         .cause = "3 of 3 lines written",
         .linesReceived = 3},
        {.name = "no end line",
         .file = lines(8),
         .faults = none,
         .exits = {0},
         .message = kOk,
         .cause = "the file has no end line",
         .linesReceived = 8},
        {.name = "200,000 lines",
         .file = lines(200000, "\r\n") + "q\r\n",
         .faults = none,
         .exits = {0},
         .message = kOk,
         .cause = "200001 of 200001 lines written",
         .linesReceived = 200001},
        // The instrument would drop or misplace them after the erase: they
        // are refused before it, with the line's start and length.
        {.name = "lines of 100,000 characters",
         .file = longLines,
         .faults = none,
         .exits = {3},
         .message = kWriteError,
         .cause = "line 2: at position 1 a byte is not two hexadecimal digits",
         .eraseCount = -1},
        // 5.2 s it would take on the wire; no line that long reaches the wire now.
        {.name = "a data line of 59,999 characters at 115200 baud",
         .file = "@F000\n" + longDataLine + "\nq\n",
         .faults = {u"--baud"_s, u"115200"_s},
         .exits = {3},
         .message = kWriteError,
         .cause = "line 2: a data line holds at most 32 bytes",
         .eraseCount = -1,
         .options = {u"--read-timeout-ms"_s, u"3000"_s}},
        {.name = "CR endings",
         .file = withEndings(content, {"\r"}),
         .faults = none,
         .exits = {0},
         .message = kOk,
         .cause = "7 of 7 lines written",
         .linesReceived = 7},
        {.name = "LF endings",
         .file = withEndings(content, {"\n"}),
         .faults = none,
         .exits = {0},
         .message = kOk,
         .cause = "7 of 7 lines written",
         .linesReceived = 7},
        {.name = "CR LF endings",
         .file = withEndings(content, {"\r\n"}),
         .faults = none,
         .exits = {0},
         .message = kOk,
         .cause = "7 of 7 lines written",
         .linesReceived = 7},
        {.name = "mixed endings",
         .file = withEndings(content, {"\r", "\n", "\r\n"}, false),
         .faults = none,
         .exits = {0},
         .message = kOk,
         .cause = "7 of 7 lines written",
         .linesReceived = 7},
        // Updates one after another against one instrument.
        {.name = "update after a failed one",
         .file = image,
         .faults = {u"--refuse-line"_s, u"10"_s, u"--fault-once"_s},
         .exits = {5, 0},
         .message = kOk,
         .cause = "21 of 21 lines written",
         .eraseCount = 2,
         .linesReceived = 21},
        {.name = "update after a successful one",
         .file = image,
         .faults = none,
         .exits = {0, 0},
         .message = kOk,
         .cause = "21 of 21 lines written",
         .eraseCount = 2,
         .linesReceived = 21},
        {.name = "ten updates in a row",
         .file = image,
         .faults = none,
         .exits = QList<int>(10, 0),
         .message = kOk,
         .cause = "21 of 21 lines written",
         .eraseCount = 10,
         .linesReceived = 21},
    };
}

const QList<Row> &rows()
{
    static const QList<Row> all = makeRows();
    return all;
}

// The last line of standard output: the result event.
QJsonObject lastEvent(const QByteArray &out)
{
    const QByteArray trimmed = out.trimmed();
    return QJsonDocument::fromJson(trimmed.mid(trimmed.lastIndexOf('\n') + 1)).object();
}

// Runs the front end; `whileErasing`, if given, runs as soon as its
// "erase-sent" event shows that "KILL" has gone out.
bool runWatched(const QStringList &args, int timeoutMs, const std::function<bool()> &whileErasing, Result *result)
{
    QProcess process;
    QByteArray out;
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                     [&] { out += process.readAllStandardOutput(); });
    process.start(cliPath(), args);
    const auto ended = [&] { return process.state() == QProcess::NotRunning; };
    bool ok = true;
    if (whileErasing) {
        ok = QTest::qWaitFor([&] { return out.contains("{\"event\":\"erase-sent\"}") || ended(); }, timeoutMs)
            && !ended()
            && whileErasing()
            // Seen already, it would mean the change came too late to prove anything.
            && !out.contains("{\"event\":\"erase-acknowledged\"}");
    }
    if (!QTest::qWaitFor(ended, timeoutMs)) {
        process.kill();
        (void)QTest::qWaitFor(ended, kProcessTimeoutMs);
        return false;
    }
    out += process.readAllStandardOutput();
    result->exitCode = process.exitCode();
    result->exitStatus = process.exitStatus();
    result->out = out;
    result->err = process.readAllStandardError();
    return ok;
}

} // namespace

class CliFaultMatrixTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(cliPath()).isExecutable(), qPrintable(cliPath()));
        QVERIFY2(QFileInfo(simulatorPath()).isExecutable(), qPrintable(simulatorPath()));
    }

    void faults_data()
    {
        QTest::addColumn<int>("row");
        for (int i = 0; i < rows().size(); ++i)
            QTest::newRow(rows().at(i).name) << i;
    }

    void faults()
    {
        QFETCH(int, row);
        const Row &c = rows().at(row);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(u"fw.txt"_s);
        if (c.change == FileChange::Directory) {
            QVERIFY(QDir().mkdir(file));
        } else if (c.change != FileChange::Missing) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QCOMPARE(f.write(c.file), c.file.size());
        }
        // A change while erasing must be one the instrument could tell from the original.
        const QByteArray changed = c.change == FileChange::TruncatedWhileErasing ? c.file.left(6 + 48 * 4)
            : c.change == FileChange::ReplacedWhileErasing                       ? QByteArray("@1F000\n11 22 33\nQ\n")
                                                                                 : QByteArray();
        const auto whileErasing = [&]() -> bool {
            if (c.change == FileChange::DeletedWhileErasing)
                return QFile::remove(file);
            QFile f(file);
            return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(changed) == changed.size();
        };
        const bool changesWhileErasing = c.change == FileChange::TruncatedWhileErasing
            || c.change == FileChange::ReplacedWhileErasing || c.change == FileChange::DeletedWhileErasing;
        if (!changed.isEmpty())
            QVERIFY(imageOf(sentLines(changed)).checksum() != imageOf(sentLines(c.file)).checksum());

        const QStringList descriptorsBefore = openDescriptors();
        {
            Simulator sim;
            QVERIFY(sim.start(c.faults));
            SerialLink holder; // another program, for the busy port
            QProcess reader; // one that takes no lock
            QString port = c.portText;
            if (c.port == Port::Simulator) {
                port = sim.device();
            } else if (c.port == Port::Held) {
                port = sim.device();
                holder.setDevicePath(port);
                QVERIFY(holder.configure());
            } else if (c.port == Port::HeldUnlocked) {
                port = sim.device();
                reader.start(u"cat"_s, {port});
                QVERIFY(reader.waitForStarted());
                const QString target = QFileInfo(port).canonicalFilePath();
                QTRY_VERIFY([&] {
                    const QDir fds(u"/proc/%1/fd"_s.arg(reader.processId()));
                    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
                        if (QFile::symLinkTarget(fds.filePath(fd)) == target)
                            return true;
                    return false;
                }());
            } else if (c.port == Port::RegularFile) {
                port = dir.filePath(u"not-a-port"_s);
                QFile f(port);
                QVERIFY(f.open(QIODevice::WriteOnly));
            }

            QStringList args;
            if (c.linkTest)
                args = QStringList{u"--test-link"_s, u"--read-timeout-ms"_s, u"1000"_s};
            else
                args
                    = kFastTimings + (changesWhileErasing ? kSlowErase : QStringList()) + c.options + QStringList{file};
            args += QStringList{u"--quiet"_s, u"--json"_s, u"--port"_s, port};

            // A line takes well under a millisecond even on a loaded machine.
            const int timeoutMs = kProcessTimeoutMs + int(c.file.count('\n'));
            Result r;
            for (int run = 0; run < c.exits.size(); ++run) {
                QVERIFY(runWatched(args, timeoutMs, changesWhileErasing ? std::function<bool()>(whileErasing) : nullptr,
                                   &r));
                QCOMPARE(r.exitStatus, QProcess::NormalExit);
                QVERIFY2(r.exitCode == c.exits.at(run),
                         qPrintable(
                             u"run %1: exit %2\n%3"_s.arg(run + 1).arg(r.exitCode).arg(QString::fromLocal8Bit(r.err))));
            }
            holder.close();
            reader.kill();
            reader.waitForFinished();

            // The system's message first (after a warning, if any), then its cause.
            QByteArray err = r.err;
            while (err.startsWith("warning: "))
                err = err.mid(err.indexOf('\n') + 1);
            QVERIFY2(err.startsWith(c.message + '\n'), r.err.constData());
            // Whatever the instrument sent, the result stays readable.
            QVERIFY2(r.err.size() < 2048, r.err.left(4096).constData());
            QVERIFY2(r.err.contains(c.cause), r.err.constData());
            const QJsonObject result = lastEvent(r.out);
            QCOMPARE(result.value(u"event"_s).toString(), u"result"_s);
            QCOMPARE(result.value(u"exit"_s).toInt(), c.exits.constLast());
            QCOMPARE(result.value(u"message"_s).toString(), QString::fromLatin1(c.message));
            QCOMPARE(result.value(u"ok"_s).toBool(), c.message == kOk);
            if (c.linkTest && c.port == Port::HeldUnlocked) {
                QCOMPARE(result.value(u"port_error"_s).toString(), u"busy"_s);
            } else if (c.linkTest && c.linkTests == 0) {
                // Turned down before any port was opened.
                QVERIFY(!result.contains(u"port_error"_s));
            } else if (c.linkTest) {
                QCOMPARE(result.value(u"port_error"_s).toString(), u"reply-too-long"_s);
            } else {
                QCOMPARE(result.value(u"erase_sent"_s).toBool(), c.eraseCount >= 0);
                QCOMPARE(result.value(u"failed_line"_s).toInt(), c.failedLine);
                if (c.reply != u"?") {
                    QCOMPARE(result.value(u"reply"_s).toString(), c.reply);
                    QCOMPARE(result.contains(u"reply"_s), !c.reply.isNull());
                }
            }
            if (c.eraseCount < 0 && !c.linkTest)
                QVERIFY2(r.err.contains("the instrument was not touched"), r.err.constData());

            // What reached the instrument.
            const QJsonObject summary = sim.summary();
            QVERIFY(!summary.isEmpty());
            QCOMPARE(summary.value(u"erase_count"_s).toInt(), qMax(c.eraseCount, 0));
            QCOMPARE(summary.value(u"link_tests"_s).toInt(), c.linkTests);
            // Nothing went out after a refusal: a line after a refused erase
            // would count here.
            QCOMPARE(summary.value(u"other_commands"_s).toInt(), 0);
            if (c.linesReceived >= 0)
                QCOMPARE(summary.value(u"lines_received"_s).toInt(), c.linesReceived);

            if (c.message == kOk) {
                // Every line of the file up to its end line went out, as
                // prepared, and each but the end line was acknowledged.
                const QByteArrayList sent = sentLines(c.file);
                const MemoryImage expected = imageOf(sent);
                const bool ended = isEndLine(sent.constLast());
                QCOMPARE(summary.value(u"lines_received"_s).toInt(), sent.size());
                QCOMPARE(summary.value(u"checksum"_s).toString(), checksumText(expected.checksum()));
                QCOMPARE(summary.value(u"data_bytes"_s).toInteger(), qint64(expected.dataBytes()));
                QCOMPARE(summary.value(u"malformed_lines"_s).toInteger(), qint64(expected.malformedLines()));
                QCOMPARE(summary.value(u"end_line_seen"_s).toBool(), ended);
                QCOMPARE(result.value(u"lines_acknowledged"_s).toInt(), sent.size());
                // Progress a slow reader (this test on a loaded machine) did
                // not take in time is dropped whole, and said to be.
                const int acknowledged = int(r.out.count("\"event\":\"line-acknowledged\""));
                const int endReplies = int(r.out.count("\"event\":\"end-reply\""));
                if (r.out.contains("\"event\":\"output-dropped\"")) {
                    QVERIFY(acknowledged <= sent.size());
                    QVERIFY(endReplies <= (ended ? 1 : 0));
                } else {
                    QCOMPARE(acknowledged, int(sent.size()));
                    QCOMPARE(endReplies, ended ? 1 : 0);
                }
            } else {
                QVERIFY2(!r.err.contains(kOk), r.err.constData());
            }
        }
        // Every pipe, port and file of the row is closed again.
        QCOMPARE(openDescriptors(), descriptorsBefore);
    }
};

WEXEL_REGISTER_TEST(CliFaultMatrixTest)

#include "tst_climatrix.moc"
