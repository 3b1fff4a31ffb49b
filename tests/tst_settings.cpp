// The settings panel as the technician uses it: the port box after start-up,
// "Link Test" against a pseudo-terminal standing in for the instrument, the
// refusals and their messages, and the device list of the port box.
#include "core/link/portcatalog.h"
#include "desktop/panels/portlist.h"
#include "core/link/portnumber.h"
#include "desktop/panels/set_form.h"
#include "core/link/seriallink.h"
#include "ptypeer.h"
#include "recordingpresenter.h"
#include "desktop/panels/main_form.h"
#include "desktop/main_mdi.h"
#include "eventwait.h"
#include "testregistry.h"

#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cmath>

using namespace std::chrono_literals;

namespace {

constexpr int kArrivalMs = 5000;
// The link test's read time-out in these tests: long enough for a loaded
// machine to pass a reply through a pty, short enough to wait out.
constexpr std::chrono::milliseconds kTestReadTimeout{500};

const Message kTestError{QStringLiteral("TEST ERROR!!"), QStringLiteral("Fail"), Message::Icon::Critical};
const Message kAboveLimit{QStringLiteral("COM PORT > 255"), QStringLiteral("COM PORT Setting error."),
                          Message::Icon::Critical};

// The frame as the program starts it, with message boxes recorded instead of shown.
struct Bench
{
    RecordingPresenter recorder;
    Main_MDI frame{&recorder, {}};

    Set_Form *panel() const { return frame.setForm(); }
    SerialLink *link() const { return frame.mainForm()->CWSerial; }

    // Types the text into the port box as a person would.
    void typePort(const QString &text) const
    {
        QLineEdit *edit = panel()->COM_PORT_LIST->lineEdit();
        edit->selectAll();
        edit->del();
        QTest::keyClicks(edit, text);
    }
    void clickTest() const { QTest::mouseClick(panel()->TSET, Qt::LeftButton); }
};

int twipsToPixels(double twips, int dpi)
{
    return int(std::lround(twips * dpi / 1440.0));
}

} // namespace

// The settings panel: port box, link test and reply box.
class SettingsPanelTest : public QObject
{
    Q_OBJECT

private slots:
    void loadFillsThePortBox();
    void controlsAreLaidOutInTwips_data();
    void controlsAreLaidOutInTwips();
    void panelLooksAsDesigned();
    void linkTestShowsTheReply_data();
    void linkTestShowsTheReply();
    void refusalsShowTheirMessage_data();
    void refusalsShowTheirMessage();
    void tooLongPortTextIsATestError();
    void secondClickStartsNoSecondExchange();
    void deviceListFollowsTheFixedItems_data();
    void deviceListFollowsTheFixedItems();
};

void SettingsPanelTest::loadFillsThePortBox()
{
    Bench bench;
    Set_Form *panel = bench.panel();
    QVERIFY(panel);

    QStringList first;
    for (int i = 0; i < qMin(10, panel->COM_PORT_LIST->count()); ++i)
        first << panel->COM_PORT_LIST->itemText(i);
    QStringList expected;
    for (int i = 1; i <= 10; ++i)
        expected << QStringLiteral("COM ") + QString::number(i);
    QCOMPARE(first, expected);
    QCOMPARE(panel->COM_PORT_LIST->currentIndex(), 0);
    QCOMPARE(panel->COM_PORT_LIST->currentText(), QStringLiteral("COM 1"));
    QCOMPARE(panel->portText(), QStringLiteral("COM 1"));
    QVERIFY(panel->COM_PORT_LIST->isEditable());

    QCOMPARE(panel->Text1->text(), QStringLiteral("TEST"));
    QCOMPARE(panel->COM_TEXT->text(), QStringLiteral("COM PORT :"));
    QCOMPARE(panel->TSET->text(), QStringLiteral("Link Test"));
}

void SettingsPanelTest::controlsAreLaidOutInTwips_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRectF>("twips");

    QTest::newRow("COM_TEXT") << QStringLiteral("COM_TEXT") << QRectF(120, 360, 1335, 255);
    QTest::newRow("COM_PORT_LIST") << QStringLiteral("COM_PORT_LIST") << QRectF(1320, 360, 1095, 300);
    QTest::newRow("TSET") << QStringLiteral("TSET") << QRectF(2520, 320, 1215, 375);
    QTest::newRow("Text1") << QStringLiteral("Text1") << QRectF(3840, 320, 1215, 375);
}

