// The serial link against a pseudo-terminal standing in for the instrument:
// bytes go out untouched, replies are framed at '*', time-outs and hang-ups
// end a read once, and a port that cannot be had says why. Then the rule
// that turns the port text into a port number.
#include "core/link/deviceidentity.h"
#include "core/link/lowlatency.h"
#include "core/link/portnumber.h"
#include "core/link/seriallink.h"
#include "eventwait.h"
#include "ptypeer.h"
#include "testregistry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>

using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;

namespace {

// Long enough for a loaded build machine to pass bytes through a pty.
constexpr int kArrivalMs = 5000;
// Reads that are expected to be answered get a time-out that never fires in
// a healthy run; reads that are expected to time out get a short one.
constexpr std::chrono::milliseconds kPatientRead{3000};
constexpr std::chrono::milliseconds kShortRead{200};

// Opens the link on the peer's pty through the port text, as the port box does.
bool openOnPeer(SerialLink &link, const PtyPeer &peer)
{
    return peer.isValid() && link.setPortText(peer.slavePath()) && link.configure();
}

QByteArray everyByteValue()
{
    QByteArray bytes;
    for (int b = 0; b < 256; ++b)
        bytes += char(b);
    return bytes;
}

// A "COM n" number whose /dev/ttyS device this machine does not have.
int absentComNumber()
{
    int n = 4000;
    while (QFile::exists(QStringLiteral("/dev/ttyS%1").arg(n - 1)))
        ++n;
    return n;
}

std::chrono::microseconds processCpuTime()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto toMicros
        = [](const timeval &t) { return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec); };
    return toMicros(usage.ru_utime) + toMicros(usage.ru_stime);
}

// Where the kernel puts the tty of an FTDI adapter and of a USB modem, and a
// UART of the main board.
const QString kFtdiDevice = QStringLiteral("devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0");
const QString kAcmDevice = QStringLiteral("devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0");
const QString kUartDevice = QStringLiteral("devices/pnp0/00:04/00:04:0/00:04:0.0");
// Root may write any file of a temporary tree whatever its mode; this
// kernel value is read-only for everyone and stands in for a latency_timer
// the user may not write.
const QString kReadOnlyValue = QStringLiteral("/proc/sys/kernel/cap_last_cap");

// A sysfs tree in a temporary folder and the driver's low-latency flag in
// memory: the system as LowLatency sees it, without an adapter.
struct FakeAdapterSystem
{
    // class/tty/NAME/device leads to DEVICE; latency_timer there holds
    // TIMER ("" for none, "read-only" for one that cannot be written).
    bool addTty(const QString &name, const QString &device, const QByteArray &timer)
    {
        const QString target = root + u'/' + device;
        const QString ttyDir = root + QStringLiteral("/class/tty/") + name;
        if (!QDir().mkpath(target) || !QDir().mkpath(ttyDir)
            || !QFile::link(target, ttyDir + QStringLiteral("/device")))
            return false;
        const QString timerPath = target + QStringLiteral("/latency_timer");
        if (timer == "read-only")
            return QFile::link(kReadOnlyValue, timerPath);
        QFile file(timerPath);
        return timer.isEmpty() || (file.open(QIODevice::WriteOnly) && file.write(timer) == timer.size());
    }

    QByteArray timer(const QString &device) const
    {
        QFile file(root + u'/' + device + QStringLiteral("/latency_timer"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
    }

    LowLatency::Platform platform()
    {
        LowLatency::Platform p;
        p.sysfsRoot = root;
        p.readFlag = [this](LowLatency::Handle, bool *set) {
            ++calls;
            *set = flag;
            return 0;
        };
        p.writeFlag = [this](LowLatency::Handle, bool set) {
            ++calls;
            if (writeErrno == 0)
                flag = set;
            return writeErrno;
        };
        return p;
    }

    QTemporaryDir dir;
    // Below a folder named like a USB bus: only the part below the root may
    // decide whether a tty sits on USB.
    QString root = dir.filePath(QStringLiteral("usb1/sys"));
    bool flag = false;
    int writeErrno = 0;
    int calls = 0;
};

} // namespace

// The one serial link, driven through a pseudo-terminal.
class SerialLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void bytesGoOutAsWritten_data();
    void bytesGoOutAsWritten();
    void writesWaitBehindAFullDevice();
    void writeThatStopsDrainingFails();
    void repliesAreFramedAtTheStar_data();
    void repliesAreFramedAtTheStar();
    void readAnswersFromTheEventLoop_data();
    void readAnswersFromTheEventLoop();
    void timeOut_data();
    void timeOut();
    void endlessReplyIsCutAtTheLimit_data();
    void endlessReplyIsCutAtTheLimit();
    void configureDropsEarlierBytes();
    void configureCancelsPendingRead();
    void hangUpDuringReadEndsItOnce();
    void hangUpWhileIdleIsReportedOnce();
    void portThatCannotBeOpened_data();
    void portThatCannotBeOpened();
    void portHeldByAnotherOpenerIsBusy();
    void symlinkedDeviceSharesTheLock();
    void regularFileIsNoSerialPort();
    void unconfiguredLinkRefuses();
    void lowLatencyRequest_data();
    void lowLatencyRequest();
    void lowLatencyGivenBack_data();
    void lowLatencyGivenBack();
    void portTextChoosesDevice_data();
    void portTextChoosesDevice();
    void deviceForPortNumber_data();
    void deviceForPortNumber();
    void deviceIdentity_data();
    void deviceIdentity();
};

void SerialLinkTest::bytesGoOutAsWritten_data()
{
    QTest::addColumn<bool>("asCommand");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("expected");

    // Firmware lines are binary-safe text; a tty left in cooked mode would
    // turn \n into \r\n, eat XON/XOFF or drop NUL.
    QTest::newRow("every byte value in one write") << false << everyByteValue() << everyByteValue();
    QTest::newRow("line feeds stay line feeds") << false << QByteArray("A\nB\n\n") << QByteArray("A\nB\n\n");
    QTest::newRow("carriage return stays") << false << QByteArray("\r\r\n") << QByteArray("\r\r\n");
    QTest::newRow("command gets one line feed") << true << QByteArray("KILL") << QByteArray("KILL\n");
    QTest::newRow("command with its own line feed") << true << QByteArray("q\n") << QByteArray("q\n\n");
    QTest::newRow("empty command") << true << QByteArray() << QByteArray("\n");
    QTest::newRow("link test command") << true << QByteArray("ARC*") << QByteArray("ARC*\n");
    // Far more than a serial driver or a pseudo-terminal buffers: the rest
    // must wait until the device takes it, not end as an error.
    QByteArray huge(1000000, 'A');
    for (qsizetype i = 0; i < huge.size(); i += 97)
        huge[i] = char('0' + i % 10);
    QTest::newRow("a line far larger than the device's buffer") << true << huge << huge + '\n';
}

