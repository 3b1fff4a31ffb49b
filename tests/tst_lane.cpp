// A station's lane against simulated instruments that come and go on a
// fixed path: one update, retries after failures another attempt can mend
// (and none after those it cannot), units that arrive, are updated once,
// go and are followed by the next, and Stop. Then the unit's identity: an
// attempt goes only to the device its unit was found on, whatever takes
// the port's name meanwhile.
#include "clitestsupport.h"
#include "eventwait.h"
#include "matrixsupport.h"
#include "testfiles.h"
#include "testregistry.h"
#include "testtimings.h"

#include "core/update/lane.h"
#include "core/update/runrecord.h"

#include <QFile>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace CliTestSupport;
using namespace Qt::Literals::StringLiterals;
using namespace std::chrono_literals;

namespace {

using State = Lane::State;

// What happens at the port while the lane works.
enum class Script {
    Present, // one simulator, there from the start
    Absent, // nothing at the port
    TwoUnits, // watch: a unit comes, is updated, goes; another comes
    UnitStays, // watch: a unit comes, is updated and stays
    StopWhileWriting,
};

// What happens to the port's name while a unit is on it.
enum class Swap {
    None,
    // As the first attempt ends, a second simulator takes the name (after
    // the first has gone, when it hung up).
    AtFirstEnd,
    // Watch: as the first unit passes, the name is pointed at a second one
    // while the first still answers.
    Repointed,
    // Watch: after the first unit passed, it goes and a second comes back
    // on the name between two looks.
    GoneAndBack,
    // Stop in the pause between two attempts.
    StopBetween,
};

// "outcome/attempt/of" of each record in the file.
QStringList recordedIn(const QString &path)
{
    QStringList recorded;
    for (const QJsonObject &r : TestFiles::recordLines(path)) {
        recorded << u"%1/%2/%3"_s.arg(r.value(u"outcome"_s).toString())
                        .arg(r.value(u"attempt"_s).toInt())
                        .arg(r.value(u"of"_s).toInt());
    }
    return recorded;
}

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
        const QByteArray image = MatrixSupport::lines(20) + "q\n";
        QVERIFY(TestFiles::writeFile(imagePath(), image));
    }

    void lane_data()
    {
        QTest::addColumn<bool>("watch");
        QTest::addColumn<int>("retries");
        QTest::addColumn<QStringList>("faults"); // the first simulator's
        QTest::addColumn<int>("script");
        QTest::addColumn<QList<State>>("states");
        QTest::addColumn<QStringList>("records"); // outcome/attempt/of of each record

        const QStringList none;
        QTest::newRow("one unit, passed")
            << false << 0 << none << int(Script::Present) << QList<State>{State::Updating, State::Passed}
            << QStringList{u"success/1/1"_s};
        QTest::newRow("a refused line, mended by the next attempt")
            << false << 2 << QStringList{u"--refuse-line"_s, u"5"_s, u"--fault-once"_s} << int(Script::Present)
            << QList<State>{State::Updating, State::Retrying, State::Updating, State::Passed}
            << QStringList{u"write-refused/1/3"_s, u"success/2/3"_s};
        QTest::newRow("refused every time, until the attempts run out")
            << false << 1 << QStringList{u"--refuse-line"_s, u"5"_s} << int(Script::Present)
            << QList<State>{State::Updating, State::Retrying, State::Updating, State::Failed}
            << QStringList{u"write-refused/1/2"_s, u"write-refused/2/2"_s};
        QTest::newRow("an unanswered line, mended")
            << false << 1 << QStringList{u"--ignore-line"_s, u"3"_s, u"--fault-once"_s} << int(Script::Present)
            << QList<State>{State::Updating, State::Retrying, State::Updating, State::Passed}
            << QStringList{u"write-failed/1/2"_s, u"success/2/2"_s};
        // Never retried: another attempt would do the same.
        QTest::newRow("missing port") << false << 2 << none << int(Script::Absent)
                                      << QList<State>{State::Updating, State::Failed}
                                      << QStringList{u"port-error/1/3"_s};
        QTest::newRow("refused erase") << false << 2 << QStringList{u"--erase"_s, u"refuse"_s} << int(Script::Present)
                                       << QList<State>{State::Updating, State::Failed}
                                       << QStringList{u"erase-refused/1/3"_s};
        // Watching.
        QTest::newRow("watch: a unit, gone, the next") << true << 0 << none << int(Script::TwoUnits)
                                                       << QList<State>{State::Waiting, State::Updating, State::Passed,
                                                                       State::Waiting, State::Updating, State::Passed}
                                                       << QStringList{u"success/1/1"_s, u"success/1/1"_s};
        QTest::newRow("watch: a unit that stays is updated once")
            << true << 0 << none << int(Script::UnitStays)
            << QList<State>{State::Waiting, State::Updating, State::Passed} << QStringList{u"success/1/1"_s};
        QTest::newRow("stop while writing")
            << false << 2 << QStringList{u"--ack-delay-ms"_s, u"50"_s} << int(Script::StopWhileWriting)
            << QList<State>{State::Updating, State::Failed} << QStringList{u"interrupted/1/3"_s};
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
        Lane::Settings settings = fastLaneSettings();
        settings.retries = retries;
        settings.watch = watch;
        settings.probeInterval = 100ms;
        settings.goneAfter = 300ms;
        lane.setSettings(settings);
        lane.setRecord(&record);
        QList<State> seen;
        connect(&lane, &Lane::stateChanged, this, [&](State s) { seen << s; });
        QSignalSpy units(&lane, &Lane::unitFinished);
        QSignalSpy attempts(&lane, &Lane::attemptFinished);

        if (script != int(Script::Absent) && !watch)
            QVERIFY(plugIn(faults));
        const FirmwareImage image = FirmwareImage::load(imagePath());
        QVERIFY(!image.isEmpty());
        lane.start(image, imagePath());

        switch (Script(script)) {
        case Script::Present:
        case Script::Absent:
            WEXEL_TRY_COMPARE_WITH_TIMEOUT(units.size(), 1, kProcessTimeoutMs);
            break;
        case Script::StopWhileWriting:
            WEXEL_TRY_VERIFY_WITH_TIMEOUT(lane.update().state() == UpdateSequence::State::Writing, kProcessTimeoutMs);
            lane.stop();
            QCOMPARE(units.size(), 1);
            break;
        case Script::TwoUnits:
        case Script::UnitStays:
            // Nothing at the port for a while: the lane only waits.
            EventWait::forMs(300);
            QCOMPARE(attempts.size(), 0);
            QVERIFY(plugIn(faults));
            WEXEL_TRY_COMPARE_WITH_TIMEOUT(units.size(), 1, kProcessTimeoutMs);
            if (script == int(Script::TwoUnits)) {
                sims.back()->summary(); // pulled out: its link goes
                WEXEL_TRY_COMPARE_WITH_TIMEOUT(lane.state(), State::Waiting, kProcessTimeoutMs);
                QVERIFY(plugIn({}));
                WEXEL_TRY_COMPARE_WITH_TIMEOUT(units.size(), 2, kProcessTimeoutMs);
            } else {
                // Still there, answering: ten looks, no second update.
                EventWait::forMs(1000);
            }
            lane.stop();
            break;
        }
        EventWait::forMs(50);
        QCOMPARE(seen, states);
        QCOMPARE(attempts.size(), records.size());

        QCOMPARE(recordedIn(recordPath), records);
        // What each instrument went through: one erase per attempt it saw.
        if (script == int(Script::UnitStays))
            QCOMPARE(sims.back()->summary().value(u"erase_count"_s).toInt(), 1);
    }

    void identity_data()
    {
        QTest::addColumn<bool>("watch");
        QTest::addColumn<int>("retries");
        QTest::addColumn<QStringList>("faults"); // the first simulator's
        QTest::addColumn<int>("swap");
        QTest::addColumn<int>("probeMs");
        QTest::addColumn<QStringList>("records"); // outcome/attempt/of of each record
        QTest::addColumn<QList<int>>("counts"); // units passed, failed
        QTest::addColumn<QList<int>>("erases"); // the erases each simulator took
        QTest::addColumn<int>("linkTests"); // the first simulator's, -1: not counted

        const QStringList none;
        const QStringList refuseOnce{u"--refuse-line"_s, u"5"_s, u"--fault-once"_s};
        const QStringList hangUp{u"--hangup-after-line"_s, u"5"_s};
        // Never gone, so the same node and device number are the same device;
        // it still answers the link test before it is erased again.
        QTest::newRow("retry to the same device")
            << false << 2 << refuseOnce << int(Swap::None) << 100
            << QStringList{u"write-refused/1/3"_s, u"success/2/3"_s} << QList<int>{1, 0} << QList<int>{2} << 1;
        QTest::newRow("retry refused: the name now leads to another device")
            << false << 2 << refuseOnce << int(Swap::AtFirstEnd) << 100
            << QStringList{u"write-refused/1/3"_s, u"device-changed/2/3"_s} << QList<int>{0, 1} << QList<int>{1, 0}
            << -1;
        // A pseudo-terminal's name goes to the next one made: nothing proves
        // that what comes back is the unit.
        QTest::newRow("hang-up: not retried onto what takes the name")
            << false << 2 << hangUp << int(Swap::AtFirstEnd) << 100
            << QStringList{u"write-failed/1/3"_s, u"device-changed/2/3"_s} << QList<int>{0, 1} << QList<int>{1, 0}
            << -1;
        QTest::newRow("stop between two attempts")
            << false << 2 << QStringList{u"--refuse-line"_s, u"5"_s} << int(Swap::StopBetween) << 100
            << QStringList{u"write-refused/1/3"_s, u"interrupted/2/3"_s} << QList<int>{0, 1} << QList<int>{1} << -1;
        QTest::newRow("watch: the name pointed at another unit")
            << true << 0 << none << int(Swap::Repointed) << 100 << QStringList{u"success/1/1"_s, u"success/1/1"_s}
            << QList<int>{2, 0} << QList<int>{1, 1} << -1;
        // Looks far apart: only the port held open sees the unit go.
        QTest::newRow("watch: gone and back between two looks")
            << true << 0 << none << int(Swap::GoneAndBack) << 1500 << QStringList{u"success/1/1"_s, u"success/1/1"_s}
            << QList<int>{2, 0} << QList<int>{1, 1} << -1;
        QTest::newRow("watch: hang-up mid-update, the next unit at once")
            << true << 0 << hangUp << int(Swap::AtFirstEnd) << 100
            << QStringList{u"write-failed/1/1"_s, u"success/1/1"_s} << QList<int>{1, 1} << QList<int>{1, 1} << -1;
        QTest::newRow("watch with retries: hang-up mid-update, the next unit is a new one")
            << true << 2 << hangUp << int(Swap::AtFirstEnd) << 100
            << QStringList{u"write-failed/1/3"_s, u"success/1/3"_s} << QList<int>{1, 1} << QList<int>{1, 1} << -1;
    }

    void identity()
    {
        QFETCH(bool, watch);
        QFETCH(int, retries);
        QFETCH(QStringList, faults);
        QFETCH(int, swap);
        QFETCH(int, probeMs);
        QFETCH(QStringList, records);
        QFETCH(QList<int>, counts);
        QFETCH(QList<int>, erases);
        QFETCH(int, linkTests);

        // A path of this test's own: no other test's device takes it.
        const QString port = m_dir.filePath(u"bay-%1"_s.arg(QTest::currentDataTag()).replace(u' ', u'-'));
        std::vector<std::unique_ptr<Simulator>> sims;
        QList<QJsonObject> summaries;
        const auto plugIn = [&](const QStringList &simFaults) {
            sims.push_back(std::make_unique<Simulator>());
            summaries.append(QJsonObject());
            return sims.back()->start(simFaults + QStringList{u"--link"_s, port});
        };
        const auto pullOut = [&](qsizetype i, Simulator::Stop how) {
            if (summaries.at(i).isEmpty())
                summaries[i] = sims.at(size_t(i))->summary(how);
        };
        const bool hangsUp = faults.contains(u"--hangup-after-line"_s);

        const QString recordPath = m_dir.filePath(u"identity-%1.jsonl"_s.arg(qHash(port)));
        RunRecord record;
        QVERIFY(record.open(recordPath));
        Lane lane(port);
        Lane::Settings settings = fastLaneSettings();
        settings.retries = retries;
        settings.watch = watch;
        settings.probeInterval = std::chrono::milliseconds(probeMs);
        settings.goneAfter = 300ms;
        lane.setSettings(settings);
        lane.setRecord(&record);
        QSignalSpy units(&lane, &Lane::unitFinished);

        connect(&lane, &Lane::attemptFinished, this, [&](const UpdateOutcome &, int attempt) {
            if (attempt != 1 || sims.size() != 1)
                return;
            if (swap == int(Swap::AtFirstEnd)) {
                if (hangsUp)
                    pullOut(0, Simulator::Stop::AwaitExit);
                QVERIFY(plugIn({}));
            }
        });
        connect(&lane, &Lane::stateChanged, this, [&](State s) {
            if (swap == int(Swap::StopBetween) && s == State::Retrying)
                QTimer::singleShot(0, &lane, [&] { lane.stop(); });
        });
        connect(&lane, &Lane::unitFinished, this, [&](const UpdateOutcome &outcome) {
            if (!outcome.succeeded() || sims.size() != 1)
                return;
            if (swap == int(Swap::GoneAndBack))
                pullOut(0, Simulator::Stop::Terminate);
            if (swap == int(Swap::Repointed) || swap == int(Swap::GoneAndBack))
                QVERIFY(plugIn({}));
        });

        QVERIFY(plugIn(faults));
        const FirmwareImage image = FirmwareImage::load(imagePath());
        QVERIFY(!image.isEmpty());
        lane.start(image, imagePath());
        const int unitsExpected = counts.at(0) + counts.at(1);
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(units.size(), unitsExpected, kProcessTimeoutMs);
        if (watch)
            lane.stop();
        EventWait::forMs(50);
        if (swap == int(Swap::StopBetween))
            QCOMPARE(units.last().at(0).value<UpdateOutcome>().kind, UpdateOutcome::Kind::Interrupted);

        QCOMPARE(recordedIn(recordPath), records);
        QCOMPARE((QList<int>{lane.passed(), lane.failed()}), counts);
        QList<int> erased;
        for (qsizetype i = 0; i < summaries.size(); ++i) {
            pullOut(i, Simulator::Stop::Terminate);
            erased << summaries.at(i).value(u"erase_count"_s).toInt();
        }
        QCOMPARE(erased, erases);
        if (linkTests >= 0)
            QCOMPARE(summaries.at(0).value(u"link_tests"_s).toInt(), linkTests);
    }
};

WEXEL_REGISTER_TEST(LaneTest)

#include "tst_lane.moc"
