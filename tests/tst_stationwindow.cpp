// The production station's window, offscreen, against simulated
// instruments: the keys (Return, Ctrl+R, Escape) and the window's close on
// lanes that run, the counters (units, each by its last attempt) and each
// lane's word and cause after a run, an image refused for its SHA-256, a
// record lost and shown, a record file moved away, lanes not started; a
// pulled unit's failure kept in view until the next arrives; the station's
// own prompts; every lane in view or the failed ones listed, a window that
// fits the bench screens whatever it shows, and the focus framed on every
// Tab stop; progress drawn at most once a tick however fast the lines go;
// lanes kept between runs, bounded
// when read back; the stable paths the lane editor offers; the program
// ended by a signal; and the unit history: serials entered on a lane
// (scanned), required, refused, looked up, a unit passed with this image
// asked about, the History view, a history that cannot be opened.
#include "clitestsupport.h"
#include "eventwait.h"
#include "matrixsupport.h"
#include "recordingpresenter.h"
#include "testfiles.h"
#include "testregistry.h"
#include "testtimings.h"
#include "throwawaypostgres.h"

#include "core/link/portcatalog.h"
#include "desktop/panels/filedialog.h"
#include "desktop/station/historyview.h"
#include "desktop/station/laneeditor.h"
#include "desktop/station/lanestore.h"
#include "desktop/station/lanewidget.h"
#include "desktop/station/stationpresenter.h"
#include "desktop/station/stationwindow.h"
#include "history/historystore.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

using namespace CliTestSupport;
using namespace Qt::Literals::StringLiterals;
using namespace std::chrono_literals;

namespace {

// One of the window's own controls, by its name, as a test drives it.
template<typename T> T *control(const QWidget &window, const char *name)
{
    T *found = window.findChild<T *>(QLatin1String(name));
    if (!found)
        qFatal("no control %s", name);
    return found;
}

// What is done to the window once its lanes are set up.
enum class Script {
    ReturnThenRetry, // Return; once at rest, Ctrl+R
    Escape, // Return; Escape while every lane writes
    EscapeErasing, // Return; Escape while every lane erases
    Close, // Return; the window closed while every lane writes
    WrongImage, // a released SHA-256 the image does not have; Return
    RecordLost, // Return with no room left for the record
    SameDevice, // Return; the second lane's link replugged to the first lane's device; Return
    RecordRotated, // Return; at rest, the record file moved away; Return again
    Plain, // Return
    NoImage, // Return before an image was chosen
    RecordDirectory, // Return with a directory for the record file
};

// "Lane 2/write-refused/1" for each record line, sorted: lanes end in any order.
QStringList recordsIn(const QString &path)
{
    QStringList found;
    for (const QJsonObject &r : TestFiles::recordLines(path)) {
        found << u"%1/%2/%3"_s.arg(r.value(u"lane"_s).toString(), r.value(u"outcome"_s).toString())
                     .arg(r.value(u"attempt"_s).toInt());
    }
    found.sort();
    return found;
}

// What is done to a window that keeps a unit history.
enum class Serials {
    ScanOne, // a serial typed into lane 2's field, Return there; at rest, Return on the window
    Required, // Serial required; a serial typed, not entered, into lane 1's field; Start
    Refused, // lane 1's field given the row's serial, Return there
    PassedNo, // the row's serial passed with this image already; Return in lane 1's field; No
    PassedYes, // the same; Yes
    WatchNext, // watching, no unit yet; the row's serial entered in lane 1; a unit arrives on each lane
    WatchRequired, // watching, Serial required: a second unit waits on lane 1 until its serial is entered
    HistoryView, // the History view open (Ctrl+H); Start; the lanes end
    NotSqlite, // the history's file is no database; Return
};

// "Lane 2/SN-1/success" for each attempt in the history, sorted.
QStringList historyIn(const QString &path)
{
    HistoryStore store;
    QStringList found;
    if (!store.open(path))
        return {store.error()};
    store.read({},
               [&found](const HistoryRow &row) { found << u"%1/%2/%3"_s.arg(row.lane, row.unitSerial, row.outcome); });
    found.sort();
    return found;
}

// A table's cells, row by row, "|" between them.
QStringList cellsOf(const QTableWidget *table)
{
    QStringList rows;
    for (int r = 0; r < table->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < table->columnCount(); ++c)
            cells << (table->item(r, c) ? table->item(r, c)->text() : QString());
        rows << cells.join(u'|');
    }
    return rows;
}

// Each record line's cause.
QStringList causesIn(const QString &path)
{
    QStringList found;
    for (const QJsonObject &r : TestFiles::recordLines(path))
        found << r.value(u"cause"_s).toString();
    return found;
}

} // namespace

class StationWindowTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString imagePath() const { return m_dir.filePath(u"fw.txt"_s); }

    // A window offscreen with its own settings file, the image chosen
    // through the file dialog, and lanes on the given ports.
    struct Bench
    {
        RecordingPresenter messages;
        QSettings settings;
        StationWindow window;
        LaneStore store;
        StationPresenter station;
        StationPresenter *presenter = &station;

        // history: the unit history's file; none kept without one. server:
        // the central history it is forwarded to; none without one.
        Bench(const QString &settingsPath, const Lane::Settings &lanes, const QString &history = {},
              const QString &server = {})
            : settings(settingsPath, QSettings::IniFormat)
            , window(&messages)
            , store(&settings)
            , station(&window, &messages, &store, lanes)
        {
            if (!history.isEmpty()) {
                HistoryOptions::Settings kept;
                kept.path = history;
                kept.server = server;
                kept.keeper = {u"bench"_s, u"tester"_s};
                presenter->setHistory(kept);
            }
        }
        bool show()
        {
            window.show();
            window.activateWindow();
            return QTest::qWaitForWindowActive(&window);
        }
        bool choose(const QString &path)
        {
            control<FirmwareFileDialog>(window, "fileDialog")->setChooser([path] { return path; });
            control<QPushButton>(window, "chooseButton")->click();
            return EventWait::until([this] { return !control<QLineEdit>(window, "imageSha")->text().isEmpty(); },
                                    kProcessTimeoutMs);
        }
        QStringList words() const
        {
            QStringList w;
            for (const LaneWidget *lane : window.laneWidgets())
                w << lane->verdictText();
            return w;
        }
        bool atRest() const
        {
            return EventWait::until([this] { return !presenter->anyRunning(); }, kProcessTimeoutMs);
        }
        bool allWriting() const
        {
            return EventWait::until(
                [this] {
                    for (int i = 0; i < presenter->laneCount(); ++i) {
                        if (presenter->lane(i).update().state() != UpdateSequence::State::Writing)
                            return false;
                    }
                    return true;
                },
                kProcessTimeoutMs);
        }
    };