void SerialLinkTest::bytesGoOutAsWritten()
{
    QFETCH(bool, asCommand);
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, expected);

    PtyPeer peer;
    SerialLink link;
    QVERIFY2(openOnPeer(link, peer), qPrintable(link.error().describe()));

    QVERIFY(asCommand ? link.writeCommand(bytes) : link.write(bytes));
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(peer.received(), expected, kArrivalMs);
    // Nothing trails behind (no second suffix, no translation still on its way).
    EventWait::forMs(50);
    QCOMPARE(peer.received(), expected);
    QVERIFY(link.isOpen());
}

void SerialLinkTest::writesWaitBehindAFullDevice()
{
    // A long firmware line fills the device, and its line feed and the next
    // command are written before the instrument has read any of it: they
    // must queue behind the line, not end the link as if it had hung up.
    PtyPeer peer;
    SerialLink link;
    QVERIFY2(openOnPeer(link, peer), qPrintable(link.error().describe()));
    QSignalSpy linkFailed(&link, &SerialLink::linkFailed);

    const QByteArray line(300000, '5');
    QVERIFY(link.write(line));
    QVERIFY(link.write("\n"));
    QVERIFY(link.writeCommand("q"));
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(peer.received().size(), line.size() + 3, kArrivalMs);
    QCOMPARE(peer.received(), line + "\nq\n");
    QCOMPARE(linkFailed.size(), 0);
    QVERIFY(link.isOpen());
}

void SerialLinkTest::writeThatStopsDrainingFails()
{
    // A peer that stops reading half way through a long command: the
    // command may take its time on the wire and the reply time-out to leave,
    // then the link fails, once, saying so, instead of waiting for ever.
    PtyPeer peer;
    SerialLink link;
    QVERIFY(peer.isValid() && link.setPortText(peer.slavePath()));
    link.setSpeed(4000000); // 64 KiB take 0.16 s on such a wire
    QVERIFY2(link.configure(), qPrintable(link.error().describe()));
    link.setReadTimeout(300ms);
    QSignalSpy linkFailed(&link, &SerialLink::linkFailed);
    QSignalSpy readFailed(&link, &SerialLink::readFailed);
    peer.setReading(false);
    QVERIFY(link.writeCommand(QByteArray(64 * 1024, 'A')));
    link.read();
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(readFailed.size(), 1, 5000);
    QCOMPARE(linkFailed.size(), 1);
    QCOMPARE(link.error().kind, SerialLink::Error::Kind::Stalled);
    QVERIFY2(link.error().describe().contains(u"had not left after"_s), qPrintable(link.error().describe()));
    QVERIFY(!link.isOpen());
}

void SerialLinkTest::repliesAreFramedAtTheStar_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QByteArray>("reply");
    // Dropped by the time the next command goes out: they answer nothing.
    QTest::addColumn<QByteArray>("discarded");
    // Sent after the reply while no event loop runs: only the system holds
    // them when the next command goes out.
    QTest::addColumn<QByteArray>("unread");

    QTest::newRow("acknowledgement") << QByteArrayList{"*"} << QByteArray("*") << QByteArray() << QByteArray();
    QTest::newRow("reply the system holds, unread")
        << QByteArrayList{"*"} << QByteArray("*") << QByteArray("X*") << QByteArray("X*");
    QTest::newRow("one reply in three writes")
        << QByteArrayList{"SI", "M-", "1*"} << QByteArray("SIM-1*") << QByteArray() << QByteArray();
    QTest::newRow("star alone in the last write")
        << QByteArrayList{"SIM-1", "*"} << QByteArray("SIM-1*") << QByteArray() << QByteArray();
    QTest::newRow("two replies in one write")
        << QByteArrayList{"A*B*"} << QByteArray("A*") << QByteArray("B*") << QByteArray();
    QTest::newRow("rest after the star, more after the read")
        << QByteArrayList{"*RE", "ST*"} << QByteArray("*") << QByteArray("REST*") << QByteArray();
    QTest::newRow("three acknowledgements at once")
        << QByteArrayList{"***"} << QByteArray("*") << QByteArray("**") << QByteArray();

    // The reply path is as raw as the command path: CR, LF, NUL, XON/XOFF
    // and bytes above 127 all arrive as sent.
    QByteArray allButStar = everyByteValue();
    allButStar.remove(SerialLink::kEndOfRead, 1);
    QTest::newRow("every byte value but the star")
        << QByteArrayList{allButStar + '*'} << QByteArray(allButStar + '*') << QByteArray() << QByteArray();
}

void SerialLinkTest::repliesAreFramedAtTheStar()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, discarded);
    QFETCH(QByteArray, unread);

    PtyPeer peer;
    // A second look at the link's side of the device, to see bytes arrive
    // there without running the event loop. Opened first: the link's port
    // takes the device for itself.
    const int watch = ::open(QFile::encodeName(peer.slavePath()).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    QVERIFY2(watch >= 0, std::strerror(errno));
    const auto closeWatch = qScopeGuard([watch] { ::close(watch); });
    SerialLink link;
    QVERIFY2(openOnPeer(link, peer), qPrintable(link.error().describe()));
    link.setReadTimeout(kPatientRead);
    QSignalSpy received(&link, &SerialLink::replyReceived);
    QSignalSpy failed(&link, &SerialLink::readFailed);
    QByteArray dropped;
    qint64 droppedCount = 0;
    qint64 droppedReplies = 0;
    connect(&link, &SerialLink::bytesDiscarded, this, [&](const QByteArray &start, qint64 count, qint64 replies) {
        dropped += start;
        droppedCount += count;
        droppedReplies += replies;
    });

    link.read();
    for (const QByteArray &piece : pieces) {
        peer.send(piece);
        // Let each piece reach the link on its own.
        EventWait::forMs(30);
    }
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(received.size(), 1, kArrivalMs);
    QCOMPARE(received.at(0).at(0).toByteArray(), reply);
    QCOMPARE(failed.size(), 0);
    if (!unread.isEmpty()) {
        peer.send(unread);
        pollfd readable{watch, POLLIN, 0};
        QCOMPARE(::poll(&readable, 1, kArrivalMs), 1);
    }

    // The next command finds nothing left over to answer it.
    QVERIFY(link.writeCommand("NEXT"));
    QCOMPARE(dropped, discarded);
    QCOMPARE(droppedCount, discarded.size());
    // Each '*' among them closed a reply that answered no command.
    QCOMPARE(droppedReplies, discarded.count('*'));
    link.setReadTimeout(kShortRead);
    link.read();
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, kArrivalMs);
    QCOMPARE(received.size(), 1);
    QCOMPARE(link.error().kind, SerialLink::Error::Kind::Timeout);
    disconnect(&link, nullptr, this, nullptr);
}

