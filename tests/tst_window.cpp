// The desktop program's window: layout and start-up state, and what an
// update shows on the panels (bars, indicators, reply box, messages, which
// controls are enabled) from start to end.
#include "desktopsupport.h"
#include "eventwait.h"
#include "fakeinstrument.h"
#include "recordingpresenter.h"
#include "testregistry.h"
#include "testtimings.h"

#include "desktop/panels/filedialog.h"
#include "desktop/panels/portlist.h"
#include "core/link/seriallink.h"
#include "desktop/panels/set_form.h"
#include "desktop/widgets/colours.h"
#include "desktop/widgets/indicator.h"
#include "desktop/panels/main_form.h"
#include "desktop/main_mdi.h"
#include "desktop/widgets/module1.h"
#include "desktop/widgets/twips.h"
#include "desktop/updatepresenter.h"
#include "history/historystore.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

QRect twipsRect(const QWidget *w, double l, double t, double width, double h)
{
    return {Twips::toPixelsX(w, l), Twips::toPixelsY(w, t), Twips::toPixelsX(w, width), Twips::toPixelsY(w, h)};
}

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString writeFile(const QString &name, const QByteArray &content)
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            qFatal("cannot write the test image");
        return path;
    }

    // A frame with a file already chosen and the port box pointing at the instrument.
    struct Bench
    {
        RecordingPresenter messages;
        FakeInstrument instrument;
        Main_MDI frame{&messages, fastTimings()};
        Main_Form *main = frame.mainForm();
        Set_Form *settings = frame.setForm();
        QSignalSpy finished{main->update(), &UpdateSequence::finished};

        Bench(const QString &file)
        {
            main->CWSerial->setReadTimeout(std::chrono::milliseconds(300));
            if (!file.isEmpty())
                choose(file);
            settings->COM_PORT_LIST->setEditText(instrument.slavePath());
        }
        void choose(const QString &file)
        {
            main->File_Tool->setChooser([file] { return file; });
            main->OPEN_BUTT->click();
            WEXEL_TRY_COMPARE(main->File_TEXT->text(), QFileInfo(file).fileName());
        }
        QList<bool> enabled() const
        {
            QList<bool> states;
            for (QWidget *w : DesktopSupport::updateLockSet(frame))
                states << w->isEnabled();
            return states;
        }
        QList<quint32> colours() const { return {main->Show_Erase->colour(), main->Show_Load->colour()}; }
        bool tryClose()
        {
            frame.show();
            return frame.close();
        }
    };

    const QList<bool> allEnabled{true, true, true, true, true};
    const QList<bool> onlyUpload{true, false, false, false, false};
    const QList<bool> allLocked{false, false, false, false, false};

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void startUpLayout()
    {
        RecordingPresenter messages;
        Main_MDI frame(&messages);
        QCOMPARE(frame.windowTitle(), QStringLiteral("Wexel_Update Program"));
        QCOMPARE(frame.size(), QSize(Twips::toPixelsX(&frame, 5580), Twips::toPixelsY(&frame, 6100)));
        QCOMPARE(frame.setFormWindow()->geometry(), twipsRect(&frame, 30, 30, 5310, 800));
        QCOMPARE(frame.mainFormWindow()->geometry(), twipsRect(&frame, 30, 860, 5310, 4700));

        Main_Form *m = frame.mainForm();
        // A few placements the technician's instructions point at.
        QCOMPARE(m->OPEN_BUTT->geometry(), twipsRect(m, 120, 120, 2415, 615));
        QCOMPARE(m->Frame1->geometry(), twipsRect(m, 120, 2160, 2775, 2415));
        QCOMPARE(m->QUIT_BUTT->geometry(), twipsRect(m, 3000, 4080, 2175, 495));
        QCOMPARE(m->Doownload_BUTT->geometry(), twipsRect(m, 120, 240, 2175, 615));

        // Each control by its name, with its text.
        const QList<QPair<const char *, QString>> texts{
            {"OPEN_BUTT", u"Load firmware file"_s},
            {"Label1", u"File Name :"_s},
            {"Label3", u"Code Line"_s},
            {"Label2", u"File Path :"_s},
            {"Doownload_BUTT", u"Upload firmware"_s},
            {"Erase_LAB", u"Erase Processing"_s},
            {"Load_LAB", u"Write Processing"_s},
            {"QUIT_BUTT", u"QUIT"_s},
        };
        for (const auto &[name, text] : texts) {
            QWidget *w = m->findChild<QWidget *>(QLatin1String(name));
            QVERIFY2(w, name);
            if (auto *b = qobject_cast<QPushButton *>(w))
                QCOMPARE(b->text(), text);
            else
                QCOMPARE(qobject_cast<QLabel *>(w)->text(), text);
        }
        for (QWidget *inFrame : {static_cast<QWidget *>(m->Doownload_BUTT), static_cast<QWidget *>(m->Erase_Bar),
                                 static_cast<QWidget *>(m->Show_Erase), static_cast<QWidget *>(m->Download_Bar),
                                 static_cast<QWidget *>(m->Show_Load)})
            QCOMPARE(inFrame->parentWidget(), m->Frame1);

        // Every control lies within its panel or frame, and no two overlap; a
        // caption may touch the box it names, but no other caption.
        for (QWidget *parent : {static_cast<QWidget *>(m), static_cast<QWidget *>(m->Frame1)}) {
            const QList<QWidget *> controls = parent->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
            for (QWidget *a : controls) {
                if (a->isWindow())
                    continue; // the file dialog
                QVERIFY2(parent->rect().contains(a->geometry()), qPrintable(a->objectName()));
                for (QWidget *b : controls) {
                    if (a == b || b->isWindow() || !a->geometry().intersects(b->geometry()))
                        continue;
                    const bool caption = qobject_cast<QLabel *>(a) || qobject_cast<QLabel *>(b);
                    const bool twoCaptions = qobject_cast<QLabel *>(a) && qobject_cast<QLabel *>(b);
                    QVERIFY2(caption && !twoCaptions, qPrintable(a->objectName() + u" overlaps "_s + b->objectName()));
                }
            }
        }
        // The two panels lie apart within the frame's own size.
        QVERIFY(!frame.setFormWindow()->geometry().intersects(frame.mainFormWindow()->geometry()));
        QVERIFY(QRect(QPoint(), frame.size()).contains(frame.mainFormWindow()->geometry()));

        // Keyboard order of the controls that take the focus: QUIT first,
        // then the file row, then the upload controls.
        const QList<QWidget *> focusable{m->QUIT_BUTT, m->OPEN_BUTT, m->File_TEXT,
                                         m->Path_TEXT, m->Code_line, m->Doownload_BUTT};
        QList<QWidget *> order;
        for (QWidget *w = m->QUIT_BUTT; order.size() < focusable.size(); w = w->nextInFocusChain()) {
            if (focusable.contains(w) && !order.contains(w))
                order += w;
            if (w->nextInFocusChain() == m->QUIT_BUTT)
                break;
        }
        QCOMPARE(order, focusable);

        QCOMPARE(m->OPEN_BUTT->font().family(), QStringLiteral("Arial"));
        QCOMPARE(m->OPEN_BUTT->font().pointSizeF(), 11.25);
        QVERIFY(m->OPEN_BUTT->font().bold());
        QCOMPARE(m->Label1->font().pointSizeF(), 9.75);
        QVERIFY(!m->Label1->font().bold());
        QCOMPARE(m->Erase_Bar->minimum(), 0);
        QCOMPARE(m->Erase_Bar->maximum(), 100);
        QCOMPARE(m->Download_Bar->maximum(), 100);

        // The state after the load step.
        QVERIFY(!m->Doownload_BUTT->isEnabled());
        QVERIFY(m->OPEN_BUTT->isEnabled());
        QVERIFY(m->QUIT_BUTT->isEnabled());
        QVERIFY(m->Label3->isHidden());
        QVERIFY(m->Code_line->isHidden());
        QCOMPARE(m->Show_Erase->colour(), quint32(16744576));
        QCOMPARE(m->Show_Load->colour(), quint32(16744576));
        QCOMPARE(m->Erase_Bar->value(), 0);
        QCOMPARE(m->Download_Bar->value(), 0);
        QCOMPARE(frame.holder().CWSerial, m->CWSerial);
        // The timers are off until an update starts.
        QCOMPARE(m->update()->state(), UpdateSequence::State::Ready);
        QCOMPARE(m->update()->timings().eraseTickInterval, std::chrono::milliseconds(50));
        QCOMPARE(m->update()->timings().eraseTickCount, 100);
        QCOMPARE(m->update()->timings().handOverDelay, std::chrono::milliseconds(1000));
    }

    void centerForm_data()
    {
        QTest::addColumn<int>("screenWidth");
        QTest::addColumn<int>("screenHeight");
        QTest::addColumn<double>("left");
        QTest::addColumn<double>("top");
        QTest::newRow("1024x768") << 1024 << 768 << 4890.0 << 960.0;
        QTest::newRow("600 high: above the top edge") << 800 << 600 << 3210.0 << -300.0;
        QTest::newRow("1920x1080") << 1920 << 1080 << 11610.0 << 3300.0;
    }
    void centerForm()
    {
        QFETCH(int, screenWidth);
        QFETCH(int, screenHeight);
        QFETCH(double, left);
        QFETCH(double, top);
        const QPointF p = Module1::centerPosition(screenWidth, screenHeight, 15.0f, 15.0f, 5580.0f, 6100.0f);
        QCOMPARE(p.x(), left);
        QCOMPARE(p.y(), top);
    }

    void quitEndsTheProgram()
    {
        RecordingPresenter messages;
        FakeInstrument instrument;
        Main_MDI frame(&messages);
        QSignalSpy quit(frame.mainForm(), &Main_Form::quitRequested);
        frame.mainForm()->QUIT_BUTT->click();
        QCOMPARE(quit.size(), 1);
        QCOMPARE(instrument.received(), QByteArray());
    }

    void choosingAFileEnablesTheUpload()
    {
        Bench b({});
        QVERIFY(!b.main->Doownload_BUTT->isEnabled());
        // Cancelled before any choice: the message, nothing else.
        b.main->File_Tool->setChooser([] { return QString(); });
        b.main->OPEN_BUTT->click();
        WEXEL_TRY_COMPARE(b.messages.messages.size(), 1);
        QCOMPARE(b.messages.messages.first(),
                 (Message{QStringLiteral("No open file"), QStringLiteral("Open file error"), Message::Icon::Critical}));
        QVERIFY(!b.main->Doownload_BUTT->isEnabled());

        QDir(m_dir.path()).mkpath(QStringLiteral("nested/dir"));
        const QString file = writeFile(QStringLiteral("nested/dir/main.txt"), "@F000\r\n31 40\r\nq\r\n");
        b.choose(file);
        QCOMPARE(b.main->File_TEXT->text(), QStringLiteral("main.txt"));
        QCOMPARE(b.main->Path_TEXT->text(), QDir::toNativeSeparators(m_dir.filePath(QStringLiteral("nested/dir/"))));
        QCOMPARE(b.main->Code_line->text(), QStringLiteral("3"));
        QVERIFY(b.main->Doownload_BUTT->isEnabled());
        QVERIFY(b.main->Code_line->isHidden());

        // An empty file still enables the upload (which then refuses it).
        Bench empty({});
        empty.choose(writeFile(QStringLiteral("empty.txt"), {}));
        QCOMPARE(empty.main->Code_line->text(), QStringLiteral("0"));
        QVERIFY(empty.main->Doownload_BUTT->isEnabled());
    }

    void successfulUpdate()
    {
        Bench b(writeFile(QStringLiteral("ok.txt"), "@F000\n31 40 00\nq\n"));
        QSignalSpy state(b.main->update(), &UpdateSequence::stateChanged);
        // What the panel shows at the moment the write phase begins.
        QList<bool> enabledWhileWriting;
        int eraseBarWhileWriting = -1;
        connect(b.main->update(), &UpdateSequence::stateChanged, this, [&](UpdateSequence::State s) {
            if (s == UpdateSequence::State::Writing) {
                enabledWhileWriting = b.enabled();
                eraseBarWhileWriting = b.main->Erase_Bar->value();
            }
        });
        b.main->Doownload_BUTT->click();
        QCOMPARE(b.enabled(), allLocked);
        QCOMPARE(b.colours(), (QList<quint32>{PendingColour, PendingColour}));
        WEXEL_TRY_COMPARE(b.finished.size(), 1);
        QCOMPARE(enabledWhileWriting, allLocked);
        QCOMPARE(eraseBarWhileWriting, 100);
        QCOMPARE(b.messages.messages,
                 (QList<Message>{
                     {QStringLiteral("Update OK"), QStringLiteral("Update OK"), Message::Icon::Information}}));
        QCOMPARE(b.colours(), (QList<quint32>{DoneColour, DoneColour}));
        QCOMPARE(b.main->Download_Bar->value(), 100);
        QCOMPARE(b.settings->Text1->text(), QStringLiteral("END*"));
        QCOMPARE(b.enabled(), allEnabled);
        QCOMPARE(b.instrument.linesAfterKill(), (QList<QByteArray>{"@0F000", "31 40 00 FF", "q"}));
        QCOMPARE(state.size(), 5); // loading, erasing, handing over, writing, ready
    }

    void recordOfEachUpdate_data()
    {
        QTest::addColumn<QString>("record"); // "file", "folder" or none
        QTest::addColumn<QString>("history"); // "file", "notes" (not SQLite) or none
        QTest::addColumn<QString>("refused"); // the cause, when nothing is sent
        QTest::newRow("record appended") << u"file"_s << QString() << QString();
        QTest::newRow("record that cannot be opened") << u"folder"_s << QString() << u"record file cannot be opened"_s;
        QTest::newRow("history: a row without a serial") << QString() << u"file"_s << QString();
        QTest::newRow("history that is not SQLite") << QString() << u"notes"_s << u"unit history cannot be opened"_s;
    }

    // --record: each update leaves one line; the unit history (kept by
    // default) one row, with no serial; a record file or a history that
    // cannot be opened stops the update before anything is sent.
    void recordOfEachUpdate()
    {
        QFETCH(QString, record);
        QFETCH(QString, history);
        QFETCH(QString, refused);
        Bench b(writeFile(QStringLiteral("recorded.txt"), "@F000\n31 40\nq\n"));
        const QString recordPath
            = record == u"folder"_s ? m_dir.path() : m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        if (!record.isEmpty())
            b.frame.setRecordFile(recordPath);
        const QString historyPath = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + u".sqlite"_s);
        if (history == u"notes"_s)
            writeFile(QFileInfo(historyPath).fileName(), "not a history\n");
        if (!history.isEmpty()) {
            HistoryOptions::Settings settings;
            settings.path = historyPath;
            b.frame.setHistory(settings);
        }
        b.main->Doownload_BUTT->click();
        if (!refused.isEmpty()) {
            QCOMPARE(b.messages.messages.size(), 1);
            QCOMPARE(b.messages.messages.first().prompt, QStringLiteral("Code Downloading is error."));
            QVERIFY(b.messages.details.first().join(u'\n').contains(refused));
            EventWait::forMs(50);
            QCOMPARE(b.instrument.received(), QByteArray());
            return;
        }
        WEXEL_TRY_COMPARE(b.finished.size(), 1);
        if (history == u"file"_s) {
            HistoryStore store;
            QVERIFY(store.open(historyPath));
            QList<HistoryRow> rows;
            QVERIFY(store.read({}, [&rows](const HistoryRow &row) { rows << row; }));
            QCOMPARE(rows.size(), 1);
            QCOMPARE(rows.first().port, b.instrument.slavePath());
            QCOMPARE(rows.first().unitSerial, QString());
            QCOMPARE(rows.first().outcome, u"success"_s);
            return;
        }
        QFile f(recordPath);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = f.readAll().split('\n');
        QCOMPARE(lines.size(), 2); // one record and the final line feed
        const QJsonObject rec = QJsonDocument::fromJson(lines.first()).object();
        QCOMPARE(rec.value(QStringLiteral("ok")).toBool(), true);
        QCOMPARE(rec.value(QStringLiteral("port")).toString(), b.instrument.slavePath());
        QCOMPARE(rec.value(QStringLiteral("lines_acknowledged")).toInt(), 3);
    }

    void controlsComeBackOnlyAfterOk()
    {
        Bench b(writeFile(QStringLiteral("ok2.txt"), "@F000\n31 40\nq\n"));
        b.messages.holdOk = true;
        b.main->Doownload_BUTT->click();
        WEXEL_TRY_COMPARE(b.finished.size(), 1);
        QCOMPARE(b.messages.messages.size(), 1);
        QCOMPARE(b.enabled(), allLocked);
        b.messages.pressOk();
        QCOMPARE(b.enabled(), allEnabled);
    }

    void failedUpdates_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("prompt");
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("eraseBar");
        QTest::addColumn<quint32>("eraseColour");
        QTest::addColumn<QList<bool>>("enabled");
        QTest::newRow("erase refused") << "erase-refused"
                                       << "Erese is error"
                                       << "Error" << 100 << PendingColour << onlyUpload;
        // No answer at all: the port box and the link test come back to check the port.
        QTest::newRow("erase silent") << "erase-silent"
                                      << "Erese is error"
                                      << "Error" << 100 << PendingColour << QList<bool>{true, false, false, true, true};
        QTest::newRow("refused at line 10") << "refuse-10"
                                            << "Code Downloading is error."
                                            << "Code Download error" << 100 << DoneColour << onlyUpload;
        QTest::newRow("hang-up while writing") << "hangup-3"
                                               << "Code Downloading is error."
                                               << "Code Download error" << 100 << DoneColour << onlyUpload;
        QTest::newRow("port missing") << "port-missing"
                                      << "Code Downloading is error."
                                      << "Code Download error" << 0 << PendingColour << allEnabled;
        QTest::newRow("no port text") << "no-port"
                                      << "Please setting COM PORT"
                                      << "COM PORT ERROR" << 0 << PendingColour << allEnabled;
        QTest::newRow("file deleted after choice") << "file-deleted"
                                                   << "Code Downloading is error."
                                                   << "Code Download error" << 0 << PendingColour << allEnabled;
    }
    void failedUpdates()
    {
        QFETCH(QString, fault);
        QFETCH(QString, prompt);
        QFETCH(QString, title);
        QFETCH(int, eraseBar);
        QFETCH(quint32, eraseColour);
        QFETCH(QList<bool>, enabled);
        const QString file = writeFile(QStringLiteral("fail-%1.txt").arg(fault),
                                       "@F000\n01\n02\n03\n04\n05\n06\n07\n08\n09\n10\n11\nq\n");
        Bench b(file);
        if (fault == u"erase-refused")
            b.instrument.erase = FakeInstrument::Erase::Refuse;
        else if (fault == u"erase-silent")
            b.instrument.erase = FakeInstrument::Erase::Silent;
        else if (fault == u"refuse-10")
            b.instrument.refuseLine = 10;
        else if (fault == u"hangup-3")
            b.instrument.hangUpAtLine = 3;
        else if (fault == u"port-missing")
            b.settings->COM_PORT_LIST->setEditText(QStringLiteral("/dev/ttyWEXELMISSING"));
        else if (fault == u"no-port")
            b.settings->COM_PORT_LIST->setEditText(QString());
        else if (fault == u"file-deleted")
            QVERIFY(QFile::remove(file));
        b.main->Doownload_BUTT->click();
        WEXEL_TRY_COMPARE(b.finished.size(), 1);
        QCOMPARE(b.messages.messages, (QList<Message>{{prompt, title, Message::Icon::Critical}}));
        QCOMPARE(b.enabled(), enabled);
        QCOMPARE(b.main->Erase_Bar->value(), eraseBar);
        QCOMPARE(b.colours(), (QList<quint32>{eraseColour, PendingColour}));
        QVERIFY(b.main->Download_Bar->value() < 100);
        if (enabled == allEnabled && b.instrument.isValid())
            QCOMPARE(b.instrument.received(), QByteArray()); // nothing reached the instrument

        // A failed update can always be followed by another, which starts with the erase.
        b.instrument.erase = FakeInstrument::Erase::Acknowledge;
        b.instrument.refuseLine = 0;
        b.instrument.hangUpAtLine = 0;
        if (!b.instrument.isValid() || fault == u"port-missing" || fault == u"no-port" || fault == u"file-deleted")
            return;
        b.instrument.clearReceived();
        b.main->Doownload_BUTT->click();
        QCOMPARE(b.colours(), (QList<quint32>{PendingColour, PendingColour}));
        QCOMPARE(b.main->Erase_Bar->value(), 0);
        WEXEL_TRY_COMPARE(b.finished.size(), 2);
        QCOMPARE(b.instrument.commands().first().bytes, QByteArray("KILL"));
        QCOMPARE(b.messages.messages.last().prompt, QStringLiteral("Update OK"));
        QCOMPARE(b.enabled(), allEnabled);
    }

    void closingIsRefusedWhileAnUpdateRuns()
    {
        Bench b(writeFile(QStringLiteral("close.txt"), "@F000\n31 40\n32 41\nq\n"));
        b.instrument.silentLine = 2; // holds the write phase at its second line
        b.main->CWSerial->setReadTimeout(std::chrono::milliseconds(1500));
        UpdateSequence::Timings slow = fastTimings();
        slow.eraseTickInterval = std::chrono::milliseconds(30);
        slow.handOverDelay = std::chrono::milliseconds(300);
        b.main->update()->setTimings(slow);
        QList<UpdateSequence::State> refusedIn;
        connect(b.main->update(), &UpdateSequence::stateChanged, this, [&](UpdateSequence::State s) {
            if (s != UpdateSequence::State::Ready && !b.tryClose())
                refusedIn << s;
        });
        b.main->Doownload_BUTT->click();
        QVERIFY(!b.tryClose());
        WEXEL_TRY_VERIFY_WITH_TIMEOUT(b.finished.size() == 1, 5000);
        QCOMPARE(refusedIn,
                 (QList<UpdateSequence::State>{UpdateSequence::State::Loading, UpdateSequence::State::Erasing,
                                               UpdateSequence::State::HandingOver, UpdateSequence::State::Writing}));
        QVERIFY(b.frame.isVisible());
        // After the (failed) update the window closes as usual.
        QVERIFY(b.tryClose());
    }
};

WEXEL_REGISTER_TEST(MainWindowTest)
#include "tst_window.moc"
