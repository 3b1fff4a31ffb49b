// The command-line front end, run as a production line runs it: the program
// against the simulated instrument, judged by its exit code, its messages,
// its JSON events and what the instrument received. What needs no process
// (the options, the exit code of each outcome) is called in process.
#include "clitestsupport.h"
#include "eventwait.h"
#include "matrixsupport.h"
#include "ptypeer.h"
#include "testregistry.h"
#include "throwawaypostgres.h"

#include "cli/clioptions.h"
#include "cli/exitcode.h"
#include "cli/jsonreporter.h"
#include "core/firmware/firmwareline.h"
#include "core/update/updateoutcome.h"
#include "sim/memoryimage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <vector>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace CliTestSupport;
using namespace Qt::Literals::StringLiterals;

namespace {

const QStringList kFastTimings = fastCliTimings(500);

const QString kMissingPort = u"/dev/wexel-no-such-port"_s;

// A firmware image with the shapes the tool must prepare (short address,
// odd data line, blanks around a line, an empty line) and lines after the
// end line, which must never reach the instrument.
const QByteArrayList kRawImage = [] {
    QByteArrayList lines{"@F000"};
    for (int i = 0; i < 12; ++i) {
        QByteArrayList bytes;
        for (int b = 0; b < 16; ++b)
            bytes += QByteArray::number((i * 16 + b) * 7 % 256, 16).toUpper().rightJustified(2, '0');
        lines += bytes.join(' ');
    }
    lines += "31 40 00"; // odd: goes out with FF
    lines += "@01000";
    lines += "  AA BB CC DD  "; // blanks trimmed
    lines += "";
    lines += "0A 0B";
    lines += "q";
    lines += "@02000"; // after the end line: never sent
    lines += "EE EE";
    return lines;
}();

} // namespace

class CliTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(cliPath()).isExecutable(), qPrintable(cliPath()));
        QVERIFY2(QFileInfo(simulatorPath()).isExecutable(), qPrintable(simulatorPath()));
        QVERIFY(m_dir.isValid());

        QFile image(imagePath());
        QVERIFY(image.open(QIODevice::WriteOnly));
        image.write(kRawImage.join('\n') + '\n');
        image.close();
        QFile empty(emptyPath());
        QVERIFY(empty.open(QIODevice::WriteOnly));
        empty.close();

        // What the instrument must receive: every line prepared, up to and
        // including the end line.
        MemoryImage expected;
        for (const QByteArray &raw : kRawImage) {
            const QByteArray line = PrepareLine(raw);
            m_sentLines += line;
            expected.addLine(line.toStdString());
            if (isEndLine(line))
                break;
        }
        m_expectedChecksum = checksumText(expected.checksum());
        QVERIFY(m_sentLines.size() < kRawImage.size());
    }

    void update_data()
    {
        QTest::addColumn<bool>("quiet");
        QTest::addColumn<bool>("relative"); // the device by a path relative to the current folder
        QTest::newRow("with progress") << false << false;
        QTest::newRow("quiet") << true << false;
        QTest::newRow("port as ./ path") << true << true;
    }

    // The whole image reaches the instrument exactly as prepared.
    void update()
    {
        QFETCH(bool, quiet);
        QFETCH(bool, relative);
        Simulator sim;
        QVERIFY(sim.start({u"--exit-after-end"_s}));
        QString port = sim.device();
        if (relative) {
            QVERIFY(QFile::link(sim.device(), m_dir.filePath(u"bench-com7"_s)));
            port = u"./bench-com7"_s;
        }
        QStringList args = kFastTimings + QStringList{u"--port"_s, port, imagePath()};
        if (quiet)
            args.prepend(u"--quiet"_s);
        Result r;
        QVERIFY(runCli(args, &r, m_dir.path()));
        if (relative)
            QFile::remove(m_dir.filePath(u"bench-com7"_s));
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(r.err.startsWith("Update OK\n") || r.err.contains("\nUpdate OK\n"));
        QVERIFY(r.err.contains("answered the end line with \"OK*\""));
        QVERIFY(r.out.isEmpty());
        // Standard error is no terminal here: plain progress lines, or none.
        QCOMPARE(r.err.contains("Writing:"), !quiet);
        QCOMPARE(r.err.contains("Erasing:"), !quiet);
        QVERIFY(!r.err.contains('\r'));

        const QJsonObject summary = sim.summary(Simulator::Stop::AwaitExit);
        QCOMPARE(summary.value(u"exit_reason"_s).toString(), u"end"_s);
        QCOMPARE(summary.value(u"checksum"_s).toString(), m_expectedChecksum);
        QCOMPARE(summary.value(u"lines_received"_s).toInt(), m_sentLines.size());
        QCOMPARE(summary.value(u"odd_data_lines"_s).toInt(), 0);
        QCOMPARE(summary.value(u"malformed_lines"_s).toInt(), 0);
        QCOMPARE(summary.value(u"erase_count"_s).toInt(), 1);
    }

    void refusedBeforeSending_data()
    {
        QTest::addColumn<QString>("port"); // "sim": the simulator's device
        QTest::addColumn<QString>("file"); // "image", "empty", "missing" or a name
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("cause");

        QTest::newRow("port missing") << kMissingPort << u"image"_s << QByteArray("Code Downloading is error.")
                                      << QByteArray("/dev/wexel-no-such-port: no such port");
        QTest::newRow("empty port text") << QString(u""_s) << u"image"_s << QByteArray("Please setting COM PORT")
                                         << QByteArray("the port text is empty");
        QTest::newRow("missing file") << u"sim"_s << u"missing"_s << QByteArray("Code Downloading is error.")
                                      << QByteArray("no-such-firmware.txt: no such file");
        QTest::newRow("empty file") << u"sim"_s << u"empty"_s << QByteArray("Code Downloading is error.")
                                    << QByteArray("the file is empty");
        QTest::newRow("empty file name") << u"sim"_s << QString(u""_s) << QByteArray("No open file.")
                                         << QByteArray("no firmware file was given");
        // The hint "did you mean /dev/ttyWEXELQ9?" only for a device that is there.
        QTest::newRow("missing device name without /dev/")
            << u"ttyWEXELQ9"_s << u"image"_s << QByteArray("Code Downloading is error.")
            << QByteArray("\"ttyWEXELQ9\": no such port");
        // Named as typed, not as "COM 0".
        QTest::newRow("no COM in the text") << u"bench"_s << u"image"_s << QByteArray("Code Downloading is error.")
                                            << QByteArray("\"bench\": no such port");
        // A file of the current folder named without "./" still reads as a
        // COM port (here COM 99, which no machine has), with a hint.
        QTest::newRow("file of the current folder without ./")
            << u"bench-com99"_s << u"image"_s
            << QByteArray("warning: \"bench-com99\" is read as COM 99 (/dev/ttyS98); did you mean ./bench-com99?")
            << QByteArray("/dev/ttyS98: no such port (");
    }

    // Refusals before "KILL" leave the instrument untouched, and say so.
    void refusedBeforeSending()
    {
        QFETCH(QString, port);
        QFETCH(QString, file);
        QFETCH(QByteArray, message);
        QFETCH(QByteArray, cause);

        Simulator sim;
        QVERIFY(sim.start());
        if (port == u"sim"_s)
            port = sim.device();
        if (file == u"image"_s)
            file = imagePath();
        else if (file == u"empty"_s)
            file = emptyPath();
        else if (file == u"missing"_s)
            file = m_dir.filePath(u"no-such-firmware.txt"_s);

        QFile named(m_dir.filePath(u"bench-com99"_s));
        QVERIFY(named.open(QIODevice::WriteOnly));
        Result r;
        QVERIFY(runCli(kFastTimings + QStringList{u"--port"_s, port, file}, &r, m_dir.path()));
        named.remove();
        QCOMPARE(r.exitCode, 3);
        QVERIFY2(r.err.startsWith(message + '\n'), r.err.constData());
        QVERIFY2(r.err.contains(cause), r.err.constData());
        QVERIFY(r.err.contains("the instrument was not touched"));

        const QJsonObject summary = sim.summary();
        QVERIFY(!summary.isEmpty());
        QCOMPARE(summary.value(u"erase_count"_s).toInt(), 0);
        QCOMPARE(summary.value(u"lines_received"_s).toInt(), 0);
        QCOMPARE(summary.value(u"other_commands"_s).toInt(), 0);
        QCOMPARE(summary.value(u"link_tests"_s).toInt(), 0);
    }

    void instrumentFaults_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArrayList>("causes");
        QTest::addColumn<int>("failedLine");
        QTest::addColumn<QString>("reply"); // as the JSON result carries it
        QTest::addColumn<int>("linesReceived");

        const QByteArray eraseError("Erese is error");
        const QByteArray writeError("Code Downloading is error.");
        const QByteArray erased("the instrument may be erased: run the update again");
        const QByteArray line10 = "line 10 of " + QByteArray::number(m_sentLines.size());
        QTest::newRow("erase refused") << QStringList{u"--erase"_s, u"refuse"_s} << 4 << eraseError
                                       << QByteArrayList{"answered the erase command \"KILL\" with \"NG*\"", erased}
                                       << 0 << u"NG*"_s << 0;
        QTest::newRow("erase ignored") << QStringList{u"--erase"_s, u"ignore"_s} << 4 << eraseError
                                       << QByteArrayList{"no answer within 500 ms", "check the port and the cable",
                                                         "may be erased if it received the command"}
                                       << 0 << QString() << 0;
        QTest::newRow("line refused") << QStringList{u"--refuse-line"_s, u"10"_s} << 5 << writeError
                                      << QByteArrayList{line10, "answered \"NG*\"", "9 lines were acknowledged", erased}
                                      << 10 << u"NG*"_s << 10;
        // One line, not "1 lines".
        QTest::newRow("second line refused")
            << QStringList{u"--refuse-line"_s, u"2"_s} << 5 << writeError
            << QByteArrayList{"line 2 of", "1 line was acknowledged before it", erased} << 2 << u"NG*"_s << 2;
        QTest::newRow("line ignored") << QStringList{u"--ignore-line"_s, u"10"_s} << 5 << writeError
                                      << QByteArrayList{line10, "no answer within 500 ms", erased} << 10 << QString()
                                      << 10;
        QTest::newRow("line garbled") << QStringList{u"--garbage-line"_s, u"10"_s} << 5 << writeError
                                      << QByteArrayList{line10, "answered \"\\x15?#\"", erased} << 10 << u"\\x15?#"_s
                                      << 10;
        // Line 10 is answered, then the line goes dead: line 11 is the one lost.
        QTest::newRow("hang-up") << QStringList{u"--hangup-after-line"_s, u"10"_s} << 5 << writeError
                                 << QByteArrayList{"line 11 of", "hung up", "10 lines were acknowledged", erased} << 11
                                 << QString() << 10;
    }

    // Each fault the instrument can show ends the update with its own exit
    // code and a cause that names the line and what the instrument answered;
    // nothing more is sent after the fault.
    void instrumentFaults()
    {
        QFETCH(QStringList, faults);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, message);
        QFETCH(QByteArrayList, causes);
        QFETCH(int, failedLine);
        QFETCH(QString, reply);
        QFETCH(int, linesReceived);

        Simulator sim;
        QVERIFY(sim.start(faults));
        Result r;
        QVERIFY(
            runCli(kFastTimings + QStringList{u"--quiet"_s, u"--json"_s, u"--port"_s, sim.device(), imagePath()}, &r));
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY2(r.err.startsWith(message + '\n'), r.err.constData());
        for (const QByteArray &cause : causes)
            QVERIFY2(r.err.contains(cause),
                     qPrintable(u"%1 not in:\n%2"_s.arg(QString::fromLatin1(cause), QString::fromLocal8Bit(r.err))));

        QList<QJsonObject> events;
        QByteArray bad;
        QVERIFY2(parseEvents(r.out, &events, &bad), bad.constData());
        QVERIFY(!events.isEmpty());
        const QJsonObject result = events.constLast();
        QCOMPARE(result.value(u"event"_s).toString(), u"result"_s);
        QCOMPARE(result.value(u"exit"_s).toInt(), exitCode);
        QCOMPARE(result.value(u"ok"_s).toBool(), false);
        QCOMPARE(result.value(u"erase_sent"_s).toBool(), true);
        QCOMPARE(result.value(u"failed_line"_s).toInt(), failedLine);
        QCOMPARE(result.value(u"reply"_s).toString(), reply);

        QCOMPARE(sim.summary().value(u"lines_received"_s).toInt(), linesReceived);
    }

    // A retry after a hang-up, and the port's name handed to the next device
    // as soon as the unit has gone: that device is not erased, and the unit
    // is not reported updated.
    void retryGoesToNoOtherDevice()
    {
        const QString bay = m_dir.filePath(u"bay"_s);
        Simulator first;
        QVERIFY(first.start({u"--link"_s, bay, u"--hangup-after-line"_s, u"3"_s}));
        QProcess cli;
        cli.start(cliPath(), kFastTimings + QStringList{u"--port"_s, bay, u"--retries"_s, u"2"_s, imagePath()});
        QCOMPARE(first.summary(Simulator::Stop::AwaitExit).value(u"erase_count"_s).toInt(), 1);
        Simulator second;
        QVERIFY(second.start({u"--link"_s, bay}));
        QVERIFY(EventWait::until([&] { return cli.state() == QProcess::NotRunning; }, kProcessTimeoutMs));
        const QByteArray err = cli.readAllStandardError();
        QVERIFY2(!err.contains("Update OK"), err.constData());
        QVERIFY2(err.contains("the name may be handed to another device"), err.constData());
        QVERIFY2(!err.contains("trying again"), err.constData());
        // The unit that hung up was erased and written to.
        QCOMPARE(cli.exitCode(), 5);
        QCOMPARE(second.summary().value(u"erase_count"_s).toInt(), 0);
    }

    // Watching a port another program holds: the lane says who holds it and
    // sends nothing; once the port is free the unit is updated, and shown as
    // one to remove.
    void watchedPortHeldByAnother()
    {
        const QString bay = m_dir.filePath(u"held-bay"_s);
        Simulator sim;
        QVERIFY(sim.start({u"--link"_s, bay}));
        const int holder = ::open(QFile::encodeName(sim.device()).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(holder >= 0);
        auto closeHolder = qScopeGuard([holder] { ::close(holder); });
        QProcess cli;
        QByteArray err;
        connect(&cli, &QProcess::readyReadStandardError, this, [&] { err += cli.readAllStandardError(); });
        cli.start(cliPath(),
                  kFastTimings
                      + QStringList{u"--watch"_s, u"--probe-interval-ms"_s, u"100"_s, u"--port"_s, bay, imagePath()});
        WEXEL_TRY_VERIFY2_WITH_TIMEOUT(err.contains("busy, in use by"), err.constData(), kProcessTimeoutMs);
        QVERIFY2(!err.contains("waiting for a unit"), err.constData());
        closeHolder.dismiss();
        ::close(holder);
        WEXEL_TRY_VERIFY2_WITH_TIMEOUT(err.contains("PASS - remove the unit"), err.constData(), kProcessTimeoutMs);
        ::kill(pid_t(cli.processId()), SIGINT);
        QVERIFY(EventWait::until([&] { return cli.state() == QProcess::NotRunning; }, kProcessTimeoutMs));
        QCOMPARE(cli.exitCode(), 0);
        const QJsonObject summary = sim.summary();
        QCOMPARE(summary.value(u"erase_count"_s).toInt(), 1);
        QCOMPARE(summary.value(u"link_tests"_s).toInt() >= 1, true);
    }

    // The events a production line's software reads: all JSON, counted right.
    void jsonEvents()
    {
        Simulator sim;
        QVERIFY(sim.start({u"--exit-after-end"_s, u"--end-reply"_s, u"DONE\\x07\\xFF\"*"_s}));
        QStringList args = kFastTimings + QStringList{u"--json"_s, u"--port"_s, sim.device(), imagePath()};
        args[args.indexOf(u"--erase-ticks"_s) + 1] = u"7"_s;
        Result r;
        QVERIFY(runCli(args, &r));
        QCOMPARE(r.exitCode, 0);

        QList<QJsonObject> events;
        QByteArray bad;
        QVERIFY2(parseEvents(r.out, &events, &bad), bad.constData());

        const QList<QJsonObject> ticks = eventsNamed(events, u"erase-tick"_s);
        QCOMPARE(ticks.size(), 7);
        for (int i = 0; i < ticks.size(); ++i) {
            QCOMPARE(ticks[i].value(u"tick"_s).toInt(), i + 1);
            QCOMPARE(ticks[i].value(u"of"_s).toInt(), 7);
        }
        QCOMPARE(eventsNamed(events, u"erase-acknowledged"_s).size(), 1);

        const QList<QJsonObject> sent = eventsNamed(events, u"line-sent"_s);
        QCOMPARE(sent.size(), m_sentLines.size());
        for (int i = 0; i < sent.size(); ++i) {
            QCOMPARE(sent[i].value(u"line"_s).toInt(), i + 1);
            QCOMPARE(sent[i].value(u"of"_s).toInt(), kRawImage.size()); // the file's lines
        }
        // The events and the result agree: the end line's answer counts too.
        QCOMPARE(eventsNamed(events, u"line-acknowledged"_s).size(), m_sentLines.size());
        const QList<QJsonObject> endReplies = eventsNamed(events, u"end-reply"_s);
        QCOMPARE(endReplies.size(), 1);
        QCOMPARE(endReplies[0].value(u"reply"_s).toString(), u"DONE\\x07\\xFF\"*"_s);
        QCOMPARE(endReplies[0].value(u"reply_hex"_s).toString(), u"444f4e4507ff222a"_s);

        const QList<QJsonObject> results = eventsNamed(events, u"result"_s);
        QCOMPARE(results.size(), 1);
        QCOMPARE(events.constLast(), results[0]);
        QCOMPARE(results[0].value(u"ok"_s).toBool(), true);
        QCOMPARE(results[0].value(u"message"_s).toString(), u"Update OK"_s);
        QCOMPARE(results[0].value(u"exit"_s).toInt(), 0);
        QCOMPARE(results[0].value(u"lines_acknowledged"_s).toInt(), m_sentLines.size());

        QCOMPARE(sim.summary(Simulator::Stop::AwaitExit).value(u"checksum"_s).toString(), m_expectedChecksum);
    }

    void lowLatencyReported_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("line"); // on standard error; empty: none
        QTest::addColumn<QString>("state");
        // The simulator's pseudo-terminal is no USB adapter.
        QTest::newRow("asked") << QStringList{u"-v"_s} << QByteArray("low latency: not a USB adapter") << u"not-usb"_s;
        QTest::newRow("switched off") << QStringList{u"--verbose"_s, u"--no-low-latency"_s}
                                      << QByteArray("low latency: off\n") << u"off"_s;
        QTest::newRow("not verbose") << QStringList() << QByteArray() << u"not-usb"_s;
    }

    // Once the port is configured, before "KILL" goes out.
    void lowLatencyReported()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, line);
        QFETCH(QString, state);

        Simulator sim;
        QVERIFY(sim.start({u"--exit-after-end"_s}));
        Result r;
        QVERIFY(runCli(kFastTimings + options + QStringList{u"--json"_s, u"--port"_s, sim.device(), imagePath()}, &r));
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(line.isEmpty() ? !r.err.contains("low latency") : r.err.contains(line), r.err.constData());

        QList<QJsonObject> events;
        QByteArray bad;
        QVERIFY2(parseEvents(r.out, &events, &bad), bad.constData());
        const QList<QJsonObject> found = eventsNamed(events, u"low-latency"_s);
        QCOMPARE(found.size(), 1);
        QCOMPARE(found[0].value(u"state"_s).toString(), state);
        QCOMPARE(found[0].value(u"device"_s).toString(), sim.device());
        const qsizetype at = events.indexOf(found[0]);
        QCOMPARE(events.value(at + 1).value(u"event"_s).toString(), u"erase-sent"_s);
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("says");
        QTest::newRow("no FILE") << QStringList{u"--port"_s, u"COM 3"_s} << QByteArray("no firmware FILE");
        QTest::newRow("unknown option") << QStringList{u"--no-such-option"_s, u"fw.txt"_s}
                                        << QByteArray("no-such-option");
        QTest::newRow("not a number") << QStringList{u"--erase-ticks"_s, u"many"_s, u"fw.txt"_s}
                                      << QByteArray("not a number");
        QTest::newRow("zero erase ticks")
            << QStringList{u"--erase-ticks"_s, u"0"_s, u"fw.txt"_s} << QByteArray("not a number from 1");
        QTest::newRow("two files") << QStringList{u"a.txt"_s, u"b.txt"_s} << QByteArray("one firmware FILE only");
        QTest::newRow("link test with a file")
            << QStringList{u"--test-link"_s, u"fw.txt"_s} << QByteArray("takes no FILE");
        // Erasing whatever answers on COM 1 is no default.
        QTest::newRow("update without --port") << QStringList{u"fw.txt"_s} << QByteArray("--list-ports");
        QTest::newRow("the same port twice")
            << QStringList{u"--port"_s, u"COM 3"_s, u"--port"_s, u"com 3"_s, u"fw.txt"_s}
            << QByteArray("name the same device");
        QTest::newRow("a device and a link to it")
            << QStringList{u"--port"_s, u"/dev/null"_s, u"--port"_s, u"@link"_s, u"fw.txt"_s}
            << QByteArray("name the same device");
        QTest::newRow("--output without --check")
            << QStringList{u"--port"_s, u"COM 3"_s, u"--output"_s, u"sent.txt"_s, u"fw.txt"_s}
            << QByteArray("--output goes with --check only");
        // The text image made of a file must never take the file's place.
        QTest::newRow("--output over its own FILE, by a link")
            << QStringList{u"--check"_s, u"/dev/null"_s, u"--output"_s, u"@link"_s} << QByteArray("/dev/null itself");
        // Only watching looks for units.
        QTest::newRow("--gone-after-ms without --watch")
            << QStringList{u"--port"_s, u"COM 3"_s, u"--gone-after-ms"_s, u"500"_s, u"fw.txt"_s}
            << QByteArray("--gone-after-ms goes with --watch only");
        QTest::newRow("--probe-interval-ms without --watch")
            << QStringList{u"--port"_s, u"COM 3"_s, u"--probe-interval-ms"_s, u"500"_s, u"fw.txt"_s}
            << QByteArray("--probe-interval-ms goes with --watch only");
        // Would write nothing and say nothing.
        QTest::newRow("--output with no name") << QStringList{u"--check"_s, u"fw.txt"_s, u"--output"_s, QString()}
                                               << QByteArray("--output needs a file name");
        // Seen by every user of the machine in its list of processes.
        QTest::newRow("a password in --history-server")
            << QStringList{u"--port"_s, u"COM 3"_s, u"--history-server"_s, u"host=db password=secret"_s, u"fw.txt"_s}
            << QByteArray("--history-server: the connection string holds a password: put it in ~/.pgpass");
    }

    void usageErrors()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, says);
        // Which device a port or an output leads to is found out by the
        // commands as they start, not by the parser: the program judges these.
        const bool leadsToDevices = args.count(u"--port"_s) > 1 || args.contains(u"@link"_s);
        const QString link = m_dir.filePath(u"null-link"_s);
        QFile::link(u"/dev/null"_s, link);
        args.replaceInStrings(u"@link"_s, link);
        CliOptions options;
        if (!leadsToDevices) {
            QVERIFY(!options.parse(QStringList{u"wexel-update-cli"_s} + args));
            QVERIFY2(options.errorText().toUtf8().contains(says), qPrintable(options.errorText()));
            return;
        }
        Result r;
        QVERIFY(runCli(args, &r));
        QCOMPARE(r.exitCode, 2);
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.contains(says), r.err.constData());
    }

    // The program says a usage error on standard error, points at --help,
    // and ends with 2 before doing anything.
    void usageErrorEndsTheProgram()
    {
        Result r;
        QVERIFY(runCli({u"--erase-ticks"_s, u"many"_s, u"fw.txt"_s}, &r));
        QCOMPARE(r.exitCode, 2);
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.contains("--help"), r.err.constData());
        QVERIFY2(r.err.contains("not a number"), r.err.constData());
    }

    // Each way an update ends has the exit status a production line branches on.
    void exitCodeOfEachOutcome_data()
    {
        using Kind = UpdateOutcome::Kind;
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<bool>("earlierMayBeErased");
        QTest::addColumn<int>("code");
        QTest::newRow("success") << Kind::Success << false << 0;
        QTest::newRow("no file") << Kind::NoFile << false << 3;
        QTest::newRow("no port") << Kind::NoPort << false << 3;
        QTest::newRow("file error") << Kind::FileError << false << 3;
        QTest::newRow("port error") << Kind::PortError << false << 3;
        QTest::newRow("record error") << Kind::RecordError << false << 3;
        QTest::newRow("erase refused") << Kind::EraseRefused << false << 4;
        QTest::newRow("erase failed") << Kind::EraseFailed << false << 4;
        QTest::newRow("write refused") << Kind::WriteRefused << false << 5;
        QTest::newRow("write failed") << Kind::WriteFailed << false << 5;
        QTest::newRow("out of step") << Kind::OutOfStep << false << 5;
        QTest::newRow("interrupted") << Kind::Interrupted << false << 130;
        QTest::newRow("other device, nothing sent before") << Kind::DeviceChanged << false << 3;
        QTest::newRow("other device after an erase") << Kind::DeviceChanged << true << 5;
    }

    void exitCodeOfEachOutcome()
    {
        QFETCH(UpdateOutcome::Kind, kind);
        QFETCH(bool, earlierMayBeErased);
        QFETCH(int, code);
        UpdateOutcome outcome;
        outcome.kind = kind;
        outcome.earlier.mayBeErased = earlierMayBeErased;
        QCOMPARE(ExitCode::forOutcome(outcome), code);
    }

    // The result event a production line reads: the fields of a refused
    // line, the reply as escaped text and as hexadecimal, no device when
    // none was named.
    void resultEventFields()
    {
        UpdateOutcome outcome;
        outcome.kind = UpdateOutcome::Kind::WriteRefused;
        outcome.eraseSent = true;
        outcome.linesTotal = 21;
        outcome.linesAcknowledged = 9;
        outcome.failedLine = 10;
        outcome.reply = QByteArray("NG\x01\"*", 5);
        const QJsonObject e = JsonReporter::resultEvent(outcome, ExitCode::forOutcome(outcome));
        QCOMPARE(e.value(u"event"_s).toString(), u"result"_s);
        QCOMPARE(e.value(u"ok"_s).toBool(true), false);
        QCOMPARE(e.value(u"kind"_s).toString(), u"write-refused"_s);
        QCOMPARE(e.value(u"exit"_s).toInt(), 5);
        QCOMPARE(e.value(u"erase_sent"_s).toBool(), true);
        QCOMPARE(e.value(u"lines_total"_s).toInt(), 21);
        QCOMPARE(e.value(u"lines_acknowledged"_s).toInt(), 9);
        QCOMPARE(e.value(u"failed_line"_s).toInt(), 10);
        QCOMPARE(e.value(u"reply_hex"_s).toString(), u"4e4701222a"_s);
        QCOMPARE(e.value(u"reply"_s).toString(), u"NG\\x01\"*"_s);
        QVERIFY(!e.contains(u"device"_s));
        QVERIFY(!e.contains(u"reply_length"_s));
    }

    void checkOutput_data()
    {
        QTest::addColumn<QString>("existing"); // what OUT is before the run: "" for nothing
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("says"); // on standard error

        // The rename of the new file would make a text file of any of these.
        QTest::newRow("a FIFO") << u"fifo"_s << QByteArray("out.fifo") << 8 << QByteArray("a FIFO, not a regular file");
        QTest::newRow("a device node") << u"device"_s << QByteArray("out.dev") << 8
                                       << QByteArray("a character device, not a regular file");
        // Replaced, and still read-only.
        QTest::newRow("a read-only file") << u"read-only"_s << QByteArray("out.txt") << 0 << QByteArray();
        // Written under exactly that name, not one with U+FFFD in it.
        QTest::newRow("a name that is not UTF-8") << QString() << QByteArray("out\xff.txt") << 0 << QByteArray();
    }

    // --check --output replaces only a regular file, keeps its mode, and
    // takes its name as the bytes given.
    void checkOutput()
    {
        QFETCH(QString, existing);
        QFETCH(QByteArray, name);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, says);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray out = QFile::encodeName(dir.path()) + '/' + name;
        if (existing == u"fifo"_s) {
            QVERIFY(::mkfifo(out.constData(), 0600) == 0);
        } else if (existing == u"device"_s) {
            // The numbers of /dev/null, in a folder of the test's own.
            if (::mknod(out.constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
                QSKIP("device nodes cannot be made here");
        } else if (existing == u"read-only"_s) {
            QFile f(QFile::decodeName(out));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("old\n");
            f.close();
            QVERIFY(::chmod(out.constData(), 0444) == 0);
        }
        struct stat before
        { };
        const bool existed = ::stat(out.constData(), &before) == 0;
        const QStringList entries = QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);

        Result r;
        QVERIFY(runCliBytes({"--check", QFile::encodeName(imagePath()), "--output", name}, &r, dir.path()));
        QVERIFY2(r.exitCode == exitCode, r.err.constData());
        QVERIFY2(r.err.contains(says), r.err.constData());
        struct stat after
        { };
        QVERIFY(::stat(out.constData(), &after) == 0);
        if (exitCode != 0) {
            // Nothing written: the same node, nothing beside it.
            QCOMPARE(after.st_ino, before.st_ino);
            QCOMPARE(after.st_mode, before.st_mode);
            QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
                     entries + QStringList{u"run-cli.sh"_s});
            return;
        }
        QVERIFY(S_ISREG(after.st_mode));
        if (existed)
            QCOMPARE(after.st_mode & 07777, before.st_mode & 07777);
        const int fd = ::open(out.constData(), O_RDONLY | O_CLOEXEC);
        // Qt cannot name a file that is not UTF-8 to remove it.
        ::unlink(out.constData());
        QVERIFY(fd >= 0);
        QFile written;
        QVERIFY(written.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
        QCOMPARE(written.readAll(), m_sentLines.join('\n') + '\n');
    }

    // A firmware file and a record whose names are not UTF-8 are the files
    // named, byte for byte.
    void namesAreBytes()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray folder = QFile::encodeName(dir.path()) + '/';
        QFile image(QFile::decodeName(folder + "image.txt"));
        QVERIFY(QFile::copy(imagePath(), image.fileName()));
        QVERIFY(::rename((folder + "image.txt").constData(), (folder + "fw\xff.txt").constData()) == 0);

        Simulator sim;
        QVERIFY(sim.start());
        QByteArrayList args{"--quiet", "--record", "rec\xff.jsonl", "--port", QFile::encodeName(sim.device())};
        for (const QString &timing : kFastTimings)
            args += timing.toLatin1();
        Result r;
        QVERIFY(runCliBytes(args + QByteArrayList{"fw\xff.txt"}, &r, dir.path()));
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(sim.summary().value(u"checksum"_s).toString(), m_expectedChecksum);
        struct stat info
        { };
        const bool recorded = ::stat((folder + "rec\xff.jsonl").constData(), &info) == 0;
        // Qt cannot name these files to remove them.
        ::unlink((folder + "fw\xff.txt").constData());
        ::unlink((folder + "rec\xff.jsonl").constData());
        QVERIFY(recorded);
        QVERIFY(info.st_size > 0);
        QVERIFY(!QFileInfo::exists(dir.filePath(u"rec\ufffd.jsonl"_s)));
    }

    void linkTest_data()
    {
        QTest::addColumn<QString>("port"); // "sim": the simulator's device
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<int>("linkTests");

        // The reply's control byte and backslash come out escaped.
        QTest::newRow("simulator") << u"sim"_s << 0 << QByteArray("ARC\\x01 \\\\1.0*\n") << QByteArray() << 1;
        QTest::newRow("above the limit") << u"COM 256"_s << 6 << QByteArray() << QByteArray("COM PORT > 255\n") << 0;
        QTest::newRow("at the limit") << u"COM 255"_s << 6 << QByteArray() << QByteArray("TEST ERROR!!\n") << 0;
        QTest::newRow("missing port") << kMissingPort << 6 << QByteArray()
                                      << QByteArray("TEST ERROR!!\n  /dev/wexel-no-such-port: no such port") << 0;
    }

    void linkTest()
    {
        QFETCH(QString, port);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QFETCH(int, linkTests);

        Simulator sim;
        QVERIFY(sim.start({u"--arc-reply"_s, u"ARC\\x01 \\\\1.0*"_s}));
        if (port == u"sim"_s)
            port = sim.device();
        Result r;
        QVERIFY(runCli({u"--test-link"_s, u"--read-timeout-ms"_s, u"2000"_s, u"--port"_s, port}, &r));
        QCOMPARE(r.exitCode, exitCode);
        QCOMPARE(r.out, out);
        QVERIFY2(r.err.startsWith(err), r.err.constData());
        QCOMPARE(sim.summary().value(u"link_tests"_s).toInt(), linkTests);
    }

    void cutShort_data()
    {
        QTest::addColumn<int>("signalNumber"); // SIGPIPE: the reader of the output goes away
        QTest::addColumn<QString>("phase"); // "read", "erase" or "write"
        QTest::addColumn<int>("units");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("outcome"); // each record's

        // Stopped before "KILL": the instrument is untouched.
        QTest::newRow("SIGINT while the file is read") << int(SIGINT) << u"read"_s << 1 << 130 << u"interrupted"_s;
        QTest::newRow("SIGINT while the file is read, two instruments")
            << int(SIGINT) << u"read"_s << 2 << 130 << u"interrupted"_s;
        QTest::newRow("SIGTERM while erasing") << int(SIGTERM) << u"erase"_s << 1 << 130 << u"interrupted"_s;
        // A closed terminal or a dropped session.
        QTest::newRow("SIGHUP while writing") << int(SIGHUP) << u"write"_s << 1 << 130 << u"interrupted"_s;
        QTest::newRow("SIGHUP while writing, two instruments")
            << int(SIGHUP) << u"write"_s << 2 << 130 << u"interrupted"_s;
        // `... --json | head`: the output ends, the update does not.
        QTest::newRow("output closed while writing") << int(SIGPIPE) << u"write"_s << 1 << 0 << u"success"_s;
        QTest::newRow("output closed while writing, two instruments")
            << int(SIGPIPE) << u"write"_s << 2 << 0 << u"success"_s;
    }

    // Every way a run is cut short ends with an outcome, its exit code and a
    // record per instrument, and no port left locked.
    void cutShort()
    {
        QFETCH(int, signalNumber);
        QFETCH(QString, phase);
        QFETCH(int, units);
        QFETCH(int, exitCode);
        QFETCH(QString, outcome);

        // A large image keeps the reading going for a while; a paced
        // instrument keeps the writing going.
        QString image = imagePath();
        if (phase == u"read"_s) {
            image = m_dir.filePath(u"large.txt"_s);
            if (!QFileInfo::exists(image)) {
                QFile f(image);
                QVERIFY(f.open(QIODevice::WriteOnly));
                const QByteArray block = QByteArray("@F000\n")
                    + QByteArray("31 40 00 24 B2 40 80 5A 20 01 41 42 43 44 45 46\n").repeated(20000);
                while (f.size() < 60 * 1024 * 1024)
                    QVERIFY(f.write(block) == block.size());
            }
        }
        std::vector<std::unique_ptr<Simulator>> sims;
        QStringList args{u"--json"_s,          u"--quiet"_s,
                         u"--erase-tick-ms"_s, u"100"_s,
                         u"--erase-ticks"_s,   phase == u"erase"_s ? u"600"_s : u"2"_s,
                         u"--hand-over-ms"_s,  u"10"_s};
        for (int i = 0; i < units; ++i) {
            sims.push_back(std::make_unique<Simulator>());
            QVERIFY(sims.back()->start({u"--ack-delay-ms"_s, u"20"_s}));
            args << u"--port"_s << sims.back()->device();
        }
        const QString record = m_dir.filePath(u"signals-%1.jsonl"_s.arg(QTest::currentDataTag()));
        QFile::remove(record);
        args << u"--record"_s << record << image;

        // The events go to a pipe the test reads, and may stop reading.
        const QString fifo = m_dir.filePath(u"cut-short.fifo"_s);
        QFile::remove(fifo);
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(reader >= 0);
        const auto closeReader = qScopeGuard([&reader] {
            if (reader >= 0)
                ::close(reader);
        });
        QByteArray out;
        const auto readEvents = [&] {
            char buffer[4096];
            for (ssize_t n; reader >= 0 && (n = ::read(reader, buffer, sizeof buffer)) > 0;)
                out.append(buffer, n);
        };
        QProcess cli;
        cli.setStandardOutputFile(fifo);
        cli.start(cliPath(), args);
        QVERIFY(cli.waitForStarted());
        const auto pid = pid_t(cli.processId());
        if (phase == u"read"_s) {
            // Reading once the image is open.
            const QString target = QFileInfo(image).canonicalFilePath();
            WEXEL_TRY_VERIFY_WITH_TIMEOUT(openBy(pid).contains(target), kProcessTimeoutMs);
        } else {
            const QByteArray awaited = phase == u"erase"_s ? "\"erase-tick\"" : "\"line-acknowledged\",\"line\":5";
            WEXEL_TRY_VERIFY_WITH_TIMEOUT((readEvents(), out.contains(awaited)), kProcessTimeoutMs);
        }
        if (signalNumber == SIGPIPE) {
            ::close(reader);
            reader = -1;
        } else {
            QVERIFY(::kill(pid, signalNumber) == 0);
        }
        WEXEL_TRY_COMPARE_WITH_TIMEOUT((readEvents(), cli.state()), QProcess::NotRunning, kProcessTimeoutMs);
        QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
        const QByteArray err = cli.readAllStandardError();
        QVERIFY2(cli.exitCode() == exitCode, err.constData());

        QFile f(record);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArrayList lines = f.readAll().trimmed().split('\n');
        QCOMPARE(lines.size(), units);
        for (int i = 0; i < units; ++i) {
            const QJsonObject r = QJsonDocument::fromJson(lines.at(i)).object();
            QCOMPARE(r.value(u"outcome"_s).toString(), outcome);
            QCOMPARE(r.value(u"erase_sent"_s).toBool(), phase != u"read"_s);
            const QJsonObject summary = sims.at(i)->summary();
            QCOMPARE(summary.value(u"erase_count"_s).toInt(), phase == u"read"_s ? 0 : 1);
            if (outcome == u"success"_s)
                QVERIFY(summary.value(u"end_line_seen"_s).toBool());
            // No lock of this run's left behind for the port.
            const QString lock
                = u"LCK.."_s + QFileInfo(sims.at(i)->device()).canonicalFilePath().mid(5).replace(u'/', u'_');
            for (const char *dir : {"/var/lock", "/run/lock", "/tmp"}) {
                QFile lockFile(QDir(QString::fromLatin1(dir)).filePath(lock));
                QVERIFY2(!lockFile.open(QIODevice::ReadOnly) || lockFile.readLine().trimmed().toLongLong() != pid,
                         qPrintable(lockFile.fileName()));
            }
        }
    }

    // A reader of --json that stops reading for a while: the update goes on
    // and is recorded while the events wait for it, and once the instrument
    // is done the program waits for the reader: no line is cut, the result
    // comes last.
    void slowReaderDoesNotHoldUpTheInstrument()
    {
        // Far more events than a pipe holds.
        const QString image = m_dir.filePath(u"long.txt"_s);
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(MatrixSupport::lines(3000) + "q\n");
        f.close();
        const QString fifo = m_dir.filePath(u"events.fifo"_s);
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(reader >= 0);
        const auto closeReader = qScopeGuard([reader] { ::close(reader); });

        Simulator sim;
        QVERIFY(sim.start());
        const QString record = m_dir.filePath(u"slow-reader.jsonl"_s);
        QProcess cli;
        cli.setStandardOutputFile(fifo);
        cli.start(cliPath(),
                  kFastTimings
                      + QStringList{u"--json"_s, u"--quiet"_s, u"--record"_s, record, u"--port"_s, sim.device(),
                                    image});
        // Recorded, the update over, while nobody has read a byte.
        WEXEL_TRY_VERIFY_WITH_TIMEOUT(QFileInfo(record).size() > 0, kProcessTimeoutMs);
        // Still not read for longer than the program gives its output at exit.
        EventWait::forMs(3000);

        QByteArray events;
        char buffer[65536];
        WEXEL_TRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;)
                    events.append(buffer, n);
                return cli.state() == QProcess::NotRunning;
            }(),
            kProcessTimeoutMs);
        QCOMPARE(cli.exitCode(), 0);
        QList<QJsonObject> parsed;
        QByteArray bad;
        QVERIFY2(parseEvents(events, &parsed, &bad), bad.constData());
        QCOMPARE(parsed.constLast().value(u"event"_s).toString(), u"result"_s);
        QCOMPARE(eventsNamed(parsed, u"line-acknowledged"_s).size(), 3001);
    }

    // The record names the device behind the port's link as it was when the
    // port opened, also when the link is gone by the time the record is written.
    void recordNamesTheDevice()
    {
        Simulator sim;
        QVERIFY(sim.start({u"--ignore-line"_s, u"3"_s}));
        const QString link = m_dir.filePath(u"bay-record"_s);
        QVERIFY(QFile::link(sim.device(), link));
        const QString record = m_dir.filePath(u"device.jsonl"_s);
        QProcess cli;
        QByteArray out;
        connect(&cli, &QProcess::readyReadStandardOutput, &cli, [&] { out += cli.readAllStandardOutput(); });
        cli.start(cliPath(),
                  fastCliTimings(2000)
                      + QStringList{u"--json"_s, u"--quiet"_s, u"--record"_s, record, u"--port"_s, link, imagePath()});
        WEXEL_TRY_VERIFY_WITH_TIMEOUT(out.contains("{\"event\":\"line-sent\",\"line\":3,"), kProcessTimeoutMs);
        QVERIFY(QFile::remove(link));
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(cli.state(), QProcess::NotRunning, kProcessTimeoutMs);
        QCOMPARE(cli.exitCode(), 5);
        QFile f(record);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QJsonObject r = QJsonDocument::fromJson(f.readAll()).object();
        QCOMPARE(r.value(u"port"_s).toString(), link);
        QCOMPARE(r.value(u"device"_s).toString(), QFileInfo(sim.device()).canonicalFilePath());
    }

    void historyServer_data()
    {
        QTest::addColumn<bool>("up");
        QTest::addColumn<QByteArray>("says");
        QTest::newRow("server up") << true << QByteArray();
        QTest::newRow("server down")
            << false << QByteArray("1 record waiting for the server: history server: connection to server on socket");
    }

    // The attempt reaches the server at the end of the run, or waits in the
    // history, told; the update's exit code is the update's either way.
    void historyServer()
    {
        QFETCH(bool, up);
        QFETCH(QByteArray, says);
        QTemporaryDir dir;
        QString conninfo = u"host=%1 dbname=postgres"_s.arg(dir.path()); // no server there
        if (up) {
            QString why;
            if (!ThrowawayPostgres::available(&why))
                QSKIP(qPrintable(why));
            if (!m_postgres) {
                m_postgres = std::make_unique<ThrowawayPostgres>();
                QVERIFY2(m_postgres->start(), qPrintable(m_postgres->error()));
            }
            conninfo = m_postgres->conninfo();
        }
        Simulator sim;
        QVERIFY(sim.start());
        Result r;
        QVERIFY(runCli(kFastTimings
                           + QStringList{u"--quiet"_s, u"--history"_s, dir.filePath(u"history.sqlite"_s),
                                         u"--history-server"_s, conninfo, u"--port"_s, sim.device(), imagePath()},
                       &r));
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY2(r.err.startsWith("Update OK\n"), r.err.constData());
        if (up) {
            QVERIFY2(!r.err.contains("waiting for the server"), r.err.constData());
            QCOMPARE(m_postgres->number(u"SELECT count(*) FROM attempts WHERE outcome = 'success'"_s), 1);
        } else {
            QVERIFY2(r.err.contains(says), r.err.constData());
        }
    }

    // The report of --check is the command's answer: written whole however
    // long (an address map of many blocks), not dropped as progress would be.
    void checkReportIsWhole()
    {
        const QString image = m_dir.filePath(u"many-blocks.txt"_s);
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly));
        constexpr int kBlocks = 40000; // some 30 bytes of report each
        for (int i = 0; i < kBlocks; ++i)
            f.write(QByteArray::number(i * 16, 16).toUpper().rightJustified(5, '0').prepend('@') + "\n31 40\n");
        f.write("q\n");
        f.close();
        Result r;
        QVERIFY(runCli({u"--check"_s, image}, &r));
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY2(r.out.size() > 1024 * 1024, qPrintable(QString::number(r.out.size())));
        QVERIFY(r.out.contains("9C3F0-9C3F1")); // the last block
        QVERIFY(r.out.contains("SHA-256 of the lines sent"));
        QVERIFY(r.out.endsWith('\n'));
    }

    // On a terminal the progress fits its width, shows the hand-over as a
    // phase, and says so when the instrument is late.
    void progressOnANarrowTerminal()
    {
        constexpr int kColumns = 50;
        Simulator sim;
        QVERIFY(sim.start({u"--ignore-line"_s, u"5"_s}));
        PtyPeer terminal;
        QVERIFY(terminal.isValid());
        const int fd = ::open(QFile::encodeName(terminal.slavePath()).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        winsize size{};
        size.ws_row = 24;
        size.ws_col = kColumns;
        QVERIFY(::ioctl(fd, TIOCSWINSZ, &size) == 0);
        ::close(fd);

        QProcess cli;
        cli.setStandardErrorFile(terminal.slavePath());
        cli.start(cliPath(),
                  {u"--erase-tick-ms"_s, u"30"_s, u"--erase-ticks"_s, u"10"_s, u"--hand-over-ms"_s, u"400"_s,
                   u"--read-timeout-ms"_s, u"2500"_s, u"--port"_s, sim.device(), imagePath()});
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(cli.state(), QProcess::NotRunning, kProcessTimeoutMs);
        QCOMPARE(cli.exitCode(), 5);
        WEXEL_TRY_VERIFY_WITH_TIMEOUT(terminal.received().contains("Code Downloading is error."), kProcessTimeoutMs);

        // The progress is everything before the result; each piece drawn
        // between carriage returns and line feeds, escapes aside, must fit.
        QByteArray progress = terminal.received();
        progress.truncate(progress.indexOf("Code Downloading is error."));
        const QString drawn = QString::fromLatin1(progress).remove(QRegularExpression(u"\x1b\\[[0-9]*[A-Z]"_s));
        for (const QString &piece : drawn.split(QRegularExpression(u"[\r\n]"_s)))
            QVERIFY2(piece.size() < kColumns, qPrintable(piece));
        QVERIFY2(drawn.contains(u"Handing over"_s), qPrintable(drawn));
        QVERIFY2(drawn.contains(u"waiting for the instrument (1 s)"_s), qPrintable(drawn));
    }

    void listPorts()
    {
        Result r;
        QVERIFY(runCli({u"--list-ports"_s}, &r));
        QCOMPARE(r.exitCode, 0);
        const QByteArrayList lines = r.out.split('\n');
        QVERIFY(lines.size() > 10);
        for (int i = 0; i < 10; ++i) {
            QVERIFY2(lines[i].startsWith("COM " + QByteArray::number(i + 1) + '\t'), lines[i].constData());
            // Each says whether this machine has its device.
            const QByteArrayList fields = lines[i].split('\t');
            QCOMPARE(fields.size(), 3);
            QCOMPARE(fields[2], QFileInfo::exists(QString::fromLocal8Bit(fields[1])) ? "present" : "absent");
        }
    }

private:
    // The files a process has open.
    static QStringList openBy(pid_t pid)
    {
        QStringList targets;
        const QDir fds(u"/proc/%1/fd"_s.arg(pid));
        for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
            targets << QFile::symLinkTarget(fds.filePath(fd));
        return targets;
    }

    QString imagePath() const { return m_dir.filePath(u"image.txt"_s); }
    QString emptyPath() const { return m_dir.filePath(u"empty.txt"_s); }

    QTemporaryDir m_dir;
    QByteArrayList m_sentLines;
    QString m_expectedChecksum;
    std::unique_ptr<ThrowawayPostgres> m_postgres;
};

WEXEL_REGISTER_TEST(CliTest)

#include "tst_cli.moc"