void SerialLinkTest::readAnswersFromTheEventLoop_data()
{
    QTest::addColumn<bool>("open");
    QTest::newRow("reply already buffered") << true;
    QTest::newRow("port not open") << false;
}

void SerialLinkTest::readAnswersFromTheEventLoop()
{
    QFETCH(bool, open);

    PtyPeer peer;
    SerialLink link;
    link.setReadTimeout(kPatientRead);
    QSignalSpy received(&link, &SerialLink::replyReceived);
    QSignalSpy failed(&link, &SerialLink::readFailed);
    if (open) {
        QVERIFY2(openOnPeer(link, peer), qPrintable(link.error().describe()));
        // The first read takes "A*"; "B*", come later, waits in the link's buffer.
        peer.send("A*");
        link.read();
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(received.size(), 1, kArrivalMs);
        peer.send("B*");
        EventWait::forMs(30);
    }
    const qsizetype endsBefore = received.size() + failed.size();

    // A caller sets up its state after read(); an answer from inside the
    // call would reach its handler before that.
    bool insideRead = false;
    bool answeredInside = false;
    auto watch = [&] { answeredInside = answeredInside || insideRead; };
    connect(&link, &SerialLink::replyReceived, this, watch);
    connect(&link, &SerialLink::readFailed, this, watch);
    insideRead = true;
    link.read();
    insideRead = false;
    QCOMPARE(received.size() + failed.size(), endsBefore);

    WEXEL_TRY_COMPARE_WITH_TIMEOUT(received.size() + failed.size(), endsBefore + 1, kArrivalMs);
    QVERIFY(!answeredInside);
    if (open)
        QCOMPARE(received.last().at(0).toByteArray(), QByteArray("B*"));
    else
        QCOMPARE(failed.size(), 1);
    disconnect(&link, nullptr, this, nullptr);
}

void SerialLinkTest::timeOut_data()
{
    QTest::addColumn<QByteArray>("arrived");
    QTest::newRow("nothing") << QByteArray();
    QTest::newRow("partial reply") << QByteArray("SIM-");
    QTest::newRow("one byte") << QByteArray("\0", 1);
}

void SerialLinkTest::timeOut()
{
    QFETCH(QByteArray, arrived);

    PtyPeer peer;
    SerialLink link;
    QVERIFY2(openOnPeer(link, peer), qPrintable(link.error().describe()));
    link.setReadTimeout(kShortRead);
    QSignalSpy received(&link, &SerialLink::replyReceived);
    QSignalSpy failed(&link, &SerialLink::readFailed);
    QSignalSpy linkFailed(&link, &SerialLink::linkFailed);

    link.read();
    if (!arrived.isEmpty())
        peer.send(arrived);
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(received.size() + failed.size(), 1, kArrivalMs);
    if (arrived.isEmpty()) {
        QCOMPARE(failed.size(), 1);
        QCOMPARE(link.error().kind, SerialLink::Error::Kind::Timeout);
        QVERIFY2(link.error().describe().contains(peer.slavePath()), qPrintable(link.error().describe()));
    } else {
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.at(0).at(0).toByteArray(), arrived);
    }
    // A time-out is no failure of the port.
    QVERIFY(link.isOpen());
    QCOMPARE(linkFailed.size(), 0);
    QVERIFY(!link.isReading());

    // What the time-out handed over is gone: the next reply stands alone.
    link.setReadTimeout(kPatientRead);
    link.read();
    peer.send("*");
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(received.size() + failed.size(), 2, kArrivalMs);
    QCOMPARE(received.size(), arrived.isEmpty() ? 1 : 2);
    QCOMPARE(received.last().at(0).toByteArray(), QByteArray("*"));
}

void SerialLinkTest::endlessReplyIsCutAtTheLimit_data()
{
    QTest::addColumn<bool>("readFirst");
    QTest::newRow("while a read waits") << true;
    QTest::newRow("before the read") << false;
}

// A device that streams bytes without '*': the read fails at the limit with
// a short message, nothing beyond it is kept, and no reply is cut out of
// what follows the gap.
void SerialLinkTest::endlessReplyIsCutAtTheLimit()
{
    QFETCH(bool, readFirst);
    PtyPeer peer;
    SerialLink link;
    QVERIFY2(openOnPeer(link, peer), qPrintable(link.error().describe()));
    link.setReadTimeout(kPatientRead);
    QSignalSpy received(&link, &SerialLink::replyReceived);
    QSignalSpy failed(&link, &SerialLink::readFailed);

    if (readFirst)
        link.read();
    // 256 KiB, a piece at a time so the link takes each before the next.
    const QByteArray piece(16 * 1024, 'x');
    for (int i = 0; i < 16; ++i) {
        peer.send(piece);
        EventWait::forMs(5);
    }
    peer.send("NG*");
    EventWait::forMs(30);
    if (!readFirst)
        link.read();
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, kArrivalMs);
    QCOMPARE(received.size(), 0);
    QCOMPARE(link.error().kind, SerialLink::Error::Kind::ReplyTooLong);
    const QString described = link.error().describe();
    QVERIFY2(described.size() < 200, qPrintable(described));
    // How many came, not how many were kept: all of them when the read came last.
    const QRegularExpressionMatch came = QRegularExpression(u"sent (\\d+) bytes without \"\\*\""_s).match(described);
    QVERIFY2(came.hasMatch(), qPrintable(described));
    if (readFirst)
        QVERIFY2(came.captured(1).toLongLong() > ReplyFramer::kDefaultLimit, qPrintable(described));
    else
        QCOMPARE(came.captured(1).toLongLong(), 16 * piece.size() + 3);

    // A new configure starts afresh: the next reply is read as it comes.
    QVERIFY2(link.configure(), qPrintable(link.error().describe()));
    link.read();
    peer.send("*");
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(received.size(), 1, kArrivalMs);
    QCOMPARE(received.at(0).at(0).toByteArray(), QByteArray("*"));
}

