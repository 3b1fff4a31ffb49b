// What the desktop program makes of an update's end, a row for each way it
// treats one: the box and its details, which controls come back (none while
// the update runs), the indicator colours and the bars, what the instrument
// received, and that no file or port is left open. How each fault ends is
// the update sequence's to decide, and its own table holds every one.
#include "desktopsupport.h"
#include "eventwait.h"
#include "fakeinstrument.h"
#include "matrixsupport.h"
#include "recordingpresenter.h"
#include "testregistry.h"
#include "testtimings.h"

#include "desktop/panels/filedialog.h"
#include "core/firmware/firmwareline.h"
#include "desktop/panels/portlist.h"
#include "core/link/seriallink.h"
#include "desktop/panels/set_form.h"
#include "desktop/widgets/colours.h"
#include "desktop/widgets/indicator.h"
#include "desktop/panels/main_form.h"
#include "desktop/main_mdi.h"
#include "desktop/updatepresenter.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMap>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace MatrixSupport;

namespace {

const QString kOk = QStringLiteral("Update OK");
const QString kWriteError = QStringLiteral("Code Downloading is error.");
const QString kEraseError = QStringLiteral("Erese is error");
const QString kNoPort = QStringLiteral("Please setting COM PORT");

enum class Locks {
    All,
    OnlyUpload,
    UploadPortAndTest, // an erase that got no answer: what the message advises comes back
    AllButQuit, // nothing sent this time, but an earlier update may have left it erased
};

// What the technician does besides pressing "Upload firmware".
enum class Hand {
    Upload, // only that
    UploadThenLinkTest, // then "Link Test", which must work
    LinkTestThenUpload, // "Link Test", and "Upload firmware" while the answer is awaited
    UploadTwice, // "Upload firmware" again after the first one failed
};

// One row of the matrix.
struct FaultCase
{
    const char *name;
    QByteArray file; // what the chosen file holds
    std::function<void(FakeInstrument &)> instrument; // the instrument's faults
    std::function<void(const QString &file)> afterChoice; // done to the file before the upload
    QString port; // empty: the instrument's device
    QString message;
    Locks locks;
    quint32 eraseColour;
    quint32 writeColour;
    int linesReceived; // after KILL; -1: nothing at all reached the instrument
    int handOverMs = 0; // the hand-over's length, when not the fast one
    Hand hand = Hand::Upload;
    QString detail = {}; // a cause the last box's details must name
    int eraseBar = -1; // the bars' values at the end; -1: as the hang-up found them
    int writeBar = -1;
};

QList<FaultCase> cases()
{
    const auto none = [](FakeInstrument &) {};
    const auto keep = [](const QString &) {};
    const QByteArray image = lines(20) + "q\n";

    return {
        // Nothing sent: what is needed to put a port or file right comes
        // back, after the box for a port or file not given at all.
        {"port text empty",
         image,
         none,
         keep,
         QStringLiteral("<empty>"),
         kNoPort,
         Locks::All,
         PendingColour,
         PendingColour,
         -1,
         0,
         Hand::Upload,
         {},
         0,
         0},
        {"port held by another program", image, none, keep, QStringLiteral("<busy>"), kWriteError, Locks::All,
         PendingColour, PendingColour, -1, 0, Hand::Upload, QStringLiteral("the instrument was not touched"), 0, 0},
        // The instrument may be erased: only another upload is offered.
        {"erase refused",
         image,
         [](FakeInstrument &i) { i.erase = FakeInstrument::Erase::Refuse; },
         keep,
         {},
         kEraseError,
         Locks::OnlyUpload,
         PendingColour,
         PendingColour,
         0,
         0,
         Hand::Upload,
         {},
         100,
         0},
        // A line gone dead is no wrong port: the port box stays locked.
        {"erase hang-up",
         image,
         [](FakeInstrument &i) { i.erase = FakeInstrument::Erase::HangUp; },
         keep,
         {},
         kEraseError,
         Locks::OnlyUpload,
         PendingColour,
         PendingColour,
         -2},
        {"refused at the tenth line",
         image,
         [](FakeInstrument &i) { i.refuseLine = 10; },
         keep,
         {},
         kWriteError,
         Locks::OnlyUpload,
         DoneColour,
         PendingColour,
         10,
         0,
         Hand::Upload,
         QStringLiteral("9 lines were acknowledged before it"),
         100,
         47},
        // The file is read when the upload is pressed, not when it is chosen.
        {"file replaced after the choice",
         image,
         none,
         [](const QString &f) {
             QFile file(f);
             if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                 file.write("@1F000\n11 22 33\nQ\n");
         },
         {},
         kOk,
         Locks::All,
         DoneColour,
         DoneColour,
         3,
         0,
         Hand::Upload,
         {},
         100,
         100},
        // The bar and the count show the file's lines, those after the end line too.
        {"end line in the middle",
         "@F000\n31 40\nq\n32 41\n33 42\n",
         none,
         keep,
         {},
         kOk,
         Locks::All,
         DoneColour,
         DoneColour,
         3,
         0,
         Hand::Upload,
         QStringLiteral("the instrument answered the end line with \"END*\""),
         100,
         60},
        // A hostile hand.
        {"erase unanswered, then a link test",
         image,
         [](FakeInstrument &i) { i.erase = FakeInstrument::Erase::Silent; },
         keep,
         {},
         kEraseError,
         Locks::UploadPortAndTest,
         PendingColour,
         PendingColour,
         0,
         0,
         Hand::UploadThenLinkTest,
         QStringLiteral("check the port and the cable with the link test"),
         100,
         0},
        {"link test answered late, upload pressed while it waits",
         image,
         [](FakeInstrument &i) { i.arcDelayMs = 1500; },
         keep,
         {},
         kOk,
         Locks::All,
         DoneColour,
         DoneColour,
         21,
         0,
         Hand::LinkTestThenUpload},
        {"hang-up at a line, then an upload refused before the erase",
         image,
         [](FakeInstrument &i) { i.hangUpAtLine = 12; },
         keep,
         {},
         kWriteError,
         Locks::AllButQuit,
         PendingColour,
         PendingColour,
         -2,
         0,
         Hand::UploadTwice,
         QStringLiteral("nothing was sent this time; the instrument is as the last update left it: it may be erased, "
                        "line 11 of 21 was the last acknowledged"),
         0,
         0},
    };
}

} // namespace