void SettingsPanelTest::controlsAreLaidOutInTwips()
{
    QFETCH(QString, name);
    QFETCH(QRectF, twips);

    Bench bench;
    auto *control = bench.panel()->findChild<QWidget *>(name);
    QVERIFY(control);
    const int dpiX = control->logicalDpiX();
    const int dpiY = control->logicalDpiY();
    const QRect expected(twipsToPixels(twips.left(), dpiX), twipsToPixels(twips.top(), dpiY),
                         twipsToPixels(twips.width(), dpiX), twipsToPixels(twips.height(), dpiY));
    QCOMPARE(control->geometry(), expected);
}

void SettingsPanelTest::panelLooksAsDesigned()
{
    Bench bench;
    bench.frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bench.frame));
    Set_Form *panel = bench.panel();

    // Left to right: label, port box, button, reply box.
    QVERIFY(panel->COM_TEXT->x() < panel->COM_PORT_LIST->x());
    QVERIFY(panel->COM_PORT_LIST->geometry().right() < panel->TSET->x());
    QVERIFY(panel->TSET->geometry().right() < panel->Text1->x());
    QVERIFY(panel->Text1->geometry().right() < panel->width());

    // The panel is painted in the indicators' pending blue, left of the label.
    const QImage image = panel->grab().toImage();
    QVERIFY(!image.isNull());
    const QPoint background(panel->COM_TEXT->x() / 2, panel->height() / 2);
    QCOMPARE(image.pixelColor(background * image.devicePixelRatio()), QColor(128, 128, 255));

    for (QWidget *control : {static_cast<QWidget *>(panel->COM_TEXT), static_cast<QWidget *>(panel->TSET)}) {
        QVERIFY(control->font().bold());
        QCOMPARE(control->font().pointSizeF(), 9.75);
    }

    // Keyboard order: port box, reply box, then the button.
    QWidget *next = panel->COM_PORT_LIST->nextInFocusChain();
    int steps = 0;
    while (next != panel->Text1 && next != panel->TSET && steps++ < 50)
        next = next->nextInFocusChain();
    QCOMPARE(next, panel->Text1);
}

void SettingsPanelTest::linkTestShowsTheReply_data()
{
    QTest::addColumn<QByteArrayList>("answer");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("fails");
    QTest::addColumn<bool>("hangsUp");

    QTest::newRow("reply in two pieces") << QByteArrayList{"SIM", "-1*"} << QStringLiteral("SIM-1*") << false << false;
    QTest::newRow("acknowledgement") << QByteArrayList{"*"} << QStringLiteral("*") << false << false;
    // The link test compares the reply with nothing: what came before the
    // time-out is shown as it is.
    QTest::newRow("reply without the star") << QByteArrayList{"SIM-1"} << QStringLiteral("SIM-1") << false << false;
    // Silence is the one failure, and the reply box keeps what it showed.
    QTest::newRow("silent instrument") << QByteArrayList{} << QStringLiteral("TEST") << true << false;
    // The cable pulled while the reply is awaited: one message, not one per error.
    QTest::newRow("instrument hangs up") << QByteArrayList{} << QStringLiteral("TEST") << true << true;
}

void SettingsPanelTest::linkTestShowsTheReply()
{
    QFETCH(QByteArrayList, answer);
    QFETCH(QString, shown);
    QFETCH(bool, fails);
    QFETCH(bool, hangsUp);

    PtyPeer peer;
    QVERIFY(peer.isValid());
    // The instrument answers in pieces, the way a slow UART hands them over.
    peer.setCommandHandler([&peer, answer, hangsUp](const QByteArray &) {
        if (hangsUp)
            QTimer::singleShot(50, &peer, [&peer] { peer.hangUp(); });
        for (qsizetype i = 0; i < answer.size(); ++i)
            QTimer::singleShot(int(i) * 50, &peer, [&peer, piece = answer.at(i)] { peer.send(piece); });
    });

    Bench bench;
    bench.frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bench.frame));
    bench.link()->setReadTimeout(kTestReadTimeout);
    bench.typePort(peer.slavePath());
    QCOMPARE(bench.panel()->portText(), peer.slavePath());
    bench.clickTest();

    WEXEL_TRY_COMPARE_WITH_TIMEOUT(peer.received(), QByteArray("ARC*\n"), kArrivalMs);
    WEXEL_TRY_VERIFY_WITH_TIMEOUT(!bench.panel()->linkTest()->isRunning(), kArrivalMs);
    QCOMPARE(bench.panel()->Text1->text(), shown);
    if (fails) {
        QCOMPARE(bench.recorder.messages.size(), 1);
        QCOMPARE(bench.recorder.messages.first().prompt, kTestError.prompt);
        QCOMPARE(bench.recorder.messages.first().title, kTestError.title);
        QCOMPARE(iconName(bench.recorder.messages.first().icon), iconName(kTestError.icon));
    } else {
        QCOMPARE(bench.recorder.messages.size(), 0);
    }
    QCOMPARE(peer.commands().size(), 1);
    // The link stays configured for the update that follows.
    QCOMPARE(bench.link()->isOpen(), !hangsUp);
    EventWait::forMs(200);
    QCOMPARE(bench.recorder.messages.size(), fails ? 1 : 0);
}