void SerialLinkTest::configureDropsEarlierBytes()
{
    PtyPeer peer;
    SerialLink link;
    QVERIFY2(openOnPeer(link, peer), qPrintable(link.error().describe()));
    link.setReadTimeout(kPatientRead);
    QSignalSpy received(&link, &SerialLink::replyReceived);
    QSignalSpy failed(&link, &SerialLink::readFailed);

    // "OLD*" lands in the link's buffer behind the first reply, "LATE" in the
    // port without a read pending: an answer to an earlier command in both cases.
    peer.send("A*OLD*");
    link.read();
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(received.size(), 1, kArrivalMs);
    peer.send("LATE");
    EventWait::forMs(100);

    QVERIFY2(link.configure(), qPrintable(link.error().describe()));
    link.setReadTimeout(kShortRead);
    link.read();
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, kArrivalMs);
    QCOMPARE(received.size(), 1);
    QCOMPARE(link.error().kind, SerialLink::Error::Kind::Timeout);
}

void SerialLinkTest::configureCancelsPendingRead()
{
    PtyPeer peer;
    SerialLink link;
    QVERIFY2(openOnPeer(link, peer), qPrintable(link.error().describe()));
    link.setReadTimeout(kShortRead);
    QSignalSpy received(&link, &SerialLink::replyReceived);
    QSignalSpy failed(&link, &SerialLink::readFailed);
    QSignalSpy cancelled(&link, &SerialLink::readCancelled);

    // An update taking the link over from a running link test.
    link.read();
    QVERIFY(link.configure());
    QCOMPARE(cancelled.size(), 1);
    QVERIFY(!link.isReading());
    // The cancelled read's time-out must not end anything later.
    EventWait::forMs(int(kShortRead.count()) * 3);
    QCOMPARE(received.size(), 0);
    QCOMPARE(failed.size(), 0);
    QCOMPARE(cancelled.size(), 1);
}

void SerialLinkTest::hangUpDuringReadEndsItOnce()
{
    PtyPeer peer;
    SerialLink link;
    QVERIFY2(openOnPeer(link, peer), qPrintable(link.error().describe()));
    // Longer than the whole test, so only the hang-up can end the read.
    link.setReadTimeout(60s);
    QSignalSpy received(&link, &SerialLink::replyReceived);
    QSignalSpy failed(&link, &SerialLink::readFailed);
    QSignalSpy linkFailed(&link, &SerialLink::linkFailed);

    link.read();
    peer.send("PART"); // a reply cut off by the hang-up is no reply
    EventWait::forMs(50);
    peer.hangUp();
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, kArrivalMs);
    QCOMPARE(linkFailed.size(), 1);
    QCOMPARE(received.size(), 0);
    QVERIFY(!link.isOpen());
    QVERIFY(!link.isReading());
    QCOMPARE(link.error().kind, SerialLink::Error::Kind::HangUp);
    QVERIFY2(link.error().describe().contains(peer.slavePath()), qPrintable(link.error().describe()));

    // A hung-up port left open signals its error over and over; the process
    // would then burn a core. A generous bound: an idle second costs next to nothing.
    const auto cpuBefore = processCpuTime();
    EventWait::forMs(1000);
    const auto cpuUsed = processCpuTime() - cpuBefore;
    QVERIFY2(cpuUsed < 300ms,
             qPrintable(QStringLiteral("%1 ms of CPU in an idle second")
                            .arg(std::chrono::duration_cast<std::chrono::milliseconds>(cpuUsed).count())));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(linkFailed.size(), 1);

    // The technician plugs the instrument back in and tries again.
    PtyPeer replugged;
    QVERIFY2(openOnPeer(link, replugged), qPrintable(link.error().describe()));
    link.setReadTimeout(kPatientRead);
    QVERIFY(link.writeCommand("ARC*"));
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(replugged.received(), QByteArray("ARC*\n"), kArrivalMs);
    link.read();
    replugged.send("SIM-1*");
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(received.size(), 1, kArrivalMs);
    QCOMPARE(received.at(0).at(0).toByteArray(), QByteArray("SIM-1*"));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(linkFailed.size(), 1);
}

void SerialLinkTest::hangUpWhileIdleIsReportedOnce()
{
    PtyPeer peer;
    SerialLink link;
    QVERIFY2(openOnPeer(link, peer), qPrintable(link.error().describe()));
    QSignalSpy failed(&link, &SerialLink::readFailed);
    QSignalSpy linkFailed(&link, &SerialLink::linkFailed);

    peer.hangUp();
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(linkFailed.size(), 1, kArrivalMs);
    QVERIFY(!link.isOpen());
    EventWait::forMs(300);
    QCOMPARE(linkFailed.size(), 1);
    QCOMPARE(failed.size(), 0);

    // The next exchange finds the port closed instead of waiting for nothing.
    QVERIFY(!link.writeCommand("ARC*"));
    link.read();
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, kArrivalMs);
    QCOMPARE(linkFailed.size(), 1);
}

void SerialLinkTest::portThatCannotBeOpened_data()
{
    QTest::addColumn<QString>("portText");
    QTest::addColumn<QString>("device");
    QTest::addColumn<SerialLink::Error::Kind>("kind");

    using Kind = SerialLink::Error::Kind;
    QTest::newRow("device path that does not exist")
        << QStringLiteral("/dev/ttyDOESNOTEXIST") << QStringLiteral("/dev/ttyDOESNOTEXIST") << Kind::NoSuchPort;
    const int absent = absentComNumber();
    QTest::newRow("COM number without a device")
        << QStringLiteral("COM %1").arg(absent) << QStringLiteral("/dev/ttyS%1").arg(absent - 1) << Kind::NoSuchPort;
    // Numbers that name no device at all; the description still says which port.
    QTest::newRow("no COM in the text") << QStringLiteral("3") << QStringLiteral("\"3\"") << Kind::NoSuchPort;
    QTest::newRow("negative") << QStringLiteral("COM -2") << QStringLiteral("COM -2") << Kind::NoSuchPort;
    QTest::newRow("fraction") << QStringLiteral("COM 2.5") << QStringLiteral("COM 2.5") << Kind::NoSuchPort;
}