class DesktopFaultMatrixTest : public QObject
{
    Q_OBJECT

private slots:
    void faults_data()
    {
        QTest::addColumn<int>("row");
        const QList<FaultCase> all = cases();
        for (int i = 0; i < all.size(); ++i)
            QTest::newRow(all.at(i).name) << i;
    }

    void faults()
    {
        QFETCH(int, row);
        const FaultCase c = cases().at(row);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("fw.txt"));
        {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QCOMPARE(f.write(c.file), c.file.size());
        }
        const QStringList descriptorsBefore = openDescriptors();
        {
            RecordingPresenter messages;
            FakeInstrument instrument;
            SerialLink holder; // another program, for the busy port
            c.instrument(instrument);
            UpdateSequence::Timings timings = fastTimings();
            if (c.handOverMs > 0)
                timings.handOverDelay = std::chrono::milliseconds(c.handOverMs);
            Main_MDI frame(&messages, timings);
            Main_Form *main = frame.mainForm();
            main->CWSerial->setReadTimeout(std::chrono::milliseconds(300));
            main->chooseFile(file);
            QVERIFY(main->Doownload_BUTT->isEnabled());
            c.afterChoice(file);

            // The instrument by a name of this test's own: after a hang-up its
            // device path may be another test's new pseudo-terminal.
            QVERIFY(instrument.makeLink(dir.filePath(QStringLiteral("instrument"))));
            QString port = c.port.isEmpty() ? instrument.linkPath() : c.port;
            if (port == u"<busy>") {
                port = instrument.slavePath();
                holder.setDevicePath(port);
                QVERIFY(holder.configure());
            } else if (port == u"<empty>") {
                port.clear();
            }
            frame.setForm()->COM_PORT_LIST->setEditText(port);

            QSignalSpy finished(main->update(), &UpdateSequence::finished);
            QSignalSpy acknowledged(main->update(), &UpdateSequence::lineAcknowledged);
            // Nothing but the update may be started while it runs: every
            // control of the lock set is off from its start to its end.
            QList<QList<bool>> whileRunning;
            const auto noteLocks = [&] {
                QList<bool> enabled;
                for (QWidget *w : DesktopSupport::updateLockSet(frame))
                    enabled << w->isEnabled();
                whileRunning << enabled;
            };
            connect(main->update(), &UpdateSequence::started, this, noteLocks);
            connect(main->update(), &UpdateSequence::eraseSent, this, noteLocks);
            connect(main->update(), &UpdateSequence::lineSent, this, noteLocks);
            Set_Form *settings = frame.setForm();
            if (c.hand == Hand::LinkTestThenUpload) {
                main->CWSerial->setReadTimeout(std::chrono::milliseconds(3000));
                settings->TSET->click();
                EventWait::forMs(300);
                // The window waits with the test: nothing else may start.
                QVERIFY(!main->Doownload_BUTT->isEnabled());
                main->Doownload_BUTT->click();
                WEXEL_TRY_COMPARE_WITH_TIMEOUT(settings->Text1->text(), QStringLiteral("SIM-1*"), 5000);
                QCOMPARE(instrument.killCount(), 0);
                QVERIFY(main->Doownload_BUTT->isEnabled());
            }
            main->Doownload_BUTT->click();
            WEXEL_TRY_VERIFY_WITH_TIMEOUT(finished.size() == 1, 120000);
            if (c.hand == Hand::UploadTwice) {
                QVERIFY(main->Doownload_BUTT->isEnabled());
                main->Doownload_BUTT->click();
                WEXEL_TRY_VERIFY_WITH_TIMEOUT(finished.size() == 2, 120000);
            }
            EventWait::forMs(20);
            QCOMPARE(finished.size(), c.hand == Hand::UploadTwice ? 2 : 1);

            QCOMPARE(messages.messages.size(), c.hand == Hand::UploadTwice ? 2 : 1);
            QCOMPARE(messages.messages.last().prompt, c.message);
            if (!c.detail.isEmpty())
                QVERIFY2(messages.details.last().join(u'\n').contains(c.detail),
                         qPrintable(messages.details.last().join(u'\n')));
            QList<bool> enabled;
            for (QWidget *w : DesktopSupport::updateLockSet(frame))
                enabled << w->isEnabled();
            // Upload, file, QUIT, link test, port box.
            const QMap<Locks, QList<bool>> expectedLocks{
                {Locks::All, {true, true, true, true, true}},
                {Locks::OnlyUpload, {true, false, false, false, false}},
                {Locks::UploadPortAndTest, {true, false, false, true, true}},
                {Locks::AllButQuit, {true, true, false, true, true}},
            };
            QCOMPARE(enabled, expectedLocks.value(c.locks));
            QCOMPARE(main->Show_Erase->colour(), c.eraseColour);
            QCOMPARE(main->Show_Load->colour(), c.writeColour);
            QVERIFY(!whileRunning.isEmpty());
            for (const QList<bool> &locks : std::as_const(whileRunning))
                QCOMPARE(locks, QList<bool>(locks.size(), false));
            if (c.eraseBar >= 0)
                QCOMPARE(main->Erase_Bar->value(), c.eraseBar);
            if (c.writeBar >= 0)
                QCOMPARE(main->Download_Bar->value(), c.writeBar);

            // What reached the instrument.
            if (c.linesReceived == -1) {
                QCOMPARE(instrument.received(), QByteArray());
            } else if (c.linesReceived == -2) {
                QVERIFY(!instrument.isValid()); // hung up
                QVERIFY(!main->CWSerial->isOpen());
            } else {
                QCOMPARE(instrument.linesAfterKill().size(), c.linesReceived);
                QCOMPARE(instrument.killCount(), 1);
            }
            if (c.hand == Hand::UploadThenLinkTest) {
                settings->TSET->click();
                WEXEL_TRY_COMPARE(settings->Text1->text(), QStringLiteral("SIM-1*"));
                QCOMPARE(messages.messages.size(), 1);
            }
            if (c.message == kOk) {
                // Every line the file holds up to its end line went out and was answered.
                QFile f(file);
                QVERIFY(f.open(QIODevice::ReadOnly));
                const QList<QByteArray> sent = sentLines(f.readAll());
                QCOMPARE(instrument.linesAfterKill(), sent);
                QCOMPARE(acknowledged.size(), sent.size());
                QCOMPARE(main->Code_line->text(), QString::number(main->update()->image().summary().linesInFile));
            }
            // The firmware file is never held open once an update has ended.
            const QString heldFile = QStringLiteral(" -> ") + QFileInfo(file).absoluteFilePath();
            for (const QString &descriptor : openDescriptors())
                QVERIFY2(!descriptor.endsWith(heldFile), qPrintable(descriptor));
        }
        QCOMPARE(openDescriptors(), descriptorsBefore);
    }

    void linkTestAboveTheLimit()
    {
        RecordingPresenter messages;
        FakeInstrument instrument;
        const int descriptorsBefore = int(openDescriptors().size());
        Main_MDI frame(&messages, fastTimings());
        frame.setForm()->COM_PORT_LIST->setEditText(QStringLiteral("COM 256"));
        frame.setForm()->TSET->click();
        WEXEL_TRY_COMPARE(messages.messages.size(), 1);
        QCOMPARE(messages.messages.first(),
                 (Message{QStringLiteral("COM PORT > 255"), QStringLiteral("COM PORT Setting error."),
                          Message::Icon::Critical}));
        QVERIFY(!frame.mainForm()->CWSerial->isOpen());
        QCOMPARE(int(openDescriptors().size()), descriptorsBefore);
        QCOMPARE(instrument.received(), QByteArray());
    }

    // Updates one after another in one program: after a failure, after a
    // success, and ten in a row.
    void repeatedUpdates()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("fw.txt"));
        {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(lines(30) + "q\n");
        }
        RecordingPresenter messages;
        FakeInstrument instrument;
        Main_MDI frame(&messages, fastTimings());
        Main_Form *main = frame.mainForm();
        main->CWSerial->setReadTimeout(std::chrono::milliseconds(300));
        main->chooseFile(file);
        frame.setForm()->COM_PORT_LIST->setEditText(instrument.slavePath());
        QSignalSpy finished(main->update(), &UpdateSequence::finished);
        instrument.refuseLine = 10;
        main->Doownload_BUTT->click();
        WEXEL_TRY_COMPARE(finished.size(), 1);
        QCOMPARE(messages.messages.last().prompt, kWriteError);
        instrument.refuseLine = 0;
        int descriptors = 0;
        for (int run = 2; run <= 12; ++run) {
            instrument.clearReceived();
            main->Doownload_BUTT->click();
            WEXEL_TRY_COMPARE(finished.size(), run);
            QCOMPARE(messages.messages.last().prompt, kOk);
            QCOMPARE(instrument.commands().first().bytes, QByteArray("KILL"));
            QCOMPARE(instrument.linesAfterKill().size(), 31);
            if (run == 2)
                descriptors = int(openDescriptors().size());
            QCOMPARE(int(openDescriptors().size()), descriptors);
        }
    }
};

WEXEL_REGISTER_TEST(DesktopFaultMatrixTest)
#include "tst_faultmatrix.moc"
