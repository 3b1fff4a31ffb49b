// A station's lane against simulated instruments that come and go on a
// fixed path: one update, retries after failures another attempt can mend
// (and none after those it cannot), units that arrive, are updated once,
// go and are followed by the next, and Stop.
#include "clitestsupport.h"
#include "matrixsupport.h"
#include "testregistry.h"
#include "testtimings.h"

#include "core/update/lane.h"
#include "core/update/runrecord.h"

#include <QFile>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace CliTestSupport;
using namespace Qt::Literals::StringLiterals;
using namespace std::chrono_literals;

namespace {

using State = Lane::State;

// What happens at the port while the lane works.
enum class Script {
    Present,         // one simulator, there from the start
    Absent,          // nothing at the port
    HangUpThenBack,  // the first simulator hangs up; another takes the port at once
    TwoUnits,        // watch: a unit comes, is updated, goes; another comes
    UnitStays,       // watch: a unit comes, is updated and stays
    StopWhileWriting,
};

} // namespace

class LaneTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString imagePath() const { return m_dir.filePath(u"fw.txt"_s); }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<UpdateOutcome>();
        QVERIFY(m_dir.isValid());
        QFile f(imagePath());
        const QByteArray image = MatrixSupport::lines(20) + "q\n";
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(image) == image.size());
    }

    void lane_data()
    {
        QTest::addColumn<bool>("watch");
        QTest::addColumn<int>("retries");
        QTest::addColumn<QStringList>("faults");  // the first simulator's
        QTest::addColumn<int>("script");
        QTest::addColumn<QList<State>>("states");
        QTest::addColumn<QStringList>("records");  // outcome/attempt/of of each record

        const QStringList none;
        QTest::newRow("one unit, passed") << false << 0 << none << int(Script::Present)
                                          << QList<State>{State::Updating, State::Passed}
                                          << QStringList{u"success/1/1"_s};
        QTest::newRow("a refused line, mended by the next attempt")
            << false << 2 << QStringList{u"--refuse-line"_s, u"5"_s, u"--fault-once"_s} << int(Script::Present)
            << QList<State>{State::Updating, State::Retrying, State::Updating, State::Passed}
            << QStringList{u"write-refused/1/3"_s, u"success/2/3"_s};
        QTest::newRow("refused every time, until the attempts run out")
            << false << 1 << QStringList{u"--refuse-line"_s, u"5"_s} << int(Script::Present)
            << QList<State>{State::Updating, State::Retrying, State::Updating, State::Failed}
            << QStringList{u"write-refused/1/2"_s, u"write-refused/2/2"_s};
        QTest::newRow("an unanswered line, mended") << false << 1
                                                    << QStringList{u"--ignore-line"_s, u"3"_s, u"--fault-once"_s}
                                                    << int(Script::Present)
                                                    << QList<State>{State::Updating, State::Retrying, State::Updating,
                                                                    State::Passed}
                                                    << QStringList{u"write-failed/1/2"_s, u"success/2/2"_s};
        // Never retried: another attempt would do the same.
        QTest::newRow("missing port") << false << 2 << none << int(Script::Absent)
                                      << QList<State>{State::Updating, State::Failed}
                                      << QStringList{u"port-error/1/3"_s};
        QTest::newRow("refused erase") << false << 2 << QStringList{u"--erase"_s, u"refuse"_s}
                                       << int(Script::Present) << QList<State>{State::Updating, State::Failed}
                                       << QStringList{u"erase-refused/1/3"_s};
        // A unit that reset itself: its port is back at once.
        QTest::newRow("hang-up, the port back") << false << 1 << QStringList{u"--hangup-after-line"_s, u"5"_s}
                                                << int(Script::HangUpThenBack)
                                                << QList<State>{State::Updating, State::Retrying, State::Updating,
                                                                State::Passed}
                                                << QStringList{u"write-failed/1/2"_s, u"success/2/2"_s};
        // Watching.
        QTest::newRow("watch: a unit, gone, the next")
            << true << 0 << none << int(Script::TwoUnits)
            << QList<State>{State::Waiting, State::Updating, State::Passed, State::Waiting, State::Updating,
                            State::Passed}
            << QStringList{u"success/1/1"_s, u"success/1/1"_s};
        QTest::newRow("watch: a unit that stays is updated once")
            << true << 0 << none << int(Script::UnitStays)
            << QList<State>{State::Waiting, State::Updating, State::Passed} << QStringList{u"success/1/1"_s};
        QTest::newRow("stop while writing") << false << 2 << QStringList{u"--ack-delay-ms"_s, u"50"_s}
                                            << int(Script::StopWhileWriting)
                                            << QList<State>{State::Updating, State::Failed}
                                            << QStringList{u"interrupted/1/3"_s};
    }

    void lane()
    {
        QFETCH(bool, watch);
        QFETCH(int, retries);
        QFETCH(QStringList, faults);
        QFETCH(int, script);
        QFETCH(QList<State>, states);
        QFETCH(QStringList, records);

        // The lane's port is a link each simulator makes as it starts and
        // removes as it ends: a unit plugged in and pulled out.
        const QString port = m_dir.filePath(u"port-%1"_s.arg(QTest::currentDataTag()).replace(u' ', u'-'));
        std::vector<std::unique_ptr<Simulator>> sims;
        const auto plugIn = [&](const QStringList &simFaults) {
            sims.push_back(std::make_unique<Simulator>());
            return sims.back()->start(simFaults + QStringList{u"--link"_s, port});
        };

        const QString recordPath = m_dir.filePath(u"lane-%1.jsonl"_s.arg(sims.size() + qHash(port)));
        RunRecord record;
        QVERIFY(record.open(recordPath));
        Lane lane(port);
        Lane::Settings settings;
        settings.retries = retries;
        settings.watch = watch;
        settings.probeInterval = 100ms;
        settings.goneAfter = 300ms;
        settings.readTimeout = 500ms;
        settings.timings = fastTimings();
        lane.setSettings(settings);
        lane.setRecord(&record);
        QList<State> seen;
        connect(&lane, &Lane::stateChanged, this, [&](State s) { seen << s; });
        QSignalSpy units(&lane, &Lane::unitFinished);
        QSignalSpy attempts(&lane, &Lane::attemptFinished);

        if (script != int(Script::Absent) && !watch)
            QVERIFY(plugIn(faults));
        if (script == int(Script::HangUpThenBack)) {
            // As soon as the first hangs up (and its link goes), another takes its place.
            connect(&lane, &Lane::stateChanged, this, [&](State s) {
                if (s == State::Retrying)
                    QVERIFY(plugIn({}));
            });
        }
        const FirmwareImage image = FirmwareImage::load(imagePath());
        QVERIFY(!image.isEmpty());
        lane.start(image, imagePath());

        switch (Script(script)) {
        case Script::Present:
        case Script::Absent:
        case Script::HangUpThenBack:
            QTRY_COMPARE_WITH_TIMEOUT(units.size(), 1, kProcessTimeoutMs);
            break;
        case Script::StopWhileWriting:
            QTRY_VERIFY_WITH_TIMEOUT(lane.update().state() == UpdateSequence::State::Writing, kProcessTimeoutMs);
            lane.stop();
            QCOMPARE(units.size(), 1);
            break;
        case Script::TwoUnits:
        case Script::UnitStays:
            // Nothing at the port for a while: the lane only waits.
            QTest::qWait(300);
            QCOMPARE(attempts.size(), 0);
            QVERIFY(plugIn(faults));
            QTRY_COMPARE_WITH_TIMEOUT(units.size(), 1, kProcessTimeoutMs);
            if (script == int(Script::TwoUnits)) {
                sims.back()->summary();  // pulled out: its link goes
                QTRY_COMPARE_WITH_TIMEOUT(lane.state(), State::Waiting, kProcessTimeoutMs);
                QVERIFY(plugIn({}));
                QTRY_COMPARE_WITH_TIMEOUT(units.size(), 2, kProcessTimeoutMs);
            } else {
                // Still there, answering: ten looks, no second update.
                QTest::qWait(1000);
            }
            lane.stop();
            break;
        }
        QTest::qWait(50);
        QCOMPARE(seen, states);
        QCOMPARE(attempts.size(), records.size());

        QFile f(recordPath);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QStringList recorded;
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            const QJsonObject r = QJsonDocument::fromJson(line).object();
            recorded << u"%1/%2/%3"_s.arg(r.value(u"outcome"_s).toString())
                            .arg(r.value(u"attempt"_s).toInt())
                            .arg(r.value(u"of"_s).toInt());
        }
        QCOMPARE(recorded, records);
        // What each instrument went through: one erase per attempt it saw.
        if (script == int(Script::UnitStays))
            QCOMPARE(sims.back()->summary().value(u"erase_count"_s).toInt(), 1);
    }
};

WEXEL_REGISTER_TEST(LaneTest)

#include "tst_lane.moc"