void SerialLinkTest::portThatCannotBeOpened()
{
    QFETCH(QString, portText);
    QFETCH(QString, device);
    QFETCH(SerialLink::Error::Kind, kind);

    SerialLink link;
    QVERIFY(link.setPortText(portText));
    QVERIFY(!link.configure());
    QCOMPARE(link.error().kind, kind);
    QVERIFY(!link.isOpen());
    const QString description = link.error().describe();
    QVERIFY2(description.contains(device), qPrintable(description));
}

void SerialLinkTest::portHeldByAnotherOpenerIsBusy()
{
    PtyPeer peer;
    SerialLink first;
    QVERIFY2(openOnPeer(first, peer), qPrintable(first.error().describe()));

    SerialLink second;
    QVERIFY(!openOnPeer(second, peer));
    QCOMPARE(second.error().kind, SerialLink::Error::Kind::Busy);
    QVERIFY2(second.error().describe().contains(peer.slavePath()), qPrintable(second.error().describe()));
    QVERIFY(!second.isOpen());

    // The refused opener took nothing from the one that holds the port.
    QVERIFY(first.isOpen());
    QVERIFY(first.writeCommand("ARC*"));
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(peer.received(), QByteArray("ARC*\n"), kArrivalMs);

    // Once let go, the port is free for the other.
    first.close();
    QVERIFY2(second.configure(), qPrintable(second.error().describe()));
}

void SerialLinkTest::symlinkedDeviceSharesTheLock()
{
    PtyPeer peer;
    QVERIFY(peer.isValid());
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Like /dev/serial/by-id/...: a stable name for a device that moves.
    const QString byId = dir.filePath(QStringLiteral("usb-Wexel_Bench-if00"));
    QVERIFY(QFile::link(peer.slavePath(), byId));

    SerialLink viaLink;
    QVERIFY(viaLink.setPortText(byId));
    QCOMPARE(viaLink.deviceName(), byId);
    QVERIFY2(viaLink.configure(), qPrintable(viaLink.error().describe()));
    QVERIFY(viaLink.writeCommand("ARC*"));
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(peer.received(), QByteArray("ARC*\n"), kArrivalMs);

    // Two names, one device: the second opener must still find it taken.
    SerialLink direct;
    QVERIFY(!openOnPeer(direct, peer));
    QCOMPARE(direct.error().kind, SerialLink::Error::Kind::Busy);
}

void SerialLinkTest::regularFileIsNoSerialPort()
{
    QTemporaryFile file;
    QVERIFY(file.open());
    file.write("not a port");
    file.close();

    SerialLink link;
    link.setDevicePath(file.fileName());
    QVERIFY(!link.configure());
    QVERIFY(!link.isOpen());
    QCOMPARE(link.error().kind, SerialLink::Error::Kind::OpenFailed);
    QVERIFY2(link.error().describe().contains(file.fileName()), qPrintable(link.error().describe()));
    // Nothing may have been written into it.
    QVERIFY(file.open());
    QCOMPARE(file.readAll(), QByteArray("not a port"));
}

void SerialLinkTest::unconfiguredLinkRefuses()
{
    SerialLink link;
    link.setDevicePath(QStringLiteral("/dev/ttyDOESNOTEXIST"));
    QVERIFY(!link.write("ARC*\n"));
    QCOMPARE(link.error().kind, SerialLink::Error::Kind::NotOpen);
    QVERIFY(!link.writeCommand("ARC*"));
    QVERIFY(!link.isOpen());
}

void SerialLinkTest::lowLatencyRequest_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("sysfsDevice"); // empty: no entry in class/tty
    QTest::addColumn<QByteArray>("timer");
    QTest::addColumn<int>("ioctlErrno"); // the driver's answer to setting the flag
    QTest::addColumn<QString>("said"); // the start of the result's description
    QTest::addColumn<bool>("flagSet");
    QTest::addColumn<bool>("timerLowered");

    const QString usb = QStringLiteral("/dev/ttyUSB0");
    QTest::newRow("USB serial adapter") << usb << kFtdiDevice << QByteArray("16\n") << 0
                                        << QStringLiteral("set (driver flag; latency timer from 16 ms to 1 ms)") << true
                                        << true;
    QTest::newRow("USB modem without latency_timer") << QStringLiteral("/dev/ttyACM0") << kAcmDevice << QByteArray()
                                                     << 0 << QStringLiteral("set (driver flag)") << true << false;
    QTest::newRow("pseudo-terminal") << QStringLiteral("/dev/pts/3") << QString() << QByteArray() << 0
                                     << QStringLiteral("not a USB adapter") << false << false;
    QTest::newRow("built-in UART") << QStringLiteral("/dev/ttyS0") << kUartDevice << QByteArray() << 0
                                   << QStringLiteral("not a USB adapter") << false << false;
    QTest::newRow("ioctl refused") << usb << kAcmDevice << QByteArray() << EPERM
                                   << QStringLiteral("refused: operation not permitted") << false << false;
    QTest::newRow("ioctl refused, latency_timer written")
        << usb << kFtdiDevice << QByteArray("16") << EPERM
        << QStringLiteral("set (latency timer from 16 ms to 1 ms; driver flag refused: operation not permitted)")
        << false << true;
    QTest::newRow("sysfs not writable") << usb << kFtdiDevice << QByteArray("read-only") << 0
                                        << QStringLiteral("set (driver flag; latency timer stays") << true << false;
    QTest::newRow("neither writable") << usb << kFtdiDevice << QByteArray("read-only") << EPERM
                                      << QStringLiteral("refused: operation not permitted; latency timer stays")
                                      << false << false;
    // Not the driver's: no number is taken from the start of a longer text,
    // and without the old value it could not be given back.
    QTest::newRow("latency_timer holds more than a number")
        << usb << kFtdiDevice << QByteArray("16").leftJustified(40, ' ') + "ms" << 0
        << QStringLiteral("set (driver flag; latency timer unreadable") << true << false;
}

