// What the command-line front end makes of an update's end, as a production
// line runs it, a row for each way it tells one: the exit code, the message
// and its causes on standard error, the JSON result, what the simulated
// instrument received and holds, and that the test process is left holding
// no descriptor. How each fault ends is the update sequence's to decide, and
// its own table holds every one.
#include "clitestsupport.h"
#include "eventwait.h"
#include "matrixsupport.h"
#include "testregistry.h"

#include "core/firmware/firmwareline.h"
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
const QByteArray kAboveLimit("COM PORT > 255");
const QByteArray kTestError("TEST ERROR!!");
const QByteArray kTooLong("bytes without \"*\", beginning \"xxxx");
// A peer that answers with bytes and bytes but never '*'.
const QString kEndless(100000, u'x');

const QStringList kFastTimings = fastCliTimings(1000);
// An erase wait of one and a half seconds (given after the fast timings, the
// later value counts): time to change the file while the front end waits.
const QStringList kSlowErase = {u"--erase-tick-ms"_s, u"30"_s, u"--erase-ticks"_s, u"50"_s};

enum class Port {
    Simulator, // the simulator's device
    HeldUnlocked, // the same, read by a program that takes no lock (cat, a terminal program)
    Missing, // a path in the test's folder that leads nowhere
    Text, // portText as it stands
};

enum class FileChange {
    None,
    ReplacedWhileErasing, // the file changes after "KILL" has gone out
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

MemoryImage imageOf(const QByteArrayList &sent)
{
    MemoryImage image;
    for (const QByteArray &line : sent)
        image.addLine(line.toStdString());
    return image;
}

QList<Row> makeRows()
{
    const QByteArray image = lines(20) + "q\n"; // 21 lines, the end line last
    const QStringList none;
    return {
        // Nothing sent: exit 3, and the instrument said to be untouched.
        {.name = "port missing",
         .file = image,
         .faults = none,
         .exits = {3},
         .message = kWriteError,
         .cause = "no-such-port: no such port",
         .eraseCount = -1,
         .port = Port::Missing},
        // The link test: exit 6, and the port's trouble as the result names it.
        // It names a program that takes no lock, rather than wait for an
        // answer cat takes.
        {.name = "link test on a port read by a program that takes no lock",
         .file = image,
         .faults = none,
         .exits = {6},
         .message = kTestError,
         .cause = "the port is busy, in use by cat (process",
         .eraseCount = -1,
         .port = Port::HeldUnlocked,
         .linkTest = true},
        // Turned down before any port is opened.
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
        {.name = "link test answered with 100,000 bytes and no '*'",
         .file = {},
         .faults = {u"--arc-reply"_s, kEndless},
         .exits = {6},
         .message = kTestError,
         .cause = kTooLong,
         .eraseCount = -1,
         .linkTest = true,
         .linkTests = 1},
        // The erase: exit 4, the refusal in the result.
        {.name = "erase refused",
         .file = image,
         .faults = {u"--erase"_s, u"refuse"_s},
         .exits = {4},
         .message = kEraseError,
         .cause = "answered the erase command \"KILL\" with \"NG*\"",
         .eraseCount = 0,
         .reply = u"NG*"_s},
        // The write phase: exit 5, the line and the answer, escaped, in the
        // result; a flood stays a few lines on standard error.
        {.name = "garbage at line 7",
         .file = image,
         .faults = {u"--garbage-line"_s, u"7"_s},
         .exits = {5},
         .message = kWriteError,
         .cause = "answered \"\\x15?#\" instead of \"*\"",
         .linesReceived = 7,
         .failedLine = 7,
         .reply = u"\\x15?#"_s},
        {.name = "line 3 answered with 100,000 bytes and no '*'",
         .file = image,
         .faults = {u"--line-reply"_s, u"3"_s, kEndless},
         .exits = {5},
         .message = kWriteError,
         .cause = kTooLong,
         .linesReceived = 3,
         .failedLine = 3},
        // Replies out of step end as a write failure.
        {.name = "two acknowledgements in one read",
         .file = image,
         .faults = {u"--line-reply"_s, u"3"_s, u"**"_s},
         .exits = {5},
         .message = kWriteError,
         .cause = "fell out of step after line 3 of 21",
         .linesReceived = 3,
         .reply = u"*"_s},
        // Success: exit 0, every line's event, what the instrument holds;
        // noise that answered nothing is told.
        {.name = "acknowledgement followed by extra bytes",
         .file = image,
         .faults = {u"--line-reply"_s, u"3"_s, u"*xy"_s},
         .exits = {0},
         .message = kOk,
         .cause = "2 bytes from the instrument answered no command",
         .linesReceived = 21},
        // The file is read whole, by the loader every unit shares, before
        // "KILL": a change while the instrument erases changes nothing sent.
        {.name = "file replaced while erasing",
         .file = image,
         .faults = none,
         .exits = {0},
         .message = kOk,
         .cause = "21 of 21 lines written",
         .linesReceived = 21,
         .change = FileChange::ReplacedWhileErasing},
        // Updates one after another against one instrument.
        {.name = "update after a failed one",
         .file = image,
         .faults = {u"--refuse-line"_s, u"10"_s, u"--fault-once"_s},
         .exits = {5, 0},
         .message = kOk,
         .cause = "21 of 21 lines written",
         .eraseCount = 2,
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
        ok = EventWait::until([&] { return out.contains("{\"event\":\"erase-sent\"}") || ended(); }, timeoutMs)
            && !ended()
            && whileErasing()
            // Seen already, it would mean the change came too late to prove anything.
            && !out.contains("{\"event\":\"erase-acknowledged\"}");
    }
    if (!EventWait::until(ended, timeoutMs)) {
        process.kill();
        (void)EventWait::until(ended, kProcessTimeoutMs);
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
        {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QCOMPARE(f.write(c.file), c.file.size());
        }
        // A change while erasing must be one the instrument could tell from the original.
        const QByteArray changed("@1F000\n11 22 33\nQ\n");
        const auto whileErasing = [&]() -> bool {
            QFile f(file);
            return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(changed) == changed.size();
        };
        const bool changesWhileErasing = c.change == FileChange::ReplacedWhileErasing;
        if (changesWhileErasing)
            QVERIFY(imageOf(sentLines(changed)).checksum() != imageOf(sentLines(c.file)).checksum());

        const QStringList descriptorsBefore = openDescriptors();
        {
            Simulator sim;
            QVERIFY(sim.start(c.faults));
            QProcess reader; // one that takes no lock
            QString port = c.portText;
            if (c.port == Port::Simulator) {
                port = sim.device();
            } else if (c.port == Port::HeldUnlocked) {
                port = sim.device();
                reader.start(u"cat"_s, {port});
                QVERIFY(reader.waitForStarted());
                const QString target = QFileInfo(port).canonicalFilePath();
                WEXEL_TRY_VERIFY([&] {
                    const QDir fds(u"/proc/%1/fd"_s.arg(reader.processId()));
                    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
                        if (QFile::symLinkTarget(fds.filePath(fd)) == target)
                            return true;
                    return false;
                }());
            } else if (c.port == Port::Missing) {
                port = dir.filePath(u"no-such-port"_s);
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
