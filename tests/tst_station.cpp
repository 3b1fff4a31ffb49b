// Several instruments updated by one run of the command line, as a
// production line's rack: each unit ends on its own, what each simulated
// instrument received, and the record each unit leaves.
#include "clitestsupport.h"
#include "eventwait.h"
#include "matrixsupport.h"
#include "testfiles.h"
#include "testregistry.h"

#include "core/link/seriallink.h"
#include "history/historystore.h"
#include "sim/memoryimage.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <csignal>
#include <sys/resource.h>

using namespace CliTestSupport;
using namespace MatrixSupport;
using namespace Qt::Literals::StringLiterals;

namespace {

const QStringList kFastTimings = fastCliTimings(500);

// Each line of a record file as an object; a line that is no JSON object fails.
bool readRecords(const QString &path, QList<QJsonObject> *records)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    QByteArray bad;
    return parseEvents(f.readAll(), records, &bad) && bad.isEmpty();
}

} // namespace

class StationTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_image = lines(20) + "q\n"; // 21 lines, the end line last

    QString imagePath() const { return m_dir.filePath(u"fw.txt"_s); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(TestFiles::writeFile(imagePath(), m_image));
    }

    // Success, a refusal, silence, a hang-up and a busy port in one run:
    // every unit ends on its own, and only the first is updated.
    void mixedOutcomes()
    {
        struct Unit
        {
            QStringList faults;
            QString kind;
            int linesReceived; // -1: nothing reached the instrument
            int failedLine;
        };
        const QList<Unit> units{
            {{}, u"success"_s, 21, 0},
            {{u"--refuse-line"_s, u"7"_s}, u"write-refused"_s, 7, 7},
            {{u"--ignore-line"_s, u"4"_s}, u"write-failed"_s, 4, 4},
            {{u"--hangup-after-line"_s, u"5"_s}, u"write-failed"_s, 5, 6},
            {{}, u"port-error"_s, -1, 0},
        };
        std::vector<std::unique_ptr<Simulator>> sims;
        QStringList args = kFastTimings;
        const QString record = m_dir.filePath(u"mixed.jsonl"_s);
        const QString history = m_dir.filePath(u"mixed.sqlite"_s);
        args += {u"--json"_s, u"--quiet"_s,      u"--record"_s, record,          u"--history"_s,
                 history,     u"--station-id"_s, u"bay-1"_s,    u"--operator"_s, u"ann"_s};
        for (const Unit &u : units) {
            sims.push_back(std::make_unique<Simulator>());
            QVERIFY(sims.back()->start(u.faults));
            args += {u"--port"_s, sims.back()->device(), u"--unit-serial"_s, u"SN-%1"_s.arg(sims.size())};
        }
        SerialLink holder; // another program, holding the last port
        holder.setDevicePath(sims.back()->device());
        QVERIFY(holder.configure());

        Result r;
        QVERIFY(runCli(args + QStringList{imagePath()}, &r));
        holder.close();
        QCOMPARE(r.exitCode, 7);

        QList<QJsonObject> events;
        QByteArray bad;
        QVERIFY2(parseEvents(r.out, &events, &bad), bad.constData());
        QList<QJsonObject> records;
        QVERIFY(readRecords(record, &records));
        QCOMPARE(records.size(), units.size());
        // The history has the same attempts, each with its unit's serial and the station.
        QHash<QString, HistoryRow> rows;
        HistoryStore store;
        QVERIFY2(store.open(history), qPrintable(store.error()));
        QVERIFY(store.read({}, [&](const HistoryRow &row) { rows.insert(row.port, row); }));
        QCOMPARE(rows.size(), units.size());
        QFile image(imagePath());
        QVERIFY(image.open(QIODevice::ReadOnly));
        const QString sha256
            = QString::fromLatin1(QCryptographicHash::hash(image.readAll(), QCryptographicHash::Sha256).toHex());

        QStringList failed;
        for (qsizetype i = 0; i < units.size(); ++i) {
            const Unit &u = units.at(i);
            const QString port = sims.at(size_t(i))->device();
            if (u.kind != u"success"_s)
                failed << port;
            // Its events, all named by its port, end with its result.
            QList<QJsonObject> own;
            for (const QJsonObject &e : std::as_const(events))
                if (e.value(u"port"_s).toString() == port)
                    own << e;
            const QList<QJsonObject> results = eventsNamed(own, u"result"_s);
            QCOMPARE(results.size(), 1);
            QCOMPARE(results[0].value(u"kind"_s).toString(), u.kind);
            QCOMPARE(results[0].value(u"failed_line"_s).toInt(), u.failedLine);

            QJsonObject rec;
            for (const QJsonObject &candidate : std::as_const(records))
                if (candidate.value(u"port"_s).toString() == port)
                    rec = candidate;
            QCOMPARE(rec.value(u"outcome"_s).toString(), u.kind);
            const HistoryRow row = rows.value(port);
            QCOMPARE(row.outcome, u.kind);
            QCOMPARE(row.unitSerial, u"SN-%1"_s.arg(i + 1));
            QCOMPARE(row.station + u'/' + row.operatorName, u"bay-1/ann"_s);
            QCOMPARE(QJsonDocument::fromJson(row.record.toUtf8()).object(), rec);
            QCOMPARE(rec.value(u"ok"_s).toBool(), u.kind == u"success"_s);
            QCOMPARE(rec.value(u"failed_line"_s).toInt(), u.failedLine);
            QCOMPARE(rec.value(u"lines_acknowledged"_s).toInt(), results[0].value(u"lines_acknowledged"_s).toInt());
            QCOMPARE(rec.value(u"lines"_s).toInt(), 21);
            QCOMPARE(rec.value(u"image_sha256"_s).toString(), sha256);
            QCOMPARE(rec.value(u"device"_s).toString(), port); // pseudo-terminals have no other name
            QVERIFY(!rec.value(u"host"_s).toString().isEmpty());
            QVERIFY(!rec.value(u"tool_version"_s).toString().isEmpty());
            const QDateTime started = QDateTime::fromString(rec.value(u"started"_s).toString(), Qt::ISODateWithMs);
            const QDateTime finished = QDateTime::fromString(rec.value(u"finished"_s).toString(), Qt::ISODateWithMs);
            QVERIFY(started.isValid() && finished.isValid() && started <= finished);
            QCOMPARE(started.timeSpec(), Qt::UTC);

            const QJsonObject summary = sims.at(size_t(i))->summary(
                u.faults.contains(u"--hangup-after-line"_s) ? Simulator::Stop::AwaitExit : Simulator::Stop::Terminate);
            QCOMPARE(summary.value(u"erase_count"_s).toInt(), u.linesReceived < 0 ? 0 : 1);
            QCOMPARE(summary.value(u"lines_received"_s).toInt(), qMax(u.linesReceived, 0));
            if (u.kind == u"success"_s) {
                MemoryImage expected;
                for (const QByteArray &line : sentLines(m_image))
                    expected.addLine(line.toStdString());
                QCOMPARE(summary.value(u"checksum"_s).toString(), checksumText(expected.checksum()));
            }
        }
        const QList<QJsonObject> station = eventsNamed(events, u"station-result"_s);
        QCOMPARE(station.size(), 1);
        QCOMPARE(station[0].value(u"failed"_s).toArray(), QJsonArray::fromStringList(failed));
        // The summary table names every unit; the failed ones are listed.
        for (const auto &sim : sims)
            QVERIFY2(r.err.contains(sim->device().toLocal8Bit()), r.err.constData());
        QVERIFY2(r.err.contains("Not updated: 4 of 5"), r.err.constData());
    }

    void recordsThatCannotBeKept_data()
    {
        QTest::addColumn<QString>("where");
        QTest::addColumn<int>("units");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("says");

        // Refused before any instrument is touched.
        QTest::newRow("a directory") << u"directory"_s << 2 << 3 << QByteArray("the record file cannot be opened");
        QTest::newRow("the image itself") << u"image"_s << 1 << 3 << QByteArray("is the firmware image itself");
        QTest::newRow("a file of /proc") << u"proc"_s << 1 << 3 << QByteArray("a file of the system's own");
        // The instruments are updated, their records lost: the run fails all the same.
        for (const int units : {1, 2}) {
            QTest::addRow("disk full, %d instruments", units)
                << u"full"_s << units << 8 << QByteArray("No space left on device");
            QTest::addRow("cut short by a size limit, %d instruments", units)
                << u"limit"_s << units << 8 << QByteArray("File too large");
        }
    }

    // A record that cannot be kept never passes as kept, and never leaves a
    // fragment for the next record to be glued to.
    void recordsThatCannotBeKept()
    {
        QFETCH(QString, where);
        QFETCH(int, units);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, says);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QString record = dir.filePath(u"records.jsonl"_s);
        // A whole page of the file system, so that not even the page's rest is free.
        const QByteArray earlier = "{\"earlier\":\"" + QByteArray(4096 - 15, 'x') + "\"}\n";
        QString mounted;
        if (where == u"directory"_s) {
            record = dir.path();
        } else if (where == u"image"_s) {
            record = imagePath();
        } else if (where == u"proc"_s) {
            record = u"/proc/self/status"_s;
        } else if (where == u"full"_s) {
            // A small file system of our own, filled up.
            mounted = dir.filePath(u"small"_s);
            QVERIFY(QDir().mkdir(mounted));
            if (QProcess::execute(u"mount"_s, {u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size=64k"_s, u"tmpfs"_s, mounted}) != 0)
                QSKIP("a full file system needs a tmpfs mount: run the tests as root");
            record = mounted + u"/records.jsonl"_s;
            QFile r(record);
            QVERIFY(r.open(QIODevice::WriteOnly) && r.write(earlier) == earlier.size());
            r.close();
            QFile filler(mounted + u"/filler"_s);
            QVERIFY(filler.open(QIODevice::WriteOnly));
            while (filler.write(QByteArray(4096, 'x')) > 0 && filler.flush()) { }
        } else {
            QFile r(record);
            QVERIFY(r.open(QIODevice::WriteOnly) && r.write(earlier) == earlier.size());
        }
        const auto cleanUp = qScopeGuard([&] {
            if (!mounted.isEmpty())
                QProcess::execute(u"umount"_s, {mounted});
        });

        std::vector<std::unique_ptr<Simulator>> sims;
        // The record file's own failures: a size limit would stop the history too.
        QStringList args = kFastTimings + QStringList{u"--quiet"_s, u"--no-history"_s, u"--record"_s, record};
        for (int i = 0; i < units; ++i) {
            sims.push_back(std::make_unique<Simulator>());
            QVERIFY(sims.back()->start());
            args += {u"--port"_s, sims.back()->device()};
        }
        QProcess cli;
        if (where == u"limit"_s) {
            // Room for a few bytes of a record, not for a whole one.
            const rlim_t limit = rlim_t(earlier.size() + 100);
            cli.setChildProcessModifier([limit] {
                const rlimit r{limit, limit};
                ::setrlimit(RLIMIT_FSIZE, &r);
            });
        }
        cli.start(cliPath(), args + QStringList{imagePath()});
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(cli.state(), QProcess::NotRunning, kProcessTimeoutMs);
        const QByteArray err = cli.readAllStandardError();
        QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
        QVERIFY2(cli.exitCode() == exitCode, err.constData());
        QVERIFY2(err.contains(says), err.constData());
        for (const auto &sim : sims)
            QCOMPARE(sim->summary().value(u"erase_count"_s).toInt(), exitCode == 3 ? 0 : 1);
        if (exitCode == 8) {
            if (units > 1)
                QVERIFY2(err.contains("Records not written: 2 of 2"), err.constData());
            // No fragment: the file is as it was.
            QFile r(record);
            QVERIFY(r.open(QIODevice::ReadOnly));
            QCOMPARE(r.readAll(), earlier);
        }
        if (where == u"image"_s) {
            QFile image(imagePath());
            QVERIFY(image.open(QIODevice::ReadOnly));
            QCOMPARE(image.readAll(), m_image);
        }
    }

    // --watch with two lanes: each updates every unit that arrives, once,
    // and waits for it to go; one unit needs a second attempt (--retries).
    void watchModeUpdatesEachArrivalOnce()
    {
        const QString record = m_dir.filePath(u"watch.jsonl"_s);
        const QStringList ports{m_dir.filePath(u"bay-1"_s), m_dir.filePath(u"bay-2"_s)};
        QProcess cli;
        QByteArray out;
        connect(&cli, &QProcess::readyReadStandardOutput, &cli, [&] { out += cli.readAllStandardOutput(); });
        cli.start(cliPath(),
                  kFastTimings
                      + QStringList{u"--json"_s, u"--quiet"_s, u"--watch"_s, u"--retries"_s, u"1"_s,
                                    u"--probe-interval-ms"_s, u"100"_s, u"--gone-after-ms"_s, u"300"_s, u"--record"_s,
                                    record, u"--port"_s, ports.at(0), u"--port"_s, ports.at(1), imagePath()});
        QVERIFY(cli.waitForStarted());
        const auto results = [&](const QString &port) {
            QList<QJsonObject> events;
            QByteArray bad;
            parseEvents(out, &events, &bad);
            int n = 0;
            for (const QJsonObject &e : eventsNamed(events, u"result"_s))
                n += e.value(u"port"_s).toString() == port;
            return n;
        };
        // Two units at each bay, one after the other; the first at bay 1
        // refuses a line once.
        for (int unit = 0; unit < 2; ++unit) {
            for (int bay = 0; bay < 2; ++bay) {
                Simulator sim;
                QStringList faults{u"--link"_s, ports.at(bay)};
                if (unit == 0 && bay == 0)
                    faults += {u"--refuse-line"_s, u"3"_s, u"--fault-once"_s};
                QVERIFY(sim.start(faults));
                WEXEL_TRY_COMPARE_WITH_TIMEOUT(results(ports.at(bay)), unit + 1, kProcessTimeoutMs);
                // Still there a while: not updated again.
                EventWait::forMs(400);
                QCOMPARE(sim.summary().value(u"erase_count"_s).toInt(), unit == 0 && bay == 0 ? 2 : 1);
            }
        }
        QVERIFY(::kill(pid_t(cli.processId()), SIGINT) == 0);
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(cli.state(), QProcess::NotRunning, kProcessTimeoutMs);
        const QByteArray err = cli.readAllStandardError();
        QVERIFY2(cli.exitCode() == 0, err.constData());
        QVERIFY2(err.contains("Watched 2 ports: 4 units updated, 0 not updated"), err.constData());

        QList<QJsonObject> records;
        QVERIFY(readRecords(record, &records));
        QStringList recorded;
        for (const QJsonObject &r : std::as_const(records))
            recorded << u"%1 %2 %3/%4"_s
                            .arg(QFileInfo(r.value(u"port"_s).toString()).fileName(), r.value(u"outcome"_s).toString())
                            .arg(r.value(u"attempt"_s).toInt())
                            .arg(r.value(u"of"_s).toInt());
        QCOMPARE(recorded,
                 (QStringList{u"bay-1 write-refused 1/2"_s, u"bay-1 success 2/2"_s, u"bay-2 success 1/2"_s,
                              u"bay-1 success 1/2"_s, u"bay-2 success 1/2"_s}));
    }

    // Watching, a record lost for a unit that others followed on its lane
    // still fails the run, and the summary names that unit.
    void watchModeCountsEveryLostRecord()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString record = dir.filePath(u"watch-lost.jsonl"_s);
        const QString port = dir.filePath(u"bay"_s);
        // The first unit's record meets a file at its size limit; the test
        // then empties the file, and the second unit's record fits.
        const QByteArray earlier(4096, 'x');
        {
            QFile r(record);
            QVERIFY(r.open(QIODevice::WriteOnly) && r.write(earlier) == earlier.size());
        }
        QProcess cli;
        cli.setChildProcessModifier([limit = rlim_t(earlier.size() + 100)] {
            const rlimit r{limit, limit};
            ::setrlimit(RLIMIT_FSIZE, &r);
        });
        QByteArray out;
        connect(&cli, &QProcess::readyReadStandardOutput, &cli, [&] { out += cli.readAllStandardOutput(); });
        cli.start(cliPath(),
                  kFastTimings
                      + QStringList{u"--json"_s, u"--quiet"_s, u"--watch"_s, u"--probe-interval-ms"_s, u"100"_s,
                                    u"--gone-after-ms"_s, u"300"_s, u"--no-history"_s, u"--record"_s, record,
                                    u"--port"_s, port, imagePath()});
        QVERIFY(cli.waitForStarted());
        const auto events = [&](const QString &name) {
            QList<QJsonObject> all;
            QByteArray bad;
            parseEvents(out, &all, &bad);
            return eventsNamed(all, name);
        };
        const auto results = [&] { return events(u"result"_s); };
        const auto waits = [&] {
            return int(events(u"lane"_s).count(QJsonObject{{u"event"_s, u"lane"_s}, {u"state"_s, u"waiting"_s}}));
        };
        for (int unit = 1; unit <= 2; ++unit) {
            Simulator sim;
            QVERIFY(sim.start({u"--link"_s, port}));
            WEXEL_TRY_COMPARE_WITH_TIMEOUT(results().size(), unit, kProcessTimeoutMs);
            QCOMPARE(results().constLast().value(u"exit"_s).toInt(), unit == 1 ? 8 : 0);
            QVERIFY(QFile::resize(record, 0));
            // Gone: the simulator ends and takes its link away, and the lane
            // waits for the next before it comes.
            QCOMPARE(sim.summary().value(u"erase_count"_s).toInt(), 1);
            WEXEL_TRY_COMPARE_WITH_TIMEOUT(waits(), unit + 1, kProcessTimeoutMs);
        }
        QVERIFY(::kill(pid_t(cli.processId()), SIGINT) == 0);
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(cli.state(), QProcess::NotRunning, kProcessTimeoutMs);
        const QByteArray err = cli.readAllStandardError();
        QVERIFY2(cli.exitCode() == 8, err.constData());
        QVERIFY2(err.contains("Watched 1 port: 2 units updated, 0 not updated"), err.constData());
        QVERIFY2(err.contains("Records not written: 1 unit (" + QFile::encodeName(port) + " unit 1): "),
                 err.constData());
        QVERIFY2(err.contains("File too large"), err.constData());
    }

    // --watch while the record file is rotated between two units: the
    // second unit's record starts the new file, and the run says so.
    void recordFileRotatedWhileWatching()
    {
        const QString record = m_dir.filePath(u"rotated.jsonl"_s);
        const QString port = m_dir.filePath(u"bay-rotated"_s);
        QProcess cli;
        QByteArray out;
        connect(&cli, &QProcess::readyReadStandardOutput, &cli, [&] { out += cli.readAllStandardOutput(); });
        cli.start(cliPath(),
                  kFastTimings
                      + QStringList{u"--json"_s, u"--quiet"_s, u"--watch"_s, u"--probe-interval-ms"_s, u"100"_s,
                                    u"--gone-after-ms"_s, u"300"_s, u"--no-history"_s, u"--record"_s, record,
                                    u"--port"_s, port, imagePath()});
        QVERIFY(cli.waitForStarted());
        const auto results = [&] {
            QList<QJsonObject> events;
            QByteArray bad;
            parseEvents(out, &events, &bad);
            return eventsNamed(events, u"result"_s);
        };
        for (int unit = 1; unit <= 2; ++unit) {
            Simulator sim;
            QVERIFY(sim.start({u"--link"_s, port}));
            WEXEL_TRY_COMPARE_WITH_TIMEOUT(results().size(), unit, kProcessTimeoutMs);
            if (unit == 1)
                QVERIFY(QFile::rename(record, record + u".1"_s));
        }
        QVERIFY(::kill(pid_t(cli.processId()), SIGINT) == 0);
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(cli.state(), QProcess::NotRunning, kProcessTimeoutMs);
        const QByteArray err = cli.readAllStandardError();
        QVERIFY2(cli.exitCode() == 0, err.constData());
        const QString notice = u"record file was moved or deleted: reopened "_s + record;
        QVERIFY2(err.contains(notice.toUtf8()), err.constData());
        QVERIFY(!results().at(0).contains(u"record_notice"_s));
        QCOMPARE(results().at(1).value(u"record_notice"_s).toString(), notice);
        for (const QString &file : {record + u".1"_s, record}) {
            QList<QJsonObject> records;
            QVERIFY(readRecords(file, &records));
            QCOMPARE(records.size(), 1);
            QCOMPARE(records.at(0).value(u"outcome"_s).toString(), u"success"_s);
        }
    }

    // Two runs append to one record file at the same time: every line is
    // whole, and none is lost.
    void runsShareARecordFile()
    {
        constexpr int kUnitsPerRun = 3;
        const QString record = m_dir.filePath(u"shared.jsonl"_s);
        std::vector<std::unique_ptr<Simulator>> sims;
        QList<QProcess *> runs;
        QStringList ports;
        for (int run = 0; run < 2; ++run) {
            // The record file's own failures: a size limit would stop the history too.
            QStringList args = kFastTimings + QStringList{u"--quiet"_s, u"--no-history"_s, u"--record"_s, record};
            for (int i = 0; i < kUnitsPerRun; ++i) {
                sims.push_back(std::make_unique<Simulator>());
                QVERIFY(sims.back()->start());
                args += {u"--port"_s, sims.back()->device()};
                ports << sims.back()->device();
            }
            runs << new QProcess(this);
            runs.last()->start(cliPath(), args + QStringList{imagePath()});
        }
        for (QProcess *run : std::as_const(runs)) {
            WEXEL_TRY_COMPARE_WITH_TIMEOUT(run->state(), QProcess::NotRunning, kProcessTimeoutMs);
            QVERIFY2(run->exitCode() == 0, run->readAllStandardError().constData());
            delete run;
        }
        QList<QJsonObject> records;
        QVERIFY(readRecords(record, &records));
        QStringList recorded;
        for (const QJsonObject &rec : std::as_const(records))
            recorded << rec.value(u"port"_s).toString();
        recorded.sort();
        ports.sort();
        QCOMPARE(recorded, ports);
    }
};

WEXEL_REGISTER_TEST(StationTest)

#include "tst_station.moc"