void SerialLinkTest::lowLatencyRequest()
{
    QFETCH(QString, device);
    QFETCH(QString, sysfsDevice);
    QFETCH(QByteArray, timer);
    QFETCH(int, ioctlErrno);
    QFETCH(QString, said);
    QFETCH(bool, flagSet);
    QFETCH(bool, timerLowered);

    FakeAdapterSystem system;
    if (!sysfsDevice.isEmpty())
        QVERIFY(system.addTty(QFileInfo(device).fileName(), sysfsDevice, timer));
    if (timer == "read-only" && !QFileInfo(kReadOnlyValue).isReadable())
        QSKIP("no read-only kernel value to stand in for latency_timer");
    const QByteArray timerBefore = system.timer(sysfsDevice);
    system.writeErrno = ioctlErrno;

    LowLatency lowLatency;
    lowLatency.setPlatform(system.platform());
    const QString described = lowLatency.request(3, device).describe();
    QVERIFY2(described.startsWith(said), qPrintable(described));
    QCOMPARE(system.flag, flagSet);
    QCOMPARE(system.timer(sysfsDevice), timerLowered ? QByteArray("1") : timerBefore);
    // A tty that is no USB adapter is not even asked.
    QCOMPARE(system.calls == 0, said.startsWith(u"not"));

    lowLatency.restore(3);
    QVERIFY(!system.flag);
    QCOMPARE(system.timer(sysfsDevice), timerBefore);
}

void SerialLinkTest::lowLatencyGivenBack_data()
{
    QTest::addColumn<QString>("end");
    QTest::newRow("closed") << QStringLiteral("close");
    QTest::newRow("reconfigured") << QStringLiteral("configure");
    QTest::newRow("hung up") << QStringLiteral("hang-up");
    QTest::newRow("destroyed") << QStringLiteral("destroy");
}

void SerialLinkTest::lowLatencyGivenBack()
{
    QFETCH(QString, end);

    // The pseudo-terminal plays an FTDI adapter, reached by a stable name as
    // under /dev/serial/by-id: the tty's own name must be the one looked up.
    PtyPeer peer;
    FakeAdapterSystem system;
    QVERIFY(peer.isValid());
    QVERIFY(system.addTty(QFileInfo(peer.slavePath()).fileName(), kFtdiDevice, "16"));
    const QString byId = system.dir.filePath(QStringLiteral("usb-FTDI_FT232R_A6008isP-if00-port0"));
    QVERIFY(QFile::link(peer.slavePath(), byId));

    auto link = std::make_unique<SerialLink>();
    link->lowLatency().setPlatform(system.platform());
    QSignalSpy decided(link.get(), &SerialLink::lowLatencyDecided);
    QSignalSpy linkFailed(link.get(), &SerialLink::linkFailed);
    QVERIFY(link->setPortText(byId));
    QVERIFY2(link->configure(), qPrintable(link->error().describe()));
    QCOMPARE(decided.size(), 1);
    QCOMPARE(link->lowLatency().result().state, LowLatency::State::Set);
    QVERIFY(system.flag);
    QCOMPARE(system.timer(kFtdiDevice), QByteArray("1"));

    if (end == "close") {
        link->close();
    } else if (end == "configure") {
        // Opened again: given back first, so the first values are the ones
        // that come back at the end.
        QVERIFY2(link->configure(), qPrintable(link->error().describe()));
        QVERIFY(system.flag);
        link->close();
    } else if (end == "hang-up") {
        // The descriptor is dead by then and the driver refuses, as on a
        // pulled adapter; the sysfs entry is given back all the same.
        const int callsBefore = system.calls;
        system.writeErrno = EIO;
        peer.hangUp();
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(linkFailed.size(), 1, kArrivalMs);
        QCOMPARE(system.calls, callsBefore + 1);
        QCOMPARE(system.timer(kFtdiDevice), QByteArray("16"));
        return;
    } else {
        link.reset();
    }
    QVERIFY(!system.flag);
    QCOMPARE(system.timer(kFtdiDevice), QByteArray("16"));
}

void SerialLinkTest::portTextChoosesDevice_data()
{
    QTest::addColumn<QString>("portText");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("device");

    const QString before = QStringLiteral("/dev/ttyBEFORE");
    QTest::newRow("COM 3") << QStringLiteral("COM 3") << true << QStringLiteral("/dev/ttyS2");
    QTest::newRow("COM 1") << QStringLiteral("COM 1") << true << QStringLiteral("/dev/ttyS0");
    QTest::newRow("com10") << QStringLiteral("com10") << true << QStringLiteral("/dev/ttyS9");
    QTest::newRow("device path") << QStringLiteral("/dev/ttyUSB0") << true << QStringLiteral("/dev/ttyUSB0");
    QTest::newRow("device path with blanks")
        << QStringLiteral("  /dev/ttyACM1 ") << true << QStringLiteral("/dev/ttyACM1");
    QTest::newRow("by-id path") << QStringLiteral("/dev/serial/by-id/usb-Wexel_Bench-if00") << true
                                << QStringLiteral("/dev/serial/by-id/usb-Wexel_Bench-if00");
    QTest::newRow("no number") << QStringLiteral("COM") << true << QString();
    QTest::newRow("fraction") << QStringLiteral("COM 2.5") << true << QString();
    // A text the port rule refuses leaves the link on its earlier port.
    QTest::newRow("too long") << QStringLiteral("COM 3").leftJustified(32768, u' ') << false << before;
}

void SerialLinkTest::portTextChoosesDevice()
{
    QFETCH(QString, portText);
    QFETCH(bool, accepted);
    QFETCH(QString, device);

    SerialLink link;
    link.setDevicePath(QStringLiteral("/dev/ttyBEFORE"));
    QCOMPARE(link.setPortText(portText), accepted);
    QCOMPARE(link.deviceName(), device);
    if (!accepted)
        QCOMPARE(link.error().kind, SerialLink::Error::Kind::NoSuchPort);
}