void SettingsPanelTest::refusalsShowTheirMessage_data()
{
    QTest::addColumn<QString>("portText");
    QTest::addColumn<Message>("message");

    QTest::newRow("COM 256") << QStringLiteral("COM 256") << kAboveLimit;
    QTest::newRow("fraction above the limit") << QStringLiteral("COM 255.5") << kAboveLimit;
    QTest::newRow("exponent above the limit") << QStringLiteral("COM 1E3") << kAboveLimit;
    // 255 itself passes the limit; on a machine without that port the open fails.
    QTest::newRow("COM 255") << QStringLiteral("COM 255") << kTestError;
    QTest::newRow("device that does not exist") << QStringLiteral("/dev/ttyDOESNOTEXIST") << kTestError;
    QTest::newRow("no COM: port 0") << QStringLiteral("3") << kTestError;
    QTest::newRow("empty port text") << QString() << kTestError;
    QTest::newRow("negative port") << QStringLiteral("COM -2") << kTestError;
    QTest::newRow("fraction") << QStringLiteral("COM 2.5") << kTestError;
}

void SettingsPanelTest::refusalsShowTheirMessage()
{
    QFETCH(QString, portText);
    QFETCH(Message, message);

    if (portText == QStringLiteral("COM 255") && QFile::exists(QStringLiteral("/dev/ttyS254")))
        QSKIP("this machine has a port 255");

    PtyPeer peer;
    QVERIFY(peer.isValid());
    Bench bench;
    bench.frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bench.frame));
    bench.link()->setReadTimeout(kTestReadTimeout);
    // The link is in use on the instrument from an earlier test.
    bench.link()->setDevicePath(peer.slavePath());
    QVERIFY2(bench.link()->configure(), qPrintable(bench.link()->error().describe()));

    bench.panel()->COM_PORT_LIST->setEditText(portText);
    QCOMPARE(bench.panel()->portText(), portText);
    bench.clickTest();

    WEXEL_TRY_COMPARE_WITH_TIMEOUT(bench.recorder.messages.size(), 1, kArrivalMs);
    const Message shown = bench.recorder.messages.first();
    QCOMPARE(shown.prompt, message.prompt);
    QCOMPARE(shown.title, message.title);
    QCOMPARE(iconName(shown.icon), iconName(message.icon));
    // The box says why in its details: the port, or the limit.
    const QString details = bench.recorder.details.first().join(u'\n');
    QVERIFY2(details.contains(message == kAboveLimit ? QStringLiteral("above the link test's limit")
                                                     : QStringLiteral("no such port")),
             qPrintable(details));
    QCOMPARE(bench.panel()->Text1->text(), QStringLiteral("TEST"));

    // No exchange runs, so no time-out can report it a second time; and
    // nothing went out.
    QVERIFY(!bench.panel()->linkTest()->isRunning());
    EventWait::forMs(200);
    QCOMPARE(peer.received(), QByteArray());
    QCOMPARE(bench.recorder.messages.size(), 1);
    if (message == kAboveLimit) {
        // The limit is checked before the link is touched.
        QVERIFY(bench.link()->isOpen());
        QCOMPARE(bench.link()->deviceName(), peer.slavePath());
    }
}

