// Everything that can go wrong with the port, the instrument or the file,
// seen through the desktop program: the exact message, which controls come
// back, the indicator colours, what the instrument received, and that no
// file or port is left open. "Update OK" only when every line was answered.
#include "desktopsupport.h"
#include "fakeinstrument.h"
#include "matrixsupport.h"
#include "recordingpresenter.h"
#include "testregistry.h"
#include "testtimings.h"

#include "desktop/panels/filedialog.h"
#include "core/firmware/firmwareline.h"
#include "core/link/portholder.h"
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
#include <QProcess>
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
};

QList<FaultCase> cases()
{
    const auto none = [](FakeInstrument &) {};
    const auto keep = [](const QString &) {};
    const QByteArray image = lines(20) + "q\n";
    QByteArray longLines = "@F000\n";
    for (int i = 0; i < 3; ++i)
        longLines += QByteArray(100000, 'A' + char(i)) + "\n";
    longLines += "q\n";

    return {
        // The port.
        {"port missing", image, none, keep, QStringLiteral("/dev/ttyWEXELMISSING"), kWriteError, Locks::All,
         PendingColour, PendingColour, -1},
        {"port held by another program", image, none, keep, QStringLiteral("<busy>"), kWriteError, Locks::All,
         PendingColour, PendingColour, -1},
        // It would take the instrument's answers: refused before "KILL".
        {"port read by a program that takes no lock", image, none, keep, QStringLiteral("<cat>"), kWriteError,
         Locks::All, PendingColour, PendingColour, -1},
        {"port is a regular file", image, none, keep, QStringLiteral("<regular>"), kWriteError, Locks::All,
         PendingColour, PendingColour, -1},
        {"port text empty", image, none, keep, QStringLiteral("<empty>"), kNoPort, Locks::All, PendingColour,
         PendingColour, -1},
        {"COM 300 has no limit for the update", image, none, keep, QStringLiteral("COM 300"), kWriteError, Locks::All,
         PendingColour, PendingColour, -1},
        // The erase.
        {"erase refused",
         image,
         [](FakeInstrument &i) { i.erase = FakeInstrument::Erase::Refuse; },
         keep,
         {},
         kEraseError,
         Locks::OnlyUpload,
         PendingColour,
         PendingColour,
         0},
        {"erase silent",
         image,
         [](FakeInstrument &i) { i.erase = FakeInstrument::Erase::Silent; },
         keep,
         {},
         kEraseError,
         Locks::UploadPortAndTest,
         PendingColour,
         PendingColour,
         0},
        {"erase refusal in pieces",
         image,
         [](FakeInstrument &i) {
             i.eraseReplyPieces = {"N", "G", "*"};
         },
         keep,
         {},
         kEraseError,
         Locks::OnlyUpload,
         PendingColour,
         PendingColour,
         0},
        {"erase acknowledged early",
         image,
         [](FakeInstrument &i) { i.eraseDelayMs = 0; },
         keep,
         {},
         kOk,
         Locks::All,
         DoneColour,
         DoneColour,
         21},
        {"erase acknowledged after the last tick",
         image,
         [](FakeInstrument &i) { i.eraseDelayMs = 60; },
         keep,
         {},
         kOk,
         Locks::All,
         DoneColour,
         DoneColour,
         21},
        {"extra bytes before the erase acknowledgement",
         image,
         [](FakeInstrument &i) {
             i.eraseReplyPieces = {"x", "*"};
         },
         keep,
         {},
         kEraseError,
         Locks::OnlyUpload,
         PendingColour,
         PendingColour,
         0},
        {"erase hang-up",
         image,
         [](FakeInstrument &i) { i.erase = FakeInstrument::Erase::HangUp; },
         keep,
         {},
         kEraseError,
         Locks::OnlyUpload,
         PendingColour,
         PendingColour,
         0},
        // The write phase.
        {"refused at the first line",
         image,
         [](FakeInstrument &i) { i.refuseLine = 1; },
         keep,
         {},
         kWriteError,
         Locks::OnlyUpload,
         DoneColour,
         PendingColour,
         1},
        {"refused at the tenth line",
         image,
         [](FakeInstrument &i) { i.refuseLine = 10; },
         keep,
         {},
         kWriteError,
         Locks::OnlyUpload,
         DoneColour,
         PendingColour,
         10},
        {"refused at the last line",
         lines(20),
         [](FakeInstrument &i) { i.refuseLine = 20; },
         keep,
         {},
         kWriteError,
         Locks::OnlyUpload,
         DoneColour,
         PendingColour,
         20},
        {"silent at line 5",
         image,
         [](FakeInstrument &i) { i.silentLine = 5; },
         keep,
         {},
         kWriteError,
         Locks::OnlyUpload,
         DoneColour,
         PendingColour,
         5},
        {"garbage at line 7",
         image,
         [](FakeInstrument &i) { i.garbageLine = 7; },
         keep,
         {},
         kWriteError,
         Locks::OnlyUpload,
         DoneColour,
         PendingColour,
         7},
        {"hang-up mid-file",
         image,
         [](FakeInstrument &i) { i.hangUpAtLine = 12; },
         keep,
         {},
         kWriteError,
         Locks::OnlyUpload,
         DoneColour,
         PendingColour,
         -2},
        // A reply answers the command just sent, and each command gets one: a
        // spare '*' puts every later answer in doubt and nothing more is sent;
        // stray bytes without one are noise, discarded.
        {"two acknowledgements in one read",
         image,
         [](FakeInstrument &i) { i.lineReplies[3] = "**"; },
         keep,
         {},
         kWriteError,
         Locks::OnlyUpload,
         DoneColour,
         PendingColour,
         3,
         0,
         Hand::Upload,
         QStringLiteral("fell out of step after line 3 of 21")},
        {"acknowledgement followed by extra bytes",
         image,
         [](FakeInstrument &i) { i.lineReplies[3] = "*xy"; },
         keep,
         {},
         kOk,
         Locks::All,
         DoneColour,
         DoneColour,
         21},
        {"spare '*' on the erase",
         image,
         [](FakeInstrument &i) { i.eraseReplyPieces = {"**"}; },
         keep,
         {},
         kWriteError,
         Locks::OnlyUpload,
         PendingColour,
         PendingColour,
         0,
         0,
         Hand::Upload,
         QStringLiteral("fell out of step after the erase command")},
        // Answered after the last tick, a second '*' 50 ms later: it arrives
        // while the hand-over waits.
        {"spare '*' in the hand-over",
         image,
         [](FakeInstrument &i) {
             i.eraseDelayMs = 60;
             i.spareAfterLine[0] = 50;
         },
         keep,
         {},
         kWriteError,
         Locks::OnlyUpload,
         DoneColour,
         PendingColour,
         0,
         200,
         Hand::Upload,
         QStringLiteral("fell out of step after the erase command")},
        // "NG*" to the end line refuses the image.
        {"end line refused",
         image,
         [](FakeInstrument &i) { i.refuseLine = 21; },
         keep,
         {},
         kWriteError,
         Locks::OnlyUpload,
         DoneColour,
         PendingColour,
         21,
         0,
         Hand::Upload,
         QStringLiteral("line 21 of 21 (\"q\") was refused")},
        // The file.
        {"file deleted after the choice",
         image,
         none,
         [](const QString &f) { QFile::remove(f); },
         {},
         kWriteError,
         Locks::All,
         PendingColour,
         PendingColour,
         -1},
        {"file emptied after the choice",
         image,
         none,
         [](const QString &f) { QFile(f).resize(0); },
         {},
         kWriteError,
         Locks::All,
         PendingColour,
         PendingColour,
         -1},
        {"file truncated after the choice",
         image,
         none,
         [](const QString &f) { QFile(f).resize(6 * 1 + 48 * 4); },
         {},
         kOk,
         Locks::All,
         DoneColour,
         DoneColour,
         5},
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
         3},
        {"file replaced by a directory",
         image,
         none,
         [](const QString &f) {
             QFile::remove(f);
             QDir().mkdir(f);
         },
         {},
         kWriteError,
         Locks::All,
         PendingColour,
         PendingColour,
         -1},
        {"empty file", QByteArray(), none, keep, {}, kWriteError, Locks::All, PendingColour, PendingColour, -1},
        {"end line in the middle",
         "@F000\n31 40\nq\n32 41\n33 42\n",
         none,
         keep,
         {},
         kOk,
         Locks::All,
         DoneColour,
         DoneColour,
         3},
        {"no end line",
         lines(8),
         none,
         keep,
         {},
         kOk,
         Locks::All,
         DoneColour,
         DoneColour,
         8,
         0,
         Hand::Upload,
         QStringLiteral("the file has no end line (q): every line was sent")},
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
         QStringLiteral("check the port and the cable with the link test")},
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
                        "line 11 of 21 was the last acknowledged")},
        {"200,000 lines",
         lines(200000, "\r\n") + "q\r\n",
         none,
         keep,
         {},
         kOk,
         Locks::All,
         DoneColour,
         DoneColour,
         200001},
        // Longer than any line the instrument takes: refused before the erase.
        {"lines of 100,000 characters",
         longLines,
         none,
         keep,
         {},
         kWriteError,
         Locks::All,
         PendingColour,
         PendingColour,
         -1},
        {"CR endings", lines(6, "\r") + "q\r", none, keep, {}, kOk, Locks::All, DoneColour, DoneColour, 7},
        {"LF endings", lines(6, "\n") + "q\n", none, keep, {}, kOk, Locks::All, DoneColour, DoneColour, 7},
        {"CR LF endings", lines(6, "\r\n") + "q\r\n", none, keep, {}, kOk, Locks::All, DoneColour, DoneColour, 7},
        {"mixed endings",
         "@F000\r31 40\n32 41\r\n33 44\n\rq",
         none,
         keep,
         {},
         kOk,
         Locks::All,
         DoneColour,
         DoneColour,
         6},
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
            QProcess reader; // one that takes no lock
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
            } else if (port == u"<cat>") {
                port = instrument.slavePath();
                reader.start(QStringLiteral("cat"), {port});
                QVERIFY(reader.waitForStarted());
                QTRY_VERIFY(!otherProcessUsing(port).isEmpty());
            } else if (port == u"<regular>") {
                port = dir.filePath(QStringLiteral("not-a-port"));
                QFile f(port);
                QVERIFY(f.open(QIODevice::WriteOnly));
            } else if (port == u"<empty>") {
                port.clear();
            }
            frame.setForm()->COM_PORT_LIST->setEditText(port);

            QSignalSpy finished(main->update(), &UpdateSequence::finished);
            QSignalSpy acknowledged(main->update(), &UpdateSequence::lineAcknowledged);
            Set_Form *settings = frame.setForm();
            if (c.hand == Hand::LinkTestThenUpload) {
                main->CWSerial->setReadTimeout(std::chrono::milliseconds(3000));
                settings->TSET->click();
                QTest::qWait(300);
                // The window waits with the test: nothing else may start.
                QVERIFY(!main->Doownload_BUTT->isEnabled());
                main->Doownload_BUTT->click();
                QTRY_COMPARE_WITH_TIMEOUT(settings->Text1->text(), QStringLiteral("SIM-1*"), 5000);
                QCOMPARE(instrument.killCount(), 0);
                QVERIFY(main->Doownload_BUTT->isEnabled());
            }
            main->Doownload_BUTT->click();
            QTRY_VERIFY_WITH_TIMEOUT(finished.size() == 1, 120000);
            if (c.hand == Hand::UploadTwice) {
                QVERIFY(main->Doownload_BUTT->isEnabled());
                main->Doownload_BUTT->click();
                QTRY_VERIFY_WITH_TIMEOUT(finished.size() == 2, 120000);
            }
            QTest::qWait(20);
            QCOMPARE(finished.size(), c.hand == Hand::UploadTwice ? 2 : 1);
            reader.kill();
            reader.waitForFinished();

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
                QTRY_COMPARE(settings->Text1->text(), QStringLiteral("SIM-1*"));
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
        QTRY_COMPARE(messages.messages.size(), 1);
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
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(messages.messages.last().prompt, kWriteError);
        instrument.refuseLine = 0;
        int descriptors = 0;
        for (int run = 2; run <= 12; ++run) {
            instrument.clearReceived();
            main->Doownload_BUTT->click();
            QTRY_COMPARE(finished.size(), run);
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