void SerialLinkTest::deviceForPortNumber_data()
{
    QTest::addColumn<double>("number");
    QTest::addColumn<QString>("device");

    QTest::newRow("1") << 1.0 << QStringLiteral("/dev/ttyS0");
    QTest::newRow("3") << 3.0 << QStringLiteral("/dev/ttyS2");
    QTest::newRow("10") << 10.0 << QStringLiteral("/dev/ttyS9");
    QTest::newRow("256") << 256.0 << QStringLiteral("/dev/ttyS255");
    QTest::newRow("100 from an exponent") << 1e2 << QStringLiteral("/dev/ttyS99");
    QTest::newRow("0") << 0.0 << QString();
    QTest::newRow("-1") << -1.0 << QString();
    QTest::newRow("2.5") << 2.5 << QString();
    QTest::newRow("just below 1") << 0.999 << QString();
    QTest::newRow("beyond int") << 1e12 << QString();
    QTest::newRow("infinity") << std::numeric_limits<double>::infinity() << QString();
    QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN() << QString();
}

void SerialLinkTest::deviceForPortNumber()
{
    QFETCH(double, number);
    QFETCH(QString, device);
    QCOMPARE(::deviceForPortNumber(number), device);
}

WEXEL_REGISTER_TEST(SerialLinkTest)

namespace {
// What sysfs says of the adapter behind the node: the serial number file's
// content ("" none at all), or "plain" for a port with no USB device above it.
bool fakeSysfs(const QString &root, const QByteArray &serial)
{
    QDir dir(root);
    const QString usbDevice = u"devices/pci0/usb1/1-2"_s;
    const QString tty = usbDevice + u"/1-2:1.0/ttyUSB0/tty/ttyUSB0"_s;
    if (!dir.mkpath(tty) || !dir.mkpath(u"class/tty/null"_s) || !dir.mkpath(u"by-id"_s))
        return false;
    if (serial != "plain") {
        QFile vendor(dir.filePath(usbDevice + u"/idVendor"_s));
        if (!vendor.open(QIODevice::WriteOnly) || vendor.write("0403\n") != 5)
            return false;
    }
    if (!serial.isEmpty() && serial != "plain") {
        QFile f(dir.filePath(usbDevice + u"/serial"_s));
        if (!f.open(QIODevice::WriteOnly) || f.write(serial) != serial.size())
            return false;
    }
    return QFile::link(dir.filePath(tty), dir.filePath(u"class/tty/null/device"_s))
        && QFile::link(u"/dev/null"_s,
                       dir.filePath(u"by-id/usb-Maker_Cable_"_s + QString::fromLatin1(serial) + u"-if00-port0"_s));
}
} // namespace

void SerialLinkTest::deviceIdentity_data()
{
    QTest::addColumn<QByteArray>("noted"); // the adapter's serial as the unit was noted
    QTest::addColumn<QByteArray>("now"); // and now; "absent": the port leads to no device
    QTest::addColumn<bool>("wentAway");
    QTest::addColumn<int>("sameness");

    using S = DeviceIdentity::Sameness;
    // A port held open all along: its node and number are the device.
    QTest::newRow("never gone, same node") << QByteArray() << QByteArray() << false << int(S::Same);
    QTest::newRow("never gone, another adapter's serial")
        << QByteArray("FT1") << QByteArray("FT2") << false << int(S::Other);
    // Gone and back: only a serial number proves it.
    QTest::newRow("back with its serial") << QByteArray("FT1\n") << QByteArray("FT1\n") << true << int(S::Same);
    QTest::newRow("back, another serial") << QByteArray("FT1") << QByteArray("FT2") << true << int(S::Other);
    QTest::newRow("adapter without a serial") << QByteArray() << QByteArray() << true << int(S::Unprovable);
    QTest::newRow("plain port") << QByteArray("plain") << QByteArray("plain") << true << int(S::Unprovable);
    // Too long for a USB string: no serial the kernel gave, so nothing proved.
    QTest::newRow("serial past its limit")
        << QByteArray(200, 'A') << QByteArray(200, 'A') << true << int(S::Unprovable);
    QTest::newRow("serial with a control byte")
        << QByteArray("FT\x01") << QByteArray("FT\x01") << true << int(S::Unprovable);
    QTest::newRow("not back") << QByteArray("FT1") << QByteArray("absent") << true << int(S::Gone);
}

void SerialLinkTest::deviceIdentity()
{
    QFETCH(QByteArray, noted);
    QFETCH(QByteArray, now);
    QFETCH(bool, wentAway);
    QFETCH(int, sameness);

    // /dev/null stands in for the adapter's node: a character device that
    // is no pseudo-terminal, whose sysfs entry a made-up tree replaces.
    QTemporaryDir before;
    QTemporaryDir after;
    QVERIFY(fakeSysfs(before.path(), noted));
    const DeviceIdentity first
        = DeviceIdentity::of(u"/dev/null"_s, before.filePath(u"class/tty"_s), before.filePath(u"by-id"_s));
    QCOMPARE(first.node, u"/dev/null"_s);
    QVERIFY(first.number != 0);
    if (first.provable())
        QVERIFY2(first.byId.contains(QString::fromLatin1(noted.trimmed())), qPrintable(first.byId));
    DeviceIdentity second;
    if (now == "absent") {
        second
            = DeviceIdentity::of(after.filePath(u"gone"_s), after.filePath(u"class/tty"_s), after.filePath(u"by-id"_s));
    } else {
        QVERIFY(fakeSysfs(after.path(), now));
        second = DeviceIdentity::of(u"/dev/null"_s, after.filePath(u"class/tty"_s), after.filePath(u"by-id"_s));
    }
    QCOMPARE(int(DeviceIdentity::compare(first, second, wentAway)), sameness);
}

// The rule that reads a port number out of the port text.
class PortNumberTest : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void isDevicePath_data();
    void isDevicePath();
    void suggestedDevice_data();
    void suggestedDevice();
};