private slots:
    void initTestCase()
    {
        qRegisterMetaType<UpdateOutcome>();
        QVERIFY(m_dir.isValid());
        const QByteArray image = MatrixSupport::lines(40) + "q\n";
        QVERIFY(TestFiles::writeFile(imagePath(), image));
    }

    void keys_data()
    {
        QTest::addColumn<QList<QStringList>>("faults"); // one simulator a lane
        QTest::addColumn<int>("script");
        QTest::addColumn<QStringList>("words"); // each lane's, at the end
        QTest::addColumn<QStringList>("details"); // each lane's cause at the end; empty: not looked at
        QTest::addColumn<QList<int>>("counters"); // passed, failed
        QTest::addColumn<QString>("total");
        QTest::addColumn<QList<int>>("erases"); // each simulator's
        QTest::addColumn<QStringList>("records");
        QTest::addColumn<QString>("message"); // how the one box shown begins, if any

        const QStringList none;
        const QStringList slow{u"--ack-delay-ms"_s, u"30"_s};
        const QString erased = u" - unit may be erased: retry"_s;
        // A fourth lane on a port that leads nowhere: not started, and no unit's failure.
        QTest::newRow("Return starts all, Ctrl+R only the failed unit, counted once")
            << QList<QStringList>{none, {u"--refuse-line"_s, u"5"_s, u"--fault-once"_s}, none}
            << int(Script::ReturnThenRetry) << QStringList{u"PASS"_s, u"PASS"_s, u"PASS"_s, u"NOT STARTED"_s}
            << QStringList{QString(), QString(), QString(), u"No such port - is the unit plugged in?"_s}
            << QList<int>{3, 0} << u"TOTAL 3, yield 100.0 %, first pass 66.7 %; not started 1"_s << QList<int>{1, 2, 1}
            << QStringList{u"Lane 1/success/1"_s, u"Lane 2/success/1"_s, u"Lane 2/write-refused/1"_s,
                           u"Lane 3/success/1"_s, u"Lane 4/port-error/1"_s}
            << QString();
        QTest::newRow("Escape stops every lane where it stands, no unit failed")
            << QList<QStringList>{slow, slow} << int(Script::Escape) << QStringList{u"STOPPED"_s, u"STOPPED"_s}
            << QStringList{u"Stopped by the operator"_s + erased, u"Stopped by the operator"_s + erased}
            << QList<int>{0, 0} << u"TOTAL 0; stopped 2"_s << QList<int>{1, 1}
            << QStringList{u"Lane 1/interrupted/1"_s, u"Lane 2/interrupted/1"_s} << QString();
        QTest::newRow("Escape during the erase is the operator's stop")
            << QList<QStringList>{{u"--erase-ms"_s, u"5000"_s}} << int(Script::EscapeErasing)
            << QStringList{u"STOPPED"_s} << QStringList{u"Stopped by the operator"_s + erased} << QList<int>{0, 0}
            << u"TOTAL 0; stopped 1"_s << QList<int>{1} << QStringList{u"Lane 1/interrupted/1"_s} << QString();
        QTest::newRow("closing asks, then stops as Escape does")
            << QList<QStringList>{slow, slow} << int(Script::Close) << QStringList{u"STOPPED"_s, u"STOPPED"_s}
            << QStringList() << QList<int>{0, 0} << u"TOTAL 0; stopped 2"_s << QList<int>{1, 1}
            << QStringList{u"Lane 1/interrupted/1"_s, u"Lane 2/interrupted/1"_s} << QString();
        QTest::newRow("an image that is not the released one starts nothing")
            << QList<QStringList>{none, none} << int(Script::WrongImage) << QStringList{u"IDLE"_s, u"IDLE"_s}
            << QStringList() << QList<int>{0, 0} << u"TOTAL 0"_s << QList<int>{0, 0} << QStringList()
            << u"The image is not the released one: no lane was started."_s;
        QTest::newRow("a lane replugged to another lane's device: its old PASS goes, NOT STARTED")
            << QList<QStringList>{none, none} << int(Script::SameDevice) << QStringList{u"PASS"_s, u"NOT STARTED"_s}
            << QStringList() << QList<int>{3, 0} << u"TOTAL 3, yield 100.0 %, first pass 100.0 %; not started 1"_s
            << QList<int>{2, 1} << QStringList{u"Lane 1/success/1"_s, u"Lane 1/success/1"_s, u"Lane 2/success/1"_s}
            << QString();
        QTest::newRow("a refused end line fails the unit")
            << QList<QStringList>{{u"--end-reply"_s, u"NG*"_s}} << int(Script::Plain) << QStringList{u"FAIL"_s}
            << QStringList{u"End line refused"_s + erased} << QList<int>{0, 1}
            << u"TOTAL 1, yield 0.0 %, first pass 0.0 %"_s << QList<int>{1} << QStringList{u"Lane 1/write-refused/1"_s}
            << QString();
        QTest::newRow("a record that cannot be written shows on its lane")
            << QList<QStringList>{none} << int(Script::RecordLost) << QStringList{u"PASS"_s} << QStringList()
            << QList<int>{1, 0} << u"TOTAL 1, yield 100.0 %, first pass 100.0 %"_s << QList<int>{1} << QStringList()
            << QString();
        QTest::newRow("a record file moved away is opened anew, and the lane says so")
            << QList<QStringList>{none} << int(Script::RecordRotated) << QStringList{u"PASS"_s} << QStringList()
            << QList<int>{2, 0} << u"TOTAL 2, yield 100.0 %, first pass 100.0 %"_s << QList<int>{2}
            << QStringList{u"Lane 1/success/1"_s} << QString();
        QTest::newRow("Return without an image: the station's own prompt")
            << QList<QStringList>{none} << int(Script::NoImage) << QStringList{u"IDLE"_s} << QStringList()
            << QList<int>{0, 0} << u"TOTAL 0"_s << QList<int>{0} << QStringList() << u"Choose the image first"_s;
        QTest::newRow("a record file that cannot be opened: the station's own prompt")
            << QList<QStringList>{none} << int(Script::RecordDirectory) << QStringList{u"IDLE"_s} << QStringList()
            << QList<int>{0, 0} << u"TOTAL 0"_s << QList<int>{0} << QStringList()
            << u"The record file cannot be opened: "_s;
    }

    void keys()
    {
        QFETCH(QList<QStringList>, faults);
        QFETCH(int, script);
        QFETCH(QStringList, words);
        QFETCH(QStringList, details);
        QFETCH(QList<int>, counters);
        QFETCH(QString, total);
        QFETCH(QList<int>, erases);
        QFETCH(QStringList, records);
        QFETCH(QString, message);

        std::vector<std::unique_ptr<Simulator>> sims;
        QList<LaneStore::Entry> lanes;
        for (const QStringList &f : faults) {
            sims.push_back(std::make_unique<Simulator>());
            QVERIFY(sims.back()->start(f));
            lanes.append({QString(), sims.back()->device()});
        }
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-').remove(u':');
        // The second lane's port is a link, as a by-id path is, to replug it.
        const QString link = m_dir.filePath(tag + u".link"_s);
        if (script == int(Script::SameDevice)) {
            QVERIFY(QFile::link(sims.back()->device(), link));
            lanes.last().port = link;
        }
        if (script == int(Script::ReturnThenRetry))
            lanes.append({QString(), m_dir.filePath(u"no-such-port"_s)});
        const QString record
            = script == int(Script::RecordDirectory) ? m_dir.path() : m_dir.filePath(tag + u".jsonl"_s);
        Bench bench(m_dir.filePath(tag + u".ini"_s), fastLaneSettings());
        bench.presenter->setLanes(lanes);
        bench.presenter->setRecordFile(record);
        QVERIFY(bench.show());
        if (script != int(Script::NoImage))
            QVERIFY(bench.choose(imagePath()));
        // The boxes keep their sizes as the counts and the yield come.
        const QWidget *countersBox = control<QLabel>(bench.window, "totalCounter")->parentWidget();
        const QWidget *imageBox = control<QLabel>(bench.window, "imageName")->parentWidget();
        const int countersWidth = countersBox->width();
        const int imageWidth = imageBox->width();

        rlimit before{};
        void (*oldHandler)(int) = SIG_DFL;
        const auto restoreLimit = qScopeGuard([&] {
            if (script == int(Script::RecordLost)) {
                ::setrlimit(RLIMIT_FSIZE, &before);
                std::signal(SIGXFSZ, oldHandler);
            }
        });
        if (script == int(Script::RecordLost)) {
            // Room for the port's lock file, not for a record.
            oldHandler = std::signal(SIGXFSZ, SIG_IGN);
            QVERIFY(::getrlimit(RLIMIT_FSIZE, &before) == 0);
            const rlimit small{300, before.rlim_max};
            QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        }
        if (script == int(Script::WrongImage))
            control<QLineEdit>(bench.window, "expectedSha")->setText(QString(64, u'0'));

        QTest::keyClick(&bench.window, Qt::Key_Return);
        switch (Script(script)) {
        case Script::ReturnThenRetry:
            QVERIFY(bench.atRest());
            WEXEL_TRY_COMPARE(bench.words(), (QStringList{u"PASS"_s, u"FAIL"_s, u"PASS"_s, u"NOT STARTED"_s}));
            WEXEL_TRY_COMPARE(control<QLabel>(bench.window, "failedCounter")->text(), u"FAILED 1"_s);
            QCOMPARE(bench.window.laneWidgets().at(1)->view().detail,
                     u"Refused at line 5 - unit may be erased: retry"_s);
            QTest::keyClick(&bench.window, Qt::Key_R, Qt::ControlModifier);
            QVERIFY(bench.presenter->anyRunning());
            break;
        case Script::Escape:
            QVERIFY(bench.allWriting());
            QTest::keyClick(&bench.window, Qt::Key_Escape);
            // Where it stands: at once, not after the lines still to go.
            QVERIFY(!bench.presenter->anyRunning());
            break;
        case Script::EscapeErasing:
            QVERIFY(EventWait::until(
                [&] { return bench.presenter->lane(0).update().state() == UpdateSequence::State::Erasing; },
                kProcessTimeoutMs));
            QTest::keyClick(&bench.window, Qt::Key_Escape);
            break;
        case Script::SameDevice:
            QVERIFY(bench.atRest());
            WEXEL_TRY_COMPARE(bench.words(), (QStringList{u"PASS"_s, u"PASS"_s}));
            // Replugged: the link now leads to the first lane's device.
            QVERIFY(QFile::remove(link) && QFile::link(sims.front()->device(), link));
            QTest::keyClick(&bench.window, Qt::Key_Return);
            break;
        case Script::Close:
            QVERIFY(bench.allWriting());
            bench.messages.answerYes = false;
            QVERIFY(!bench.window.close());
            QVERIFY(bench.presenter->anyRunning());
            bench.messages.answerYes = true;
            QVERIFY(bench.window.close());
            QVERIFY(!bench.presenter->anyRunning());
            QCOMPARE(bench.messages.questions.size(), 2);
            break;
        case Script::RecordRotated:
            QVERIFY(bench.atRest());
            QVERIFY(QFile::rename(record, record + u".1"_s));
            QTest::keyClick(&bench.window, Qt::Key_Return);
            QVERIFY(bench.presenter->anyRunning());
            break;
        case Script::WrongImage:
        case Script::RecordLost:
        case Script::Plain:
        case Script::NoImage:
        case Script::RecordDirectory:
            break;
        }
        QVERIFY(bench.atRest());
        if (script == int(Script::Escape) || script == int(Script::EscapeErasing)) {
            for (const QString &cause : causesIn(record))
                QVERIFY2(cause.startsWith(u"stopped by the operator"_s), qPrintable(cause));
        }
        WEXEL_TRY_COMPARE(bench.words(), words);
        for (qsizetype i = 0; i < details.size(); ++i) {
            if (!details.at(i).isEmpty())
                WEXEL_TRY_COMPARE(bench.window.laneWidgets().at(i)->view().detail, details.at(i));
        }
        WEXEL_TRY_COMPARE(control<QLabel>(bench.window, "passedCounter")->text(), u"PASSED %1"_s.arg(counters.at(0)));
        WEXEL_TRY_COMPARE(control<QLabel>(bench.window, "failedCounter")->text(), u"FAILED %1"_s.arg(counters.at(1)));
        WEXEL_TRY_COMPARE(control<QLabel>(bench.window, "totalCounter")->text(), total);
        // Each lane counts its own units: the retried one once, by its pass.
        if (script == int(Script::ReturnThenRetry)) {
            QCOMPARE(bench.window.laneWidgets().at(1)->view().passed, 1);
            QCOMPARE(bench.window.laneWidgets().at(1)->view().failed, 0);
        }
        if (script == int(Script::SameDevice))
            QVERIFY2(bench.window.laneWidgets().at(1)->view().detail.startsWith(u"not started"_s),
                     qPrintable(bench.window.laneWidgets().at(1)->view().detail));
        if (script == int(Script::RecordLost)) {
            LaneWidget *lane = bench.window.laneWidgets().constFirst();
            WEXEL_TRY_VERIFY(!lane->recordLabel->isHidden());
            QVERIFY2(lane->recordLabel->text().contains(u"Record not written"_s),
                     qPrintable(lane->recordLabel->text()));
        }
        if (script == int(Script::RecordRotated)) {
            LaneWidget *lane = bench.window.laneWidgets().constFirst();
            WEXEL_TRY_VERIFY(!lane->recordLabel->isHidden());
            QVERIFY2(lane->recordLabel->text().contains(u"record file was moved or deleted: reopened "_s + record),
                     qPrintable(lane->recordLabel->text()));
            QCOMPARE(recordsIn(record + u".1"_s), QStringList{u"Lane 1/success/1"_s});
        }
        if (script != int(Script::RecordDirectory))
            QCOMPARE(recordsIn(record), records);
        QStringList prompts;
        for (const Message &m : std::as_const(bench.messages.messages))
            prompts << m.prompt;
        QCOMPARE(prompts.size(), message.isEmpty() ? 0 : 1);
        if (!message.isEmpty())
            QVERIFY2(prompts.constFirst().startsWith(message), qPrintable(prompts.constFirst()));
        for (size_t i = 0; i < sims.size(); ++i)
            QCOMPARE(sims[i]->summary().value(u"erase_count"_s).toInt(), erases.at(qsizetype(i)));
        if (script != int(Script::Close)) {
            QCOMPARE(countersBox->width(), countersWidth);
            QCOMPARE(imageBox->width(), imageWidth);
        }
        if (script == int(Script::Plain)) {
            // The whole cause is a click on the word away.
            LaneWidget *lane = bench.window.laneWidgets().constFirst();
            const QWidget *word = lane->findChild<QWidget *>(u"laneStatus"_s);
            QVERIFY(word);
            QTest::mouseClick(lane, Qt::LeftButton, {}, word->geometry().center());
            QCOMPARE(bench.messages.details.size(), 1);
            const QString causes = bench.messages.details.constFirst().join(u'\n');
            QVERIFY2(causes.contains(u"was refused: the instrument answered \"NG*\""_s), qPrintable(causes));
        }
    }

    // Watching: a unit pulled mid-write stays FAIL once it has gone, not an
    // empty bay's WAITING, until the next unit arrives; each counts once.
    void pulledUnitStaysFailed()
    {
        const QString port = m_dir.filePath(u"watched-bay"_s);
        Lane::Settings settings = fastLaneSettings();
        settings.probeInterval = 100ms;
        settings.goneAfter = 300ms;
        Bench bench(m_dir.filePath(u"pulled.ini"_s), settings);
        bench.presenter->setLanes({{QString(), port}});
        QVERIFY(bench.show());
        QVERIFY(bench.choose(imagePath()));
        control<QCheckBox>(bench.window, "watchBox")->setChecked(true);
        {
            Simulator pulled;
            QVERIFY(pulled.start({u"--link"_s, port, u"--hangup-after-line"_s, u"5"_s}));
            QTest::keyClick(&bench.window, Qt::Key_Return);
            WEXEL_TRY_COMPARE_WITH_TIMEOUT(control<QLabel>(bench.window, "failedCounter")->text(), u"FAILED 1"_s,
                                           kProcessTimeoutMs);
            WEXEL_TRY_COMPARE_WITH_TIMEOUT(bench.presenter->lane(0).state(), Lane::State::Waiting, kProcessTimeoutMs);
            (void)pulled.summary(Simulator::Stop::AwaitExit);
        }
        // Redrawn since, with the bay empty.
        EventWait::forMs(3 * int(StationPresenter::kRedrawInterval.count()));
        QCOMPARE(bench.words(), QStringList{u"FAIL"_s});
        Simulator next;
        QVERIFY(next.start({u"--link"_s, port}));
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(bench.words(), QStringList{u"PASS"_s}, kProcessTimeoutMs);
        WEXEL_TRY_COMPARE(control<QLabel>(bench.window, "passedCounter")->text(), u"PASSED 1"_s);
        QCOMPARE(control<QLabel>(bench.window, "failedCounter")->text(), u"FAILED 1"_s);
        bench.presenter->stopAll();
    }

    // With a unit history: a serial scanned into a lane's field (the scanner
    // types it and ends with Return) starts that lane alone and names its
    // unit in the history, until the unit ends; Serial required; serials
    // refused; a unit's last attempt shown; a unit that passed with this
    // image asked about first; watching, a serial for the next unit of that
    // lane only; the History view; a history that cannot be opened.
    void unitHistory_data()
    {
        QTest::addColumn<QList<QStringList>>("faults"); // one simulator a lane
        QTest::addColumn<int>("script");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QStringList>("words"); // each lane's, at the end
        QTest::addColumn<QString>("says"); // lane 1's cause, serial line, the question or the message
        QTest::addColumn<QList<int>>("erases"); // each simulator's
        QTest::addColumn<QStringList>("history"); // lane/serial/outcome, sorted

        const QStringList none;
        QTest::newRow("a serial scanned starts its lane alone, its unit named until it ends")
            << QList<QStringList>{none, none} << int(Serials::ScanOne) << u"SN-1001"_s
            << QStringList{u"PASS"_s, u"PASS"_s} << QString() << QList<int>{1, 2}
            << QStringList{u"Lane 1//success"_s, u"Lane 2//success"_s, u"Lane 2/SN-1001/success"_s};
        QTest::newRow("serial required: a lane without one is not started")
            << QList<QStringList>{none, none} << int(Serials::Required) << u"SN-2002"_s
            << QStringList{u"PASS"_s, u"NOT STARTED"_s}
            << u"Not started: no unit serial (serial required): scan it into the lane's field"_s << QList<int>{1, 0}
            << QStringList{u"Lane 1/SN-2002/success"_s};
        QTest::newRow("a serial with a control character is refused")
            << QList<QStringList>{none} << int(Serials::Refused) << u"SN-\x1b[2J"_s << QStringList{u"NOT STARTED"_s}
            << u"Not started: the unit serial SN-\\x1B[2J holds a character that cannot be printed"_s << QList<int>{0}
            << QStringList();
        QTest::newRow("a serial of 65 characters is refused")
            << QList<QStringList>{none} << int(Serials::Refused) << QString(65, u'7') << QStringList{u"NOT STARTED"_s}
            << u"Not started: the unit serial is 65 characters long; at most 64"_s << QList<int>{0} << QStringList();
        QTest::newRow("a unit that passed with this image: No sends nothing")
            << QList<QStringList>{none} << int(Serials::PassedNo) << u"SN-9"_s << QStringList{u"IDLE"_s}
            << u"Unit SN-9 (last attempt PASS, fw.txt, "_s << QList<int>{0} << QStringList{u"Bay 0/SN-9/success"_s};
        QTest::newRow("a unit that passed with this image: Yes updates it again")
            << QList<QStringList>{none} << int(Serials::PassedYes) << u"SN-9"_s << QStringList{u"PASS"_s}
            << u"Unit SN-9 (last attempt PASS, fw.txt, "_s << QList<int>{1}
            << QStringList{u"Bay 0/SN-9/success"_s, u"Lane 1/SN-9/success"_s};
        QTest::newRow("watching: the serial and last attempt of lane 1's next unit, of that lane only")
            << QList<QStringList>{none, none} << int(Serials::WatchNext) << u"SN-7"_s
            << QStringList{u"PASS"_s, u"PASS"_s} << u"Next unit SN-7: last attempt FAIL (write-refused), old-fw.txt, "_s
            << QList<int>{1, 1}
            << QStringList{u"Bay 0/SN-7/write-refused"_s, u"Lane 1/SN-7/success"_s, u"Lane 2//success"_s};
        QTest::newRow("watching with serial required: a unit waits for its serial")
            << QList<QStringList>{none, none} << int(Serials::WatchRequired) << u"SN-B"_s
            << QStringList{u"PASS"_s, u"NOT STARTED"_s}
            << u"Serial required: enter the next unit's serial, then it is updated"_s << QList<int>{1, 1}
            << QStringList{u"Lane 1/SN-A/success"_s, u"Lane 1/SN-B/success"_s};
        QTest::newRow("the History view after two lanes end, one PASS, one FAIL")
            << QList<QStringList>{none, {u"--end-reply"_s, u"NG*"_s}} << int(Serials::HistoryView) << QString()
            << QStringList{u"PASS"_s, u"FAIL"_s} << QString() << QList<int>{1, 1}
            << QStringList{u"Lane 1//success"_s, u"Lane 2//write-refused"_s};
        QTest::newRow("a history that is no database starts no lane")
            << QList<QStringList>{none} << int(Serials::NotSqlite) << QString() << QStringList{u"IDLE"_s}
            << u"The unit history cannot be opened: "_s << QList<int>{0} << QStringList();
    }

    void unitHistory()
    {
        QFETCH(QList<QStringList>, faults);
        QFETCH(int, script);
        QFETCH(QString, serial);
        QFETCH(QStringList, words);
        QFETCH(QString, says);
        QFETCH(QList<int>, erases);
        QFETCH(QStringList, history);

        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-').remove(u':');
        const QString historyPath = m_dir.filePath(tag + u".sqlite"_s);
        const bool watching = script == int(Serials::WatchNext) || script == int(Serials::WatchRequired);
        // Known units, kept by another bay before this window opened.
        const auto kept = [&](const QString &unit, bool ok, const QString &outcome, const QString &image,
                              const QByteArray &sha256) {
            HistoryStore store;
            HistoryRow row;
            row.uuid = unit + u"-kept"_s;
            row.started = row.finished = u"2026-01-02T03:04:05.000Z"_s;
            row.lane = u"Bay 0"_s;
            row.unitSerial = unit;
            row.unitRun = unit;
            row.image = image;
            row.imageSha256 = QString::fromLatin1(sha256);
            row.outcome = outcome;
            row.ok = ok;
            return store.open(historyPath) && store.insert({row});
        };
        if (script == int(Serials::NotSqlite))
            QVERIFY(TestFiles::writeFile(historyPath, "these are notes, not a history\n"));
        if (script == int(Serials::PassedNo) || script == int(Serials::PassedYes)) {
            QFile image(imagePath());
            QVERIFY(image.open(QIODevice::ReadOnly));
            const QByteArray sha = QCryptographicHash::hash(image.readAll(), QCryptographicHash::Sha256).toHex();
            QVERIFY(kept(serial, true, u"success"_s, u"/line/fw.txt"_s, sha));
        }
        if (script == int(Serials::WatchNext))
            QVERIFY(kept(serial, false, u"write-refused"_s, u"/old/old-fw.txt"_s, QByteArray(64, 'a')));

        // Watching, the units arrive later on ports of the test's own.
        std::vector<std::unique_ptr<Simulator>> sims;
        QList<LaneStore::Entry> lanes;
        QStringList ports;
        for (qsizetype i = 0; i < faults.size(); ++i) {
            if (watching) {
                ports << m_dir.filePath(u"%1-bay%2"_s.arg(tag).arg(i + 1));
            } else {
                sims.push_back(std::make_unique<Simulator>());
                QVERIFY(sims.back()->start(faults.at(i)));
                ports << sims.back()->device();
            }
            lanes.append({QString(), ports.last()});
        }
        Lane::Settings settings = fastLaneSettings();
        settings.probeInterval = 100ms;
        settings.goneAfter = 300ms;
        Bench bench(m_dir.filePath(tag + u".ini"_s), settings, historyPath);
        bench.presenter->setLanes(lanes);
        QVERIFY(bench.show());
        QVERIFY(bench.choose(imagePath()));
        control<QCheckBox>(bench.window, "watchBox")->setChecked(watching);
        const bool required = script == int(Serials::Required) || script == int(Serials::WatchRequired);
        control<QCheckBox>(bench.window, "serialRequiredBox")->setChecked(required);
        bench.messages.answerYes = script != int(Serials::PassedNo);
        LaneWidget *first = bench.window.laneWidgets().constFirst();
        const auto scan = [&](LaneWidget *lane, const QString &text) {
            lane->serialEdit->setFocus();
            QTest::keyClicks(lane->serialEdit, text);
            QTest::keyClick(lane->serialEdit, Qt::Key_Return);
        };
        const auto arrive = [&](int lane) {
            sims.push_back(std::make_unique<Simulator>());
            return sims.back()->start({u"--link"_s, ports.at(lane)}, Simulator::Log::Commands);
        };
        QString shown; // what lane 1 or the boxes said

        switch (Serials(script)) {
        case Serials::ScanOne:
            scan(bench.window.laneWidgets().at(1), serial);
            QVERIFY(bench.atRest());
            WEXEL_TRY_COMPARE(bench.words(), (QStringList{u"IDLE"_s, u"PASS"_s}));
            QCOMPARE(historyIn(historyPath), QStringList{u"Lane 2/SN-1001/success"_s});
            // The field was left for the next scan; the serial named one unit.
            QVERIFY(bench.window.laneWidgets().at(1)->serialEdit->text().isEmpty());
            QTest::keyClick(&bench.window, Qt::Key_Return);
            break;
        case Serials::Required:
            first->serialEdit->setFocus();
            QTest::keyClicks(first->serialEdit, serial);
            control<QPushButton>(bench.window, "startButton")->click();
            break;
        case Serials::Refused:
            first->serialEdit->setFocus();
            first->serialEdit->setText(serial);
            QTest::keyClick(first->serialEdit, Qt::Key_Return);
            break;
        case Serials::PassedNo:
        case Serials::PassedYes:
        case Serials::NotSqlite:
            scan(first, serial);
            break;
        case Serials::WatchNext:
            QTest::keyClick(&bench.window, Qt::Key_Return);
            WEXEL_TRY_COMPARE(bench.words(), (QStringList{u"WAITING"_s, u"WAITING"_s}));
            scan(first, serial);
            WEXEL_TRY_VERIFY(first->lastLabel->text().startsWith(says));
            shown = first->lastLabel->text();
            QVERIFY(arrive(0) && arrive(1));
            WEXEL_TRY_COMPARE_WITH_TIMEOUT(bench.words(), words, kProcessTimeoutMs);
            // Its unit has ended, and its serial with it.
            WEXEL_TRY_VERIFY2(first->lastLabel->text().startsWith(u"1 passed, 0 failed; last SN-7 at "_s),
                              qPrintable(first->lastLabel->text()));
            bench.presenter->stopAll();
            break;
        case Serials::WatchRequired:
            // A watching lane needs a serial to start, as any other.
            QTest::keyClick(&bench.window, Qt::Key_Return);
            WEXEL_TRY_COMPARE(bench.words().constFirst(), u"NOT STARTED"_s);
            scan(first, u"SN-A"_s);
            WEXEL_TRY_COMPARE(bench.words().constFirst(), u"WAITING"_s);
            QVERIFY(arrive(0));
            WEXEL_TRY_COMPARE_WITH_TIMEOUT(bench.words().constFirst(), u"PASS"_s, kProcessTimeoutMs);
            (void)sims.back()->summary();
            WEXEL_TRY_COMPARE_WITH_TIMEOUT(bench.words().constFirst(), u"WAITING"_s, kProcessTimeoutMs);
            // The next unit answers look after look, and is not touched.
            QVERIFY(arrive(0));
            WEXEL_TRY_VERIFY_WITH_TIMEOUT(sims.back()->received() >= 3, kProcessTimeoutMs);
            QCOMPARE(bench.words().constFirst(), u"WAITING"_s);
            WEXEL_TRY_COMPARE(first->lastLabel->text(), says);
            shown = first->lastLabel->text();
            scan(first, serial);
            WEXEL_TRY_COMPARE_WITH_TIMEOUT(bench.words().constFirst(), u"PASS"_s, kProcessTimeoutMs);
            bench.presenter->stopAll();
            break;
        case Serials::HistoryView:
            QTest::keyClick(&bench.window, Qt::Key_H, Qt::ControlModifier);
            WEXEL_TRY_VERIFY(bench.window.historyViewShown());
            QCOMPARE(cellsOf(bench.window.historyView()->countsTable), QStringList());
            control<QPushButton>(bench.window, "startButton")->click();
            break;
        }
        QVERIFY(bench.atRest());
        WEXEL_TRY_COMPARE(bench.words(), words);
        if (script == int(Serials::Required) || script == int(Serials::Refused))
            shown = bench.window.laneWidgets().constLast()->view().detail;
        for (const QList<Message> &said : {bench.messages.questions, bench.messages.messages}) {
            if (!said.isEmpty())
                shown = said.constFirst().prompt;
        }
        QVERIFY2(shown.startsWith(says), qPrintable(shown));
        QCOMPARE(bench.messages.questions.size(),
                 script == int(Serials::PassedNo) || script == int(Serials::PassedYes) ? 1 : 0);
        if (script == int(Serials::HistoryView)) {
            const HistoryView *view = bench.window.historyView();
            WEXEL_TRY_COMPARE(cellsOf(view->countsTable),
                              (QStringList{u"Lane 1|1|1|0|100.0 %"_s, u"Lane 2|1|0|1|0.0 %"_s}));
            QStringList recent;
            for (const QString &row : cellsOf(view->recentTable))
                recent << row.section(u'|', 1); // the time is the test's own
            recent.sort();
            QCOMPARE(recent, (QStringList{u"Lane 1|-|PASS"_s, u"Lane 2|-|FAIL (write-refused)"_s}));
            // Report...: the whole history as one page beside it; offscreen no
            // browser opens, so the page's place is told.
            const qsizetype told = bench.messages.messages.size();
            view->reportButton->click();
            WEXEL_TRY_COMPARE_WITH_TIMEOUT(bench.messages.messages.size(), told + 1, kProcessTimeoutMs);
            const QString page = QFileInfo(historyPath).absoluteDir().filePath(u"wexel-report.html"_s);
            QCOMPARE(bench.messages.messages.constLast().prompt, u"The report is in %1"_s.arg(page));
            QFile report(page);
            QVERIFY(report.open(QIODevice::ReadOnly));
            const QByteArray html = report.readAll();
            QVERIFY(html.contains("<svg") && html.contains("write-refused"));
            QVERIFY(view->reportButton->isEnabled());
        }
        if (script == int(Serials::WatchNext)) {
            // Kept in UTC; shown in local time.
            const QString when = QDateTime::fromString(u"2026-01-02T03:04:05.000Z"_s, Qt::ISODateWithMs)
                                     .toLocalTime()
                                     .toString(u"yyyy-MM-dd HH:mm:ss"_s);
            QCOMPARE(shown, says + when);
        }
        if (script == int(Serials::NotSqlite)) {
            // Left as it was, never replaced by a history of the station's own.
            QFile notes(historyPath);
            QVERIFY(notes.open(QIODevice::ReadOnly));
            QCOMPARE(notes.readAll(), QByteArray("these are notes, not a history\n"));
        } else {
            QCOMPARE(historyIn(historyPath), history);
        }
        for (size_t i = 0; i < sims.size() && i < size_t(erases.size()); ++i)
            QCOMPARE(sims[i]->summary().value(u"erase_count"_s).toInt(), erases.at(qsizetype(i)));
    }

    // The window on the bench screens: 32 lanes all in view on 1920 x 1080
    // with PASS and FAIL readable from two metres, or the failed lanes named
    // in a strip that a click takes to; a window no wider than 1024 pixels
    // whatever the image's name or the reason it was refused; a station
    // without lanes that says how to add one.
    void layout_data()
    {
        QTest::addColumn<int>("lanes");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QList<int>>("failed"); // the others passed
        QTest::addColumn<QString>("imageName"); // a file to choose, if any
        QTest::addColumn<bool>("binary"); // refused for what it holds

        // Maximised, less a window manager's title bar.
        const QSize bench1080(1920, 1080 - 30);
        const QSize bench768(1024, 768 - 30);
        QTest::newRow("32 lanes on 1920 x 1080: all in view")
            << 32 << bench1080 << QList<int>{4, 31} << QString() << false;
        QTest::newRow("32 lanes on 1024 x 768: the failed ones listed")
            << 32 << bench768 << QList<int>{2, 29} << QString() << false;
        QTest::newRow("a 200-character image name on 1024 x 768")
            << 1 << bench768 << QList<int>() << QString(196, u'n') + u".txt"_s << false;
        QTest::newRow("a refused image with a long name on 1024 x 768")
            << 1 << bench768 << QList<int>() << u"release-"_s + QString(140, u'b') + u".bin"_s << true;
        QTest::newRow("no lanes: how to add one") << 0 << bench768 << QList<int>() << QString() << false;
    }

    void layout()
    {
        QFETCH(int, lanes);
        QFETCH(QSize, size);
        QFETCH(QList<int>, failed);
        QFETCH(QString, imageName);
        QFETCH(bool, binary);

        // As the station opens by default: with its unit history, each tile
        // with its serial's field and line.
        Bench bench(m_dir.filePath(u"layout.ini"_s), fastLaneSettings(), m_dir.filePath(u"layout.sqlite"_s));
        // Never started: no port is opened.
        QList<LaneStore::Entry> entries;
        for (int i = 0; i < lanes; ++i)
            entries.append({QString(), u"/dev/ttyUSB%1"_s.arg(i)});
        bench.presenter->setLanes(entries);
        bench.window.resize(size);
        QVERIFY(bench.show());
        QStringList failedNames;
        for (int i = 0; i < lanes; ++i) {
            LaneWidget *tile = bench.window.laneWidgets().at(i);
            LaneView view = tile->view();
            view.phase = failed.contains(i) ? LaneView::Phase::Failed : LaneView::Phase::Passed;
            tile->setView(view);
            if (failed.contains(i))
                failedNames << view.name;
        }
        if (!imageName.isEmpty()) {
            const QString path = m_dir.filePath(imageName);
            QFile f(path);
            const QByteArray content = binary ? QByteArray("\x7f"
                                                           "ELF\x02\x01\x01\0\0\0",
                                                           10)
                                              : MatrixSupport::lines(4);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
            f.close();
            control<FirmwareFileDialog>(bench.window, "fileDialog")->setChooser([path] { return path; });
            control<QPushButton>(bench.window, "chooseButton")->click();
            WEXEL_TRY_VERIFY(binary ? control<QLabel>(bench.window, "imageSummary")->text().startsWith(u"Refused"_s)
                                    : !control<QLineEdit>(bench.window, "imageSha")->text().isEmpty());
        }

        QVERIFY2(bench.window.minimumSizeHint().width() <= 1024,
                 qPrintable(u"minimum width %1"_s.arg(bench.window.minimumSizeHint().width())));
        QVERIFY2(bench.window.width() <= size.width(), qPrintable(u"width %1"_s.arg(bench.window.width())));
        // Each text that holds the name (the name, the refusal) is cut in
        // the middle, whole in its tooltip.
        int holding = 0;
        for (const QLabel *label : bench.window.findChildren<QLabel *>()) {
            if (imageName.isEmpty() || !label->toolTip().contains(imageName))
                continue;
            ++holding;
            const QString shown = label->property("shownText").toString();
            QVERIFY2(shown.contains(u'…') && shown.size() < label->text().size(), qPrintable(label->text()));
        }
        QCOMPARE(holding > 0, !imageName.isEmpty());

        auto *scroll = bench.window.findChild<QScrollArea *>();
        const auto inView = [scroll](const QWidget *tile) {
            const QRect where(tile->mapTo(scroll->viewport(), QPoint(0, 0)), tile->size());
            return scroll->viewport()->rect().contains(where);
        };
        auto *strip = bench.window.findChild<QListWidget *>(u"failedLanes"_s);
        auto *hint = bench.window.findChild<QLabel *>(u"emptyHint"_s);
        QVERIFY(lanes > 0 || (hint && hint->isVisible()));
        if (lanes == 0)
            QVERIFY2(hint->text().contains(u"Add lane..."_s), qPrintable(hint->text()));
        if (lanes == 32 && size.width() >= 1920) {
            WEXEL_TRY_VERIFY(std::all_of(bench.window.laneWidgets().begin(), bench.window.laneWidgets().end(), inView));
            for (const LaneWidget *tile : bench.window.laneWidgets()) {
                QVERIFY2(inView(tile), qPrintable(tile->view().name));
                QVERIFY2(tile->verdictPixelSize() >= 36, qPrintable(u"%1 px"_s.arg(tile->verdictPixelSize())));
            }
            QVERIFY(!strip || !strip->isVisible());
        } else if (lanes == 32) {
            QVERIFY(strip);
            WEXEL_TRY_VERIFY(strip->isVisible());
            QStringList listed;
            for (int i = 0; i < strip->count(); ++i)
                listed << strip->item(i)->text();
            QCOMPARE(listed, failedNames);
            const LaneWidget *last = bench.window.laneWidgets().at(failed.constLast());
            QVERIFY(!inView(last));
            QTest::mouseClick(strip->viewport(), Qt::LeftButton, {},
                              strip->visualItemRect(strip->item(strip->count() - 1)).center());
            WEXEL_TRY_VERIFY(inView(last));
        }
    }

    // Every Tab stop shows the same frame, just around it: the lane area
    // and the lanes' buttons included.
    void focusFrameOnEveryStop()
    {
        Bench bench(m_dir.filePath(u"focus.ini"_s), fastLaneSettings());
        bench.presenter->setLanes({{QString(), u"/dev/ttyUSB0"_s}, {QString(), u"/dev/ttyUSB1"_s}});
        QVERIFY(bench.show());
        QVERIFY(bench.choose(imagePath()));
        QList<QWidget *> stops;
        for (int i = 0; i < 30; ++i) {
            QWidget *focused = QApplication::focusWidget();
            QVERIFY(focused);
            if (stops.contains(focused))
                break;
            stops << focused;
            const QWidget *mark = bench.window.findChild<QWidget *>(u"focusFrame"_s);
            QVERIFY2(mark && mark->isVisible(), focused->metaObject()->className());
            QCOMPARE(mark->parentWidget(), focused->parentWidget());
            QCOMPARE(mark->geometry(), focused->geometry().adjusted(-2, -2, 2, 2));
            QTest::keyClick(focused, Qt::Key_Tab);
        }
        // The image box, the controls, the lane area and both lanes' buttons.
        QVERIFY2(stops.size() >= 8, qPrintable(QString::number(stops.size())));
        QVERIFY(stops.contains(bench.window.findChild<QScrollArea *>()));
        QVERIFY(stops.contains(bench.window.laneWidgets().constLast()->startStopButton));
    }

    // Thousands of lines as fast as the instrument answers: the tile is
    // drawn once a tick at most, not once a line. The run is given at most
    // kProcessTimeoutMs, so it has that many ms worth of ticks at most: a
    // tenth of the lines here, whatever the machine's speed.
    void progressDrawnOnceATick()
    {
        const QString big = m_dir.filePath(u"big.txt"_s);
        QFile f(big);
        constexpr int kLines = 3000;
        const QByteArray image = MatrixSupport::lines(kLines) + "q\n";
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(image) == image.size());
        f.close();
        Simulator sim;
        QVERIFY(sim.start());
        Bench bench(m_dir.filePath(u"ticks.ini"_s), fastLaneSettings());
        bench.presenter->setLanes({{QString(), sim.device()}});
        QVERIFY(bench.show());
        QVERIFY(bench.choose(big));
        // An event loop that waits for events, as EventWait's does: QTRY's
        // looks every 10 ms and would pace the lines to its own step.
        QSignalSpy rest(bench.presenter, &StationPresenter::atRest);
        bench.presenter->startAll();
        QVERIFY(rest.wait(kProcessTimeoutMs));
        WEXEL_TRY_COMPARE(bench.words(), QStringList{u"PASS"_s});
        const int redraws = bench.presenter->laneStats().constFirst().redraws;
        // One a tick while it ran, the last after it ended, one to spare.
        const qint64 ticks = kProcessTimeoutMs / StationPresenter::kRedrawInterval.count() + 3;
        static_assert(kProcessTimeoutMs / StationPresenter::kRedrawInterval.count() + 3 <= kLines / 10);
        QVERIFY(redraws >= 1);
        QVERIFY2(redraws <= ticks, qPrintable(u"%1 redraws for %2 lines"_s.arg(redraws).arg(kLines)));
    }

    // Lanes edited in the window are there the next time, and so is Serial
    // required; settings written by hand are bounded when read; lanes from
    // --port leave them alone.
    void lanesKept()
    {
        const QString path = m_dir.filePath(u"kept.ini"_s);
        const auto addThroughEditor = [](Bench &bench, int index, const QString &name, const QString &port) {
            bench.presenter->editLane(index);
            LaneEditor *editor = bench.presenter->editor();
            editor->nameEdit->setText(name);
            editor->portBox->setEditText(port);
            editor->accept();
        };
        {
            Bench bench(path, fastLaneSettings());
            bench.presenter->loadLanes();
            QCOMPARE(bench.presenter->laneCount(), 0);
            addThroughEditor(bench, -1, u"Bay 3"_s, u"/dev/ttyUSB7"_s);
            addThroughEditor(bench, -1, u"Bay 4"_s, u" COM 4 "_s);
            addThroughEditor(bench, 0, u"Bay 3, left"_s, u"/dev/ttyUSB7"_s);
            // The operator's Serial required is kept beside the lanes.
            QVERIFY(!bench.store.serialRequired());
            control<QCheckBox>(bench.window, "serialRequiredBox")->click();
            // For this run only: what is kept stays as it was.
            Bench other(path, fastLaneSettings());
            other.presenter->setLanes({{u"Spare"_s, u"/dev/ttyUSB9"_s}});
            addThroughEditor(other, 0, u"Spare, renamed"_s, u"/dev/ttyUSB9"_s);
        }
        {
            Bench bench(path, fastLaneSettings());
            bench.presenter->loadLanes();
            QCOMPARE(bench.presenter->laneCount(), 2);
            WEXEL_TRY_COMPARE(bench.window.laneWidgets().at(0)->view().name, u"Bay 3, left"_s);
            QCOMPARE(bench.window.laneWidgets().at(0)->view().port, u"/dev/ttyUSB7"_s);
            QCOMPARE(bench.window.laneWidgets().at(1)->view().port, u"COM 4"_s);
            QVERIFY(bench.store.serialRequired());
        }
        {
            QSettings hostile(path, QSettings::IniFormat);
            hostile.remove(u"lanes"_s);
            hostile.beginWriteArray(u"lanes"_s, 100);
            for (int i = 0; i < 100; ++i) {
                hostile.setArrayIndex(i);
                hostile.setValue(u"name"_s, i == 0 ? QString(5000, u'N') : u"Lane\x1b[2J %1"_s.arg(i));
                if (i == 1)
                    hostile.setValue(u"port"_s, QString(5000, u'p'));
                else if (i == 2)
                    hostile.setValue(u"port"_s, QStringList{u"a"_s, u"b"_s});
                else
                    hostile.setValue(u"port"_s, u"/dev/ttyUSB%1"_s.arg(i));
            }
            hostile.endArray();
            hostile.setValue(u"serialRequired"_s, QStringList{u"true"_s, u"true"_s});
        }
        Bench bench(path, fastLaneSettings());
        bench.presenter->loadLanes();
        // The two lanes without a port text left out, the rest up to the limit.
        QCOMPARE(bench.presenter->laneCount(), LaneStore::kMaxLanes);
        WEXEL_TRY_COMPARE(bench.window.laneWidgets().at(0)->view().name, QString(LaneStore::kMaxNameLength, u'N'));
        QCOMPARE(bench.window.laneWidgets().at(0)->view().port, u"/dev/ttyUSB0"_s);
        QCOMPARE(bench.window.laneWidgets().at(1)->view().port, u"/dev/ttyUSB3"_s);
        // Shown, never obeyed: the escape sequence is printable text.
        QCOMPARE(bench.window.laneWidgets().at(1)->view().name, u"Lane\\x1B[2J 3"_s);
        QVERIFY(!control<QPushButton>(bench.window, "addLaneButton")->isEnabled());
        QVERIFY(!bench.store.serialRequired());
    }

    // The stable paths of the adapters come first in the lane editor, each
    // with the device it stands for; a ttyUSB path that has one is pointed
    // out, since its number may change.
    void stablePathsOffered()
    {
        StableLinkedSimulator adapter;
        QVERIFY(adapter.start());
        const QTemporaryDir &byId = adapter.byId;
        Simulator &sim = adapter.sim;
        const QString &stable = adapter.stable;
        QVERIFY(QFile::link(u"/dev/nonexistent-ttyUSB9"_s, byId.filePath(u"usb-gone-if00-port0"_s)));
        QFile plain(byId.filePath(u"not-a-link"_s));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();

        const QList<PortCatalog::StableLink> links = PortCatalog::stableLinks(byId.path());
        QCOMPARE(links.size(), 1);
        QCOMPARE(links.constFirst().path, stable);
        QCOMPARE(links.constFirst().target, sim.device());

        LaneEditor editor;
        editor.edit(-1, u"Bay 1"_s, sim.device(), {{stable, sim.device(), sim.device()}, {u"COM 1"_s, {}, {}}});
        QVERIFY(editor.portBox->itemText(0).startsWith(stable));
        QVERIFY2(editor.hintLabel->text().contains(stable), qPrintable(editor.hintLabel->text()));
        editor.portBox->setEditText(stable);
        QVERIFY(!editor.hintLabel->text().contains(sim.device()));
        editor.reject();
    }

    void refusedStartEndsTheRun_data()
    {
        QTest::addColumn<QString>("file"); // "image", or a file of the test's own
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QByteArray>("says");
        QTest::newRow("not the released image")
            << u"image"_s << QString(64, u'0') << QByteArray("The image is not the released one: no lane was started.");
        QTest::newRow("an image refused") << u"empty.txt"_s << QString() << QByteArray("the file is empty");
        // Read by its relative name's bytes, the image is found, and judged.
        QTest::newRow("an image whose name is not UTF-8")
            << u"not-utf8"_s << QString(64, u'0') << QByteArray("The image is not the released one");
    }

    // Unattended (--start --exit-when-done), a start that is refused ends the
    // program with its message on standard error, never a box that waits.
    void refusedStartEndsTheRun()
    {
        QFETCH(QString, file);
        QFETCH(QString, expected);
        QFETCH(QByteArray, says);
        const QByteArray notUtf8 = QFile::encodeName(m_dir.path()) + "/fw\xff.txt";
        if (file == u"not-utf8"_s) {
            QVERIFY(QFile::copy(imagePath(), m_dir.filePath(u"fw-copy.txt"_s)));
            QVERIFY(::rename(QFile::encodeName(m_dir.filePath(u"fw-copy.txt"_s)).constData(), notUtf8.constData())
                    == 0);
        } else if (file != u"image"_s) {
            file = m_dir.filePath(file);
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else {
            file = imagePath();
        }
        const auto removeNotUtf8 = qScopeGuard([&] { ::unlink(notUtf8.constData()); });
        Simulator sim;
        QVERIFY(sim.start());
        QStringList args{u"-platform"_s,        u"offscreen"_s, u"--start"_s,
                         u"--exit-when-done"_s, u"--port"_s,    sim.device()};
        if (!expected.isEmpty())
            args += {u"--expect-sha256"_s, expected};
        QProcess station;
        if (file == u"not-utf8"_s) {
            // QProcess cannot pass the byte: the shell makes it.
            station.setWorkingDirectory(m_dir.path());
            station.start(u"/bin/sh"_s,
                          QStringList{u"-c"_s, u"exec \"$0\" \"$@\" --file \"$(printf 'fw\\377.txt')\""_s,
                                      programPath(u"desktop/station/wexel-station"_s)}
                              + args);
        } else {
            station.start(programPath(u"desktop/station/wexel-station"_s), args + QStringList{u"--file"_s, file});
        }
        QVERIFY(station.waitForStarted());
        const bool ended = station.waitForFinished(kProcessTimeoutMs);
        if (!ended) {
            station.kill();
            station.waitForFinished(kProcessTimeoutMs);
        }
        QVERIFY2(ended, "the station still runs");
        QCOMPARE(station.exitStatus(), QProcess::NormalExit);
        QCOMPARE(station.exitCode(), 1);
        const QByteArray err = station.readAllStandardError();
        QVERIFY2(err.contains(says), err.constData());
        QCOMPARE(sim.summary().value(u"erase_count"_s).toInt(), 0);
    }

    // The lane editor as an operator meets it: the name takes what is typed
    // each time it opens; a port of no device now is kept with a note; a
    // port leading to another lane's device is refused with that lane named;
    // the adapters' stable paths are offered and completed as paths alone.
    void laneEditorChecksThePort()
    {
        StableLinkedSimulator adapter;
        QVERIFY(adapter.start());
        const QTemporaryDir &byId = adapter.byId;
        Simulator &sim = adapter.sim;
        const QString &stable = adapter.stable;
        Bench bench(m_dir.filePath(u"editor.ini"_s), fastLaneSettings());
        bench.presenter->setStableLinkDirectory(byId.path());
        bench.presenter->setLanes({{u"Bay 1"_s, sim.device()}});
        QVERIFY(bench.show());

        bench.presenter->editLane(-1);
        LaneEditor *editor = bench.presenter->editor();
        WEXEL_TRY_VERIFY(editor->isVisible());
        QCOMPARE(editor->portBox->itemData(0).toString(), stable);
        // Completion follows the focus, which only an active window has:
        // made so at once, not when the platform gets round to it.
        QApplication::setActiveWindow(editor);
        editor->portBox->setFocus();
        QTest::keyClicks(editor->portBox->lineEdit(), stable.left(stable.size() - 3));
        QCOMPARE(editor->portBox->currentText(), stable);
        // By another name, the device of Bay 1: refused, Bay 1 named.
        editor->accept();
        QVERIFY(editor->isVisible());
        QVERIFY2(editor->hintLabel->text().contains(u"Bay 1"_s), qPrintable(editor->hintLabel->text()));
        QCOMPARE(bench.presenter->laneCount(), 1);
        editor->portBox->setEditText(u"/dev/wexel-no-such-port"_s);
        QVERIFY2(editor->hintLabel->text().contains(u"does not exist now"_s), qPrintable(editor->hintLabel->text()));
        editor->accept();
        QCOMPARE(bench.presenter->laneCount(), 2);

        // The focus was left in the port box; the next opening starts at the
        // name, its text selected, so that what is typed replaces it.
        bench.presenter->editLane(0);
        WEXEL_TRY_VERIFY(editor->isVisible());
        QCOMPARE(editor->focusWidget(), editor->nameEdit);
        QCOMPARE(editor->nameEdit->selectedText(), u"Bay 1"_s);
        QTest::keyClicks(editor->focusWidget(), u"Bay 1, left"_s);
        editor->accept(); // its own port is no other lane's
        WEXEL_TRY_COMPARE(bench.window.laneWidgets().at(0)->view().name, u"Bay 1, left"_s);
        QCOMPARE(bench.window.laneWidgets().at(0)->view().port, sim.device());
    }

    // With a central server named, each unit's rows reach it; while it is
    // down they wait, and the window says how many.
    void historyGoesToTheServer()
    {
        QString why;
        if (!ThrowawayPostgres::available(&why))
            QSKIP(qPrintable(why));
        ThrowawayPostgres server;
        QVERIFY2(server.start(), qPrintable(server.error()));
        Simulator sim;
        QVERIFY(sim.start());
        Bench bench(m_dir.filePath(u"server.ini"_s), fastLaneSettings(), m_dir.filePath(u"server.sqlite"_s),
                    server.conninfo());
        bench.presenter->setLanes({{QString(), sim.device()}});
        QVERIFY(bench.show());
        QVERIFY(bench.choose(imagePath()));
        auto *waiting = bench.window.findChild<QLabel *>(u"serverWaiting"_s);
        QVERIFY(waiting);
        const auto onServer = [&] { return server.number(u"SELECT count(*) FROM attempts"_s); };
        const auto updateOnce = [&] {
            QTest::keyClick(&bench.window, Qt::Key_Return);
            WEXEL_TRY_COMPARE_WITH_TIMEOUT(bench.words(), QStringList{u"PASS"_s}, kProcessTimeoutMs);
            QVERIFY(bench.atRest());
        };

        updateOnce();
        // Sent as the unit ends, not at the forwarder's next idle look (30 s).
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(onServer(), 1, 10000);
        QVERIFY(waiting->isHidden());

        QVERIFY(server.stop());
        updateOnce();
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(waiting->text(), u"1 record waiting for the server"_s, kProcessTimeoutMs);
        QVERIFY(waiting->isVisible());
        QVERIFY(!waiting->toolTip().isEmpty()); // why it waits

        QVERIFY(server.resume());
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(onServer(), 2, kProcessTimeoutMs);
        WEXEL_TRY_VERIFY(waiting->isHidden());
    }

    // A logout, a closed terminal or Ctrl-C while lanes write: each update
    // is recorded as interrupted, and the program ends with 128 + the signal.
    void endedBySignal_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
        QTest::newRow("SIGINT") << int(SIGINT);
    }

    void endedBySignal()
    {
        QFETCH(int, signalNumber);
        const QString record = m_dir.filePath(u"signal-%1.jsonl"_s.arg(signalNumber));
        std::vector<std::unique_ptr<Simulator>> sims;
        QStringList args{u"-platform"_s, u"offscreen"_s,     u"--start"_s, u"--record"_s,
                         record,         u"--file"_s,        imagePath(),  u"--erase-tick-ms"_s,
                         u"2"_s,         u"--erase-ticks"_s, u"10"_s,      u"--hand-over-ms"_s,
                         u"10"_s};
        for (int i = 0; i < 2; ++i) {
            sims.push_back(std::make_unique<Simulator>());
            QVERIFY(sims.back()->start({u"--ack-delay-ms"_s, u"200"_s}, Simulator::Log::Commands));
            args += {u"--port"_s, sims.back()->device()};
        }
        QProcess station;
        station.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        station.start(programPath(u"desktop/station/wexel-station"_s), args);
        QVERIFY(station.waitForStarted());
        // Both lanes writing (the erase and two lines in): 41 lines at 200 ms
        // leave seconds of writing to stop in.
        for (const auto &sim : sims)
            WEXEL_TRY_VERIFY_WITH_TIMEOUT(sim->received() >= 3, kProcessTimeoutMs);
        ::kill(pid_t(station.processId()), signalNumber);
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(station.state(), QProcess::NotRunning, kProcessTimeoutMs);
        QCOMPARE(station.exitStatus(), QProcess::NormalExit);
        QCOMPARE(station.exitCode(), 128 + signalNumber);
        QCOMPARE(recordsIn(record), (QStringList{u"Lane 1/interrupted/1"_s, u"Lane 2/interrupted/1"_s}));
    }
};

WEXEL_REGISTER_TEST(StationWindowTest)

#include "tst_stationwindow.moc"
