// Several instruments updated by one run of the command line, as a
// production line's rack: each unit ends on its own, what each simulated
// instrument received, and the record each unit leaves.
#include "clitestsupport.h"
#include "matrixsupport.h"
#include "testregistry.h"

#include "link/seriallink.h"
#include "sim/memoryimage.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

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
    QByteArray m_image = lines(20) + "q\n";  // 21 lines, the end line last

    QString imagePath() const { return m_dir.filePath(u"fw.txt"_s); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QFile f(imagePath());
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(m_image) == m_image.size());
    }

    // Success, a refusal, silence, a hang-up and a busy port in one run:
    // every unit ends on its own, and only the first is updated.
    void mixedOutcomes()
    {
        struct Unit
        {
            QStringList faults;
            QString kind;
            int linesReceived;  // -1: nothing reached the instrument
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
        args += {u"--json"_s, u"--quiet"_s, u"--record"_s, record};
        for (const Unit &u : units) {
            sims.push_back(std::make_unique<Simulator>());
            QVERIFY(sims.back()->start(u.faults));
            args += {u"--port"_s, sims.back()->device()};
        }
        SerialLink holder;  // another program, holding the last port
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
        QFile image(imagePath());
        QVERIFY(image.open(QIODevice::ReadOnly));
        const QString sha256 = QString::fromLatin1(QCryptographicHash::hash(image.readAll(), QCryptographicHash::Sha256).toHex());

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
            QCOMPARE(rec.value(u"ok"_s).toBool(), u.kind == u"success"_s);
            QCOMPARE(rec.value(u"failed_line"_s).toInt(), u.failedLine);
            QCOMPARE(rec.value(u"lines_acknowledged"_s).toInt(), results[0].value(u"lines_acknowledged"_s).toInt());
            QCOMPARE(rec.value(u"lines"_s).toInt(), 21);
            QCOMPARE(rec.value(u"image_sha256"_s).toString(), sha256);
            QCOMPARE(rec.value(u"device"_s).toString(), port);  // pseudo-terminals have no other name
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

    // A record that cannot be kept stops the run before any instrument is touched.
    void recordFileThatCannotBeOpened()
    {
        Simulator first;
        Simulator second;
        QVERIFY(first.start());
        QVERIFY(second.start());
        Result r;
        QVERIFY(runCli(kFastTimings + QStringList{u"--record"_s, m_dir.path(), u"--port"_s, first.device(),
                                                  u"--port"_s, second.device(), imagePath()},
                       &r));
        QCOMPARE(r.exitCode, 3);
        QVERIFY2(r.err.contains("the record file cannot be opened"), r.err.constData());
        for (Simulator *sim : {&first, &second})
            QCOMPARE(sim->summary().value(u"erase_count"_s).toInt(), 0);
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
            QStringList args = kFastTimings + QStringList{u"--quiet"_s, u"--record"_s, record};
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
            QTRY_COMPARE_WITH_TIMEOUT(run->state(), QProcess::NotRunning, kProcessTimeoutMs);
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