void PortNumberTest::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<std::optional<double>>("number");

    const auto row = [](const char *name, const QString &text, std::optional<double> number) {
        QTest::newRow(name) << text << number;
    };
    row("COM 1", QStringLiteral("COM 1"), 1);
    row("COM 10", QStringLiteral("COM 10"), 10);
    row("any case", QStringLiteral("com7"), 7);
    row("mixed case", QStringLiteral("cOm 4"), 4);
    row("text before COM", QStringLiteral("xCOM 3"), 3);
    row("blank inside the number", QStringLiteral("COM 1 0"), 10);
    row("blanks around", QStringLiteral("   COM   12   "), 12);
    row("tab before the number", QStringLiteral("COM\t5"), 5);
    row("no COM", QStringLiteral("3"), 0);
    row("empty", QString(), 0);
    row("COM split by a blank", QStringLiteral("CO M 3"), 0);
    row("COM alone", QStringLiteral("COM"), 0);
    row("COM and blanks", QStringLiteral("COM   "), 0);
    row("letters after COM", QStringLiteral("COM abc"), 0);
    row("trailing letter", QStringLiteral("COM 3x"), 3);
    row("comma ends the number", QStringLiteral("COM 2,5"), 2);
    row("limit", QStringLiteral("COM 255"), 255);
    row("above limit", QStringLiteral("COM 256"), 256);
    row("minus", QStringLiteral("COM -2"), -2);
    row("blank after the sign", QStringLiteral("COM - 2"), -2);
    row("plus", QStringLiteral("COM +4"), 4);
    row("sign twice", QStringLiteral("COM --2"), 0);
    row("sign alone", QStringLiteral("COM +"), 0);
    row("decimal", QStringLiteral("COM 2.5"), 2.5);
    row("leading point", QStringLiteral("COM .5"), 0.5);
    row("second point ends the number", QStringLiteral("COM 1.2.3"), 1.2);
    row("exponent", QStringLiteral("COM 1E2"), 100);
    row("small exponent", QStringLiteral("com 1e2"), 100);
    row("D exponent", QStringLiteral("COM 1D2"), 100);
    row("negative exponent", QStringLiteral("COM 5E-1"), 0.5);
    row("exponent without digits", QStringLiteral("COM 3E"), 3);
    row("exponent sign without digits", QStringLiteral("COM 3E+"), 3);
    row("exponent without mantissa", QStringLiteral("COM E2"), 0);
    // Only the first COM counts: after it comes "COM 5", which is no number.
    row("COM twice", QStringLiteral("COM COM 5"), 0);
    row("COM run together twice", QStringLiteral("COMCOM 5"), 0);
    row("second COM after the number", QStringLiteral("COM 3 COM 4"), 3);
    row("COM inside a word", QStringLiteral("TELECOM 6"), 6);

    // Lengths are 16-bit counters: 32,767 characters is the longest text.
    row("longest text", QStringLiteral("COM 7").leftJustified(32767, u' '), 7);
    row("COM at the end of the longest text", QStringLiteral("COM").rightJustified(32767, u'x'), 0);
    row("one character too long", QStringLiteral("COM 7").leftJustified(32768, u' '), std::nullopt);
    row("far too long", QString(70000, u'9'), std::nullopt);
    // A number a double cannot hold overflows; one too small is 0.
    row("5000 digits", QStringLiteral("COM ") + QString(5000, u'9'), std::nullopt);
    row("exponent past the largest", QStringLiteral("COM 1E400"), std::nullopt);
    row("digits and exponent past the largest", QStringLiteral("COM 0.000123E320"), std::nullopt);
    row("exponent past the smallest", QStringLiteral("COM 1E-400"), 0);
    row("zeros with a large exponent", QStringLiteral("COM 0.000E999"), 0);
}

void PortNumberTest::parse()
{
    QFETCH(QString, text);
    QFETCH(std::optional<double>, number);

    const std::optional<double> parsed = ParsePortNumber(text);
    QCOMPARE(parsed.has_value(), number.has_value());
    if (number)
        QCOMPARE(*parsed, *number);
}

void PortNumberTest::isDevicePath_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("isPath");

    QTest::newRow("ttyUSB") << QStringLiteral("/dev/ttyUSB0") << true;
    QTest::newRow("by-id") << QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R-if00-port0") << true;
    QTest::newRow("pseudo-terminal") << QStringLiteral("/dev/pts/3") << true;
    QTest::newRow("leading blank") << QStringLiteral("  /dev/ttyS0") << true;
    QTest::newRow("COM text") << QStringLiteral("COM 3") << false;
    QTest::newRow("number") << QStringLiteral("3") << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("relative name") << QStringLiteral("dev/ttyS0") << false;
    QTest::newRow("bare device name") << QStringLiteral("ttyUSB0") << false;
    QTest::newRow("COM with a slash later") << QStringLiteral("COM 3 /dev/ttyS2") << false;
    // The Windows device namespace is a path only where it exists.
#ifdef Q_OS_WIN
    QTest::newRow("Windows device") << QStringLiteral("\\\\.\\COM12") << true;
#else
    QTest::newRow("Windows device") << QStringLiteral("\\\\.\\COM12") << false;
#endif
}

void PortNumberTest::isDevicePath()
{
    QFETCH(QString, text);
    QFETCH(bool, isPath);
    QCOMPARE(::isDevicePath(text), isPath);
}

WEXEL_REGISTER_TEST(PortNumberTest)

// The hint after "no such port": only for a relative text, and only a path
// that is there. A missing absolute path is no typing slip to correct.
void PortNumberTest::suggestedDevice_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("suggested");

    QTest::newRow("missing absolute device") << u"/dev/ttyUSB7"_s << QString();
    QTest::newRow("missing absolute device, blanks") << u"  /dev/ttyWEXELQ9 "_s << QString();
    QTest::newRow("missing device without its folder") << u"ttyWEXELQ9"_s << QString();
    QTest::newRow("missing device without its slash") << u"dev/ttyWEXELQ9"_s << QString();
    QTest::newRow("file of the current folder") << u"bench-com7"_s << u"./bench-com7"_s;
    // Every Linux machine has the first 8250 port's node, with or without a UART.
    if (QFileInfo::exists(u"/dev/ttyS0"_s))
        QTest::newRow("present device without its folder") << u"ttyS0"_s << u"/dev/ttyS0"_s;
}

void PortNumberTest::suggestedDevice()
{
    QFETCH(QString, text);
    QFETCH(QString, suggested);
#ifdef Q_OS_WIN
    QSKIP("no device paths to suggest on Windows");
#endif
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    const auto back = qScopeGuard([&] { QDir::setCurrent(before); });
    QFile file(u"bench-com7"_s);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QCOMPARE(::suggestedDevice(text), suggested);
}

#include "tst_link.moc"