void SettingsPanelTest::tooLongPortTextIsATestError()
{
    PtyPeer peer;
    QVERIFY(peer.isValid());
    Bench bench;
    bench.link()->setDevicePath(peer.slavePath());
    QVERIFY2(bench.link()->configure(), qPrintable(bench.link()->error().describe()));

    // The port box holds no more than 32,767 characters, so the text goes to
    // the panel's link test directly.
    QVERIFY(bench.panel()->linkTest()->start(QStringLiteral("COM 3").leftJustified(32768, u' ')));
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(bench.recorder.messages.size(), 1, kArrivalMs);
    QCOMPARE(bench.recorder.messages.first().prompt, kTestError.prompt);
    QCOMPARE(bench.recorder.messages.first().title, kTestError.title);
    QCOMPARE(bench.panel()->Text1->text(), QStringLiteral("TEST"));
    // The text is refused before the link is touched.
    QVERIFY(bench.link()->isOpen());
    QCOMPARE(bench.link()->deviceName(), peer.slavePath());
    QCOMPARE(peer.received(), QByteArray());
}

void SettingsPanelTest::secondClickStartsNoSecondExchange()
{
    PtyPeer peer;
    QVERIFY(peer.isValid());
    // A slow instrument: the reply comes well after the second click.
    peer.setCommandHandler(
        [&peer](const QByteArray &) { QTimer::singleShot(300, &peer, [&peer] { peer.send("*"); }); });

    Bench bench;
    bench.frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bench.frame));
    bench.link()->setReadTimeout(3s);
    bench.typePort(peer.slavePath());

    bench.clickTest();
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(peer.commands().size(), 1, kArrivalMs);
    QVERIFY(bench.panel()->linkTest()->isRunning());
    bench.clickTest();
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(bench.panel()->Text1->text(), QStringLiteral("*"), kArrivalMs);
    EventWait::forMs(100);
    QCOMPARE(peer.received(), QByteArray("ARC*\n"));
    QCOMPARE(bench.recorder.messages.size(), 0);

    // Once the reply is in, the button works again.
    WEXEL_TRY_VERIFY_WITH_TIMEOUT(!bench.panel()->linkTest()->isRunning(), kArrivalMs);
    bench.panel()->Text1->setText(QStringLiteral("TEST"));
    bench.clickTest();
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(peer.commands().size(), 2, kArrivalMs);
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(bench.panel()->Text1->text(), QStringLiteral("*"), kArrivalMs);
    QCOMPARE(bench.recorder.messages.size(), 0);
}

void SettingsPanelTest::deviceListFollowsTheFixedItems_data()
{
    QTest::addColumn<int>("chosen"); // index picked from the list, or -1
    QTest::addColumn<QString>("typed"); // text typed into the box instead

    QTest::newRow("typed path") << -1 << QStringLiteral("/dev/serial/by-id/usb-Wexel_Bench-if00");
    QTest::newRow("typed COM text") << -1 << QStringLiteral("COM 12");
    QTest::newRow("COM 3 chosen") << 2 << QString();
}

void SettingsPanelTest::deviceListFollowsTheFixedItems()
{
    QFETCH(int, chosen);
    QFETCH(QString, typed);

    Bench bench;
    bench.frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bench.frame));
    PortList *box = bench.panel()->COM_PORT_LIST;
    if (chosen >= 0) {
        box->setCurrentIndex(chosen);
    } else {
        bench.typePort(typed);
        // Return must not turn the typed text into an item.
        QTest::keyClick(box->lineEdit(), Qt::Key_Return);
    }
    const QString text = box->currentText();
    QCOMPARE(box->count(), PortCatalog::kComItems);

    QStringList fixed;
    for (int i = 0; i < PortCatalog::kComItems; ++i)
        fixed << box->itemText(i);

    QStringList devices;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        devices << info.systemLocation();

    // Twice: each refresh replaces the devices instead of adding to them.
    for (int round = 0; round < 2; ++round) {
        box->refreshDevices();
        QCOMPARE(box->count(), PortCatalog::kComItems + devices.size());
        for (int i = 0; i < PortCatalog::kComItems; ++i)
            QCOMPARE(box->itemText(i), fixed.at(i));
        for (int i = PortCatalog::kComItems; i < box->count(); ++i) {
            QVERIFY2(isDevicePath(box->itemText(i)), qPrintable(box->itemText(i)));
            QCOMPARE(box->itemText(i), devices.at(i - PortCatalog::kComItems));
        }
        QCOMPARE(box->currentText(), text);
        QCOMPARE(bench.panel()->portText(), text);
        if (chosen >= 0)
            QCOMPARE(box->currentIndex(), chosen);
    }
}

WEXEL_REGISTER_TEST(SettingsPanelTest)

#include "tst_settings.moc"
