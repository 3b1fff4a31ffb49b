// The simulated instrument, driven from outside as the tool drives it: its
// answers, its faults, its pacing and its exit summary; and the memory image
// it keeps, on its own.
#include "clitestsupport.h"
#include "eventwait.h"
#include "testregistry.h"

#include "sim/memoryimage.h"
#include "sim/pacer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kReplyTimeoutMs = 10000;

QStringList arguments(std::initializer_list<const char *> list)
{
    QStringList result;
    for (const char *a : list)
        result += QString::fromLatin1(a);
    return result;
}

using CliTestSupport::simulatorPath;

QByteArray hex8(std::uint32_t value)
{
    return QByteArray::number(value, 16).toUpper().rightJustified(8, '0');
}

QByteArray rangesText(const MemoryImage &image)
{
    QByteArrayList parts;
    for (const auto &range : image.ranges())
        parts += QByteArray::fromStdString(MemoryImage::formatRange(range));
    return parts.join(' ');
}

// One simulator process and the device end the tool would hold, opened the
// way a serial port is: raw, non-blocking, bytes collected by the event loop.
class SimRun : public QObject
{
public:
    ~SimRun() override
    {
        closeDevice();
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            (void)EventWait::until([this] { return m_process.state() == QProcess::NotRunning; }, kStartTimeoutMs);
        }
    }

    bool start(QStringList args)
    {
        connect(&m_process, &QProcess::readyReadStandardOutput, this,
                [this] { m_stdout += m_process.readAllStandardOutput(); });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(simulatorPath(), args);
        if (!EventWait::until([this] { return m_stdout.contains('\n'); }, kStartTimeoutMs))
            return false;
        m_devicePath = m_stdout.left(m_stdout.indexOf('\n'));
        return openDevice();
    }

    bool openDevice()
    {
        m_fd = ::open(m_devicePath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_fd < 0)
            return false;
        termios tio{};
        ::tcgetattr(m_fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(m_fd, TCSANOW, &tio);
        m_hungUp = false;
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { readDevice(); });
        return true;
    }

    void closeDevice()
    {
        m_notifier.reset();
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    void send(const QByteArray &bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0) {
                done += n;
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p{m_fd, POLLOUT, 0};
                ::poll(&p, 1, 1000);
            } else if (n < 0 && errno != EINTR) {
                return;
            }
        }
    }

    // Sends one command and collects its answer up to the first '*', as the
    // tool reads; an empty result means nothing ended with '*' in time.
    QByteArray exchange(const QByteArray &command)
    {
        clear();
        send(command + '\n');
        if (!EventWait::until([this] { return m_received.contains('*') || m_hungUp; }, kReplyTimeoutMs))
            return {};
        return m_received.contains('*') ? m_received.left(m_received.indexOf('*') + 1) : QByteArray();
    }

    void clear()
    {
        m_received.clear();
        m_chunks.clear();
    }

    // SIGTERM, then the summary; empty if the process did not end.
    bool stop()
    {
        m_process.terminate();
        return waitForExit();
    }

    bool waitForExit()
    {
        return EventWait::until([this] { return m_process.state() == QProcess::NotRunning; }, kStartTimeoutMs);
    }

    // The "key: value" lines after the device path.
    QMap<QByteArray, QByteArray> summary() const
    {
        QMap<QByteArray, QByteArray> result;
        const QByteArrayList lines = m_stdout.split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(": ");
            if (colon > 0)
                result.insert(lines[i].left(colon), lines[i].mid(colon + 2));
        }
        return result;
    }

    QByteArray summaryJson() const { return m_stdout.mid(m_stdout.indexOf('\n') + 1).trimmed(); }

    QProcess m_process;
    QByteArray m_stdout;
    QByteArray m_devicePath;
    QByteArray m_received;
    QByteArrayList m_chunks; // m_received as the reads returned it
    bool m_hungUp = false;

private:
    void readDevice()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n > 0) {
                m_received.append(buffer, n);
                m_chunks.append(QByteArray(buffer, n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 || errno == EIO) {
                // The master is gone: a hang-up as the tool would see it.
                m_hungUp = true;
                m_notifier->setEnabled(false);
            }
            return;
        }
    }

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

const QByteArrayList kImageLines = {
    "@0F000", "31 40 00 24 B2 40", "80 5A 20 01", "31 40 00", "", "zz", "@10000", "AA BB", "q",
};

} // namespace

class SimulatorTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(QFileInfo(simulatorPath()).isExecutable(), qPrintable(simulatorPath())); }

    // --- the memory image on its own ---

    void imageLines_data()
    {
        QTest::addColumn<QByteArrayList>("lines");
        QTest::addColumn<QByteArray>("ranges");
        QTest::addColumn<int>("dataBytes");
        QTest::addColumn<int>("malformed");
        QTest::addColumn<int>("odd");

        QTest::newRow("address then data")
            << QByteArrayList{"@0F000", "31 40 00 24"} << QByteArray("0F000-0F003") << 4 << 0 << 0;
        QTest::newRow("lower case hex") << QByteArrayList{"@0f0a0", "ab cd"} << QByteArray("0F0A0-0F0A1") << 2 << 0
                                        << 0;
        QTest::newRow("lines run on") << QByteArrayList{"@0F000", "01 02", "03 04"} << QByteArray("0F000-0F003") << 4
                                      << 0 << 0;
        QTest::newRow("gap splits") << QByteArrayList{"@0F000", "01 02", "@0F010", "03 04"}
                                    << QByteArray("0F000-0F001 0F010-0F011") << 4 << 0 << 0;
        QTest::newRow("out of order") << QByteArrayList{"@10000", "01", "@0F000", "02"}
                                      << QByteArray("0F000-0F000 10000-10000") << 2 << 0 << 2;
        QTest::newRow("adjacent islands merge")
            << QByteArrayList{"@0F002", "03 04", "@0F000", "01 02"} << QByteArray("0F000-0F003") << 4 << 0 << 0;
        QTest::newRow("across a page") << QByteArrayList{"@000FE", "01 02 03 04"} << QByteArray("000FE-00101") << 4 << 0
                                       << 0;
        QTest::newRow("odd data") << QByteArrayList{"@0F000", "31 40 00"} << QByteArray("0F000-0F002") << 3 << 0 << 1;
        QTest::newRow("data before address") << QByteArrayList{"01 02"} << QByteArray("00000-00001") << 2 << 0 << 0;
        QTest::newRow("four-digit address")
            << QByteArrayList{"@F000", "01 02"} << QByteArray("00000-00001") << 2 << 1 << 0;
        QTest::newRow("six-digit address")
            << QByteArrayList{"@00F000", "01 02"} << QByteArray("00000-00001") << 2 << 1 << 0;
        QTest::newRow("bad address keeps the old")
            << QByteArrayList{"@0F000", "@0F00G", "01 02"} << QByteArray("0F000-0F001") << 2 << 1 << 0;
        QTest::newRow("malformed data ignored") << QByteArrayList{"@0F000", "31 4", "31  40",
                                                                  "3G 40",  " 31",  "31 40 ",
                                                                  "31\t40", "quit", QByteArray("31\0 40", 6),
                                                                  "01 02"}
                                                << QByteArray("0F000-0F001") << 2 << 8 << 0;
        QTest::newRow("empty and end lines") << QByteArrayList{"", "q", "Q"} << QByteArray("none") << 0 << 0 << 0;
        // The line buffer holds 32 bytes; the memory ends at FFFFF.
        QByteArrayList bytes;
        for (int i = 0; i < 33; ++i)
            bytes += QByteArray::number(i + 0x10, 16);
        QTest::newRow("32 bytes, then 33") << QByteArrayList{"@0F000", bytes.mid(0, 32).join(' '), bytes.join(' ')}
                                           << QByteArray("0F000-0F01F") << 32 << 1 << 0;
        QTest::newRow("up to FFFFF, then past it")
            << QByteArrayList{"@FFFFC", "01 02", "03 04", "05 06"} << QByteArray("FFFFC-FFFFF") << 4 << 1 << 0;
    }

    void imageLines()
    {
        QFETCH(QByteArrayList, lines);
        QFETCH(QByteArray, ranges);
        QFETCH(int, dataBytes);
        QFETCH(int, malformed);
        QFETCH(int, odd);

        MemoryImage image;
        for (const QByteArray &line : lines)
            image.addLine(line.toStdString());
        QCOMPARE(image.lines(), std::uint64_t(lines.size()));
        QCOMPARE(rangesText(image).isEmpty() ? QByteArray("none") : rangesText(image), ranges);
        QCOMPARE(image.dataBytes(), std::uint64_t(dataBytes));
        QCOMPARE(image.malformedLines(), std::uint64_t(malformed));
        QCOMPARE(image.oddDataLines(), std::uint64_t(odd));
    }

    void imageKeepsLatestByteAndEnd()
    {
        MemoryImage image;
        QCOMPARE(image.addLine("@0F000"), MemoryImage::LineKind::Address);
        QCOMPARE(image.addLine("11 22"), MemoryImage::LineKind::Data);
        QCOMPARE(image.addLine("@0F001"), MemoryImage::LineKind::Address);
        QCOMPARE(image.addLine("33"), MemoryImage::LineKind::Data);
        QCOMPARE(image.byteAt(0xF000), std::optional<std::uint8_t>(0x11));
        QCOMPARE(image.byteAt(0xF001), std::optional<std::uint8_t>(0x33));
        QCOMPARE(image.byteAt(0xF002), std::optional<std::uint8_t>());
        QCOMPARE(image.currentAddress(), 0xF002u);
        QVERIFY(!image.endSeen());
        QCOMPARE(image.addLine("Q"), MemoryImage::LineKind::End);
        QVERIFY(image.endSeen());

        image.clear();
        QCOMPARE(image.lines(), std::uint64_t(0));
        QVERIFY(image.ranges().empty());
        QVERIFY(!image.endSeen());
        QCOMPARE(image.checksum(), 0u);
    }

    void imageChecksum()
    {
        // The standard check value of CRC-32.
        const QByteArray check("123456789");
        QCOMPARE(MemoryImage::crc32(0, reinterpret_cast<const std::uint8_t *>(check.constData()), 9), 0xCBF43926u);

        MemoryImage image;
        for (const char *line : {"@0F000", "31 40", "@10000", "AA"})
            image.addLine(line);
        // Each range: start and length, 4 bytes little-endian each, then its bytes.
        const QByteArray stream = QByteArray::fromHex("00f00000"
                                                      "02000000"
                                                      "3140"
                                                      "00000100"
                                                      "01000000"
                                                      "aa");
        QCOMPARE(image.checksum(),
                 MemoryImage::crc32(0, reinterpret_cast<const std::uint8_t *>(stream.constData()),
                                    size_t(stream.size())));

        // The same bytes elsewhere are another image.
        MemoryImage moved;
        for (const char *line : {"@0F002", "31 40", "@10000", "AA"})
            moved.addLine(line);
        QVERIFY(moved.checksum() != image.checksum());
    }

    // --- the simulator as the tool meets it ---

    void linkTestReply_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("default") << arguments({}) << QByteArray("WEXEL-SIM 1.0*");
        QTest::newRow("own text") << arguments({"--arc-reply", "BENCH 7*"}) << QByteArray("BENCH 7*");
        QTest::newRow("escaped bytes") << arguments({"--arc-reply=\\x15\\\\A*"}) << QByteArray("\x15\\A*");
    }

    void linkTestReply()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, reply);
        SimRun sim;
        QVERIFY(sim.start(args << u"--quiet"_s));
        QCOMPARE(sim.exchange("ARC*"), reply);
        QVERIFY(sim.stop());
        QCOMPARE(sim.summary().value("link tests"), QByteArray("1"));
    }

    // The instrument's own time, on the pacer's clock: an answer leaves no
    // earlier than the work after its command arrived, and a busy instrument
    // starts on the next command only when done with the one before.
    void pacerHoldsTheWorkTime()
    {
        using namespace std::chrono;
        Pacer pacer(0, false);
        const Pacer::Clock::time_point t = Pacer::Clock::now();
        pacer.received(t, 5);
        const Pacer::Clock::time_point arrived = pacer.byteArrival(4);
        QVERIFY(arrived == t);
        pacer.queueReply(arrived, 700ms, "*");
        QVERIFY(pacer.nextDue() == arrived + 700ms);
        QCOMPARE(pacer.takeDue(arrived + 699ms).bytes, std::string());
        QCOMPARE(pacer.takeDue(arrived + 700ms).bytes, std::string("*"));

        // 20 lines at once, 20 ms each: the last answer after 400 ms of work.
        Pacer busy(0, false);
        busy.received(t, 20 * 48);
        for (int i = 0; i < 20; ++i)
            busy.queueReply(busy.byteArrival(std::size_t(i) * 48 + 47), 20ms, "*");
        std::vector<Pacer::Clock::time_point> dues;
        while (const std::optional<Pacer::Clock::time_point> due = busy.nextDue()) {
            dues.push_back(*due);
            QCOMPARE(busy.takeDue(*due).bytes, std::string("*"));
        }
        QCOMPARE(dues.size(), std::size_t(20));
        for (std::size_t i = 0; i < dues.size(); ++i)
            QVERIFY(dues[i] == t + 20ms * int(i + 1));
    }

    void wholeImage_data()
    {
        QTest::addColumn<bool>("json");
        QTest::newRow("text") << false;
        QTest::newRow("json") << true;
    }

    void wholeImage()
    {
        QFETCH(bool, json);
        SimRun sim;
        QStringList args = arguments({"--quiet", "--erase-ms", "0", "--end-reply", "DONE*"});
        if (json)
            args << u"--json"_s;
        QVERIFY(sim.start(args));
        QCOMPARE(sim.exchange("KILL"), QByteArray("*"));
        MemoryImage expected;
        for (const QByteArray &line : kImageLines) {
            expected.addLine(line.toStdString());
            QCOMPARE(sim.exchange(line), QByteArray(line == "q" ? "DONE*" : "*"));
        }
        // After the end line the image is closed: a stray line is refused.
        QCOMPARE(sim.exchange("01 02"), QByteArray("NG*"));
        QVERIFY(sim.stop());

        const QByteArray checksum = hex8(expected.checksum());
        if (json) {
            const QJsonObject o = QJsonDocument::fromJson(sim.summaryJson()).object();
            QCOMPARE(o.value("lines_received"_L1).toInt(), int(kImageLines.size()));
            QCOMPARE(o.value("data_bytes"_L1).toInt(), 15);
            QCOMPARE(o.value("malformed_lines"_L1).toInt(), 1);
            QCOMPARE(o.value("odd_data_lines"_L1).toInt(), 1);
            QCOMPARE(o.value("address_ranges"_L1).toArray(), QJsonArray({u"0F000-0F00C"_s, u"10000-10001"_s}));
            QCOMPARE(o.value("checksum"_L1).toString().toLatin1(), checksum);
            QCOMPARE(o.value("end_line_seen"_L1).toBool(), true);
            QCOMPARE(o.value("erase_count"_L1).toInt(), 1);
            QCOMPARE(o.value("other_commands"_L1).toInt(), 1);
            QCOMPARE(o.value("exit_reason"_L1).toString(), QStringLiteral("signal"));
        } else {
            const auto s = sim.summary();
            QCOMPARE(s.value("lines received"), QByteArray::number(kImageLines.size()));
            QCOMPARE(s.value("data bytes"), QByteArray("15"));
            QCOMPARE(s.value("malformed lines"), QByteArray("1"));
            QCOMPARE(s.value("odd data lines"), QByteArray("1"));
            QCOMPARE(s.value("address ranges"), QByteArray("0F000-0F00C 10000-10001"));
            QCOMPARE(s.value("checksum"), checksum);
            QCOMPARE(s.value("end line seen"), QByteArray("yes"));
            QCOMPARE(s.value("erase count"), QByteArray("1"));
            QCOMPARE(s.value("other commands"), QByteArray("1"));
        }
    }

    void newEraseStartsAfresh()
    {
        SimRun sim;
        QVERIFY(sim.start(arguments({"--quiet", "--erase-ms", "0"})));
        QCOMPARE(sim.exchange("KILL"), QByteArray("*"));
        for (const char *line : {"@0F000", "01 02 03 04"})
            QCOMPARE(sim.exchange(line), QByteArray("*"));
        QCOMPARE(sim.exchange("KILL"), QByteArray("*"));
        for (const char *line : {"@0E000", "05 06"})
            QCOMPARE(sim.exchange(line), QByteArray("*"));
        QVERIFY(sim.stop());
        const auto s = sim.summary();
        QCOMPARE(s.value("address ranges"), QByteArray("0E000-0E001"));
        QCOMPARE(s.value("lines received"), QByteArray("2"));
        QCOMPARE(s.value("end line seen"), QByteArray("no"));
        QCOMPARE(s.value("erase count"), QByteArray("2"));
    }

    void lineFaults_data()
    {
        QTest::addColumn<QStringList>("fault"); // on line 3
        QTest::addColumn<QByteArray>("reply"); // to line 3; empty: silence
        QTest::addColumn<bool>("once");
        QTest::newRow("refuse") << arguments({"--refuse-line", "3"}) << QByteArray("NG*") << false;
        QTest::newRow("garbage") << arguments({"--garbage-line", "3"}) << QByteArray("\x15?#") << false;
        QTest::newRow("ignore") << arguments({"--ignore-line", "3"}) << QByteArray() << false;
        QTest::newRow("refuse once") << arguments({"--refuse-line", "3"}) << QByteArray("NG*") << true;
        QTest::newRow("ignore once") << arguments({"--ignore-line", "3"}) << QByteArray() << true;
        // Two acknowledgements in one write, and the escapes of the reply text.
        QTest::newRow("own reply") << arguments({"--line-reply=3", "\\\\\\x00**"}) << QByteArray("\\\0**", 4) << false;
        QTest::newRow("own reply once") << arguments({"--line-reply", "3", "*xy"}) << QByteArray("*xy") << true;
    }

    void lineFaults()
    {
        QFETCH(QStringList, fault);
        QFETCH(QByteArray, reply);
        QFETCH(bool, once);
        SimRun sim;
        QStringList args = arguments({"--quiet", "--erase-ms", "0"}) + fault;
        if (once)
            args << u"--fault-once"_s;
        QVERIFY(sim.start(args));

        for (int image = 1; image <= 2; ++image) {
            const bool faulty = image == 1 || !once;
            QCOMPARE(sim.exchange("KILL"), QByteArray("*"));
            QCOMPARE(sim.exchange("@0F000"), QByteArray("*"));
            QCOMPARE(sim.exchange("01 02"), QByteArray("*"));
            sim.clear();
            sim.send("03 04\n");
            if (faulty && reply.isEmpty()) {
                // Silence: what the tool's read time-out would find.
                EventWait::forMs(400);
                QCOMPARE(sim.m_received, QByteArray());
            } else if (faulty && !reply.endsWith('*')) {
                WEXEL_TRY_COMPARE_WITH_TIMEOUT(sim.m_received, reply, kReplyTimeoutMs);
                EventWait::forMs(200);
                QCOMPARE(sim.m_received, reply);
            } else {
                WEXEL_TRY_COMPARE_WITH_TIMEOUT(sim.m_received, faulty ? reply : QByteArray("*"), kReplyTimeoutMs);
            }
            // The instrument carries on with the next line.
            QCOMPARE(sim.exchange("05 06"), QByteArray("*"));
        }
        QVERIFY(sim.stop());
        // Faults change the answer, not what was received.
        QCOMPARE(sim.summary().value("address ranges"), QByteArray("0F000-0F005"));
    }

    void eraseFaults_data()
    {
        QTest::addColumn<QStringList>("fault");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("erases"); // the instrument still starts an image
        QTest::newRow("refuse") << arguments({"--erase", "refuse"}) << QByteArray("NG*") << false;
        QTest::newRow("ignore") << arguments({"--erase", "ignore"}) << QByteArray() << false;
        QTest::newRow("own reply") << arguments({"--erase-reply", "x\\x15*"}) << QByteArray("x\x15*") << true;
    }

    void eraseFaults()
    {
        QFETCH(QStringList, fault);
        QFETCH(QByteArray, reply);
        QFETCH(bool, erases);
        SimRun sim;
        QVERIFY(sim.start(arguments({"--quiet", "--erase-ms", "50"}) + fault));
        sim.send("KILL\n");
        if (reply.isEmpty()) {
            EventWait::forMs(500);
            QCOMPARE(sim.m_received, QByteArray());
        } else {
            WEXEL_TRY_COMPARE_WITH_TIMEOUT(sim.m_received, reply, kReplyTimeoutMs);
        }
        // Without an image lines are not taken.
        QCOMPARE(sim.exchange("@0F000"), QByteArray(erases ? "*" : "NG*"));
        QVERIFY(sim.stop());
        QCOMPARE(sim.summary().value("erase count"), QByteArray(erases ? "1" : "0"));
        QCOMPARE(sim.summary().value("lines received"), QByteArray(erases ? "1" : "0"));
    }

    void hangUpAfterLine()
    {
        SimRun sim;
        QVERIFY(sim.start(arguments({"--quiet", "--erase-ms", "0", "--hangup-after-line", "2"})));
        QCOMPARE(sim.exchange("KILL"), QByteArray("*"));
        QCOMPARE(sim.exchange("@0F000"), QByteArray("*"));
        // Line 2 is still acknowledged, then the device goes away.
        QCOMPARE(sim.exchange("01 02"), QByteArray("*"));
        WEXEL_TRY_VERIFY_WITH_TIMEOUT(sim.m_hungUp, kReplyTimeoutMs);
        QVERIFY(sim.waitForExit());
        QCOMPARE(sim.m_process.exitCode(), 0);
        QCOMPARE(sim.summary().value("exit reason"), QByteArray("hangup"));
        QCOMPARE(sim.summary().value("lines received"), QByteArray("2"));
    }

    void exitAfterEnd()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(u"ttyWEXEL"_s);
        QFile stale(link);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.close();

        SimRun sim;
        QVERIFY(sim.start(arguments({"--quiet", "--erase-ms", "0", "--exit-after-end", "--link"}) << link));
        // The link replaced the stale file and leads to the device.
        QCOMPARE(QFileInfo(link).symLinkTarget(), QString::fromLatin1(sim.m_devicePath));
        QCOMPARE(sim.exchange("KILL"), QByteArray("*"));
        QCOMPARE(sim.exchange("q"), QByteArray("OK*"));
        QVERIFY(sim.waitForExit());
        QCOMPARE(sim.summary().value("exit reason"), QByteArray("end"));
        QCOMPARE(sim.summary().value("end line seen"), QByteArray("yes"));
        QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());
    }

    void splitAcks()
    {
        SimRun sim;
        QVERIFY(sim.start(arguments({"--quiet", "--split-acks", "--arc-reply", "ABCD*"})));
        QCOMPARE(sim.exchange("ARC*"), QByteArray("ABCD*"));
        // Without splitting the five bytes come in one write and so one read.
        QVERIFY2(sim.m_chunks.size() >= 2, sim.m_chunks.join('|').constData());
        QVERIFY(sim.stop());
    }

    void garbageInput()
    {
        SimRun sim;
        QVERIFY(sim.start(arguments({"--quiet", "--erase-ms", "0"})));
        QCOMPARE(sim.exchange(QByteArray("\0\xff\x80 *", 5)), QByteArray("NG*"));
        QCOMPARE(sim.exchange("KILL"), QByteArray("*"));
        QCOMPARE(sim.exchange(QByteArray("\0\xff\x15\r", 4)), QByteArray("*"));
        // Longer than the simulator keeps of a line.
        QCOMPARE(sim.exchange(QByteArray(100000, 'A')), QByteArray("*"));
        QCOMPARE(sim.exchange("ARC*"), QByteArray("WEXEL-SIM 1.0*"));
        QVERIFY(sim.stop());
        QCOMPARE(sim.summary().value("malformed lines"), QByteArray("2"));
        QCOMPARE(sim.summary().value("other commands"), QByteArray("1"));
    }

    void pacing_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("lines");
        QTest::newRow("115200 baud") << arguments({"--baud", "115200"}) << 200;
        QTest::newRow("ack delay") << arguments({"--ack-delay-ms", "20"}) << 20;
    }

    // Paced, every line is still taken and answered; how long it takes is
    // the pacer's (below) and bench/simtimes' matter.
    void pacing()
    {
        QFETCH(QStringList, args);
        QFETCH(int, lines);
        SimRun sim;
        QVERIFY(sim.start(args + arguments({"--quiet", "--erase-ms", "0"})));
        QCOMPARE(sim.exchange("KILL"), QByteArray("*"));

        const QByteArray line = "00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF\n";
        QByteArray all;
        for (int i = 0; i < lines; ++i)
            all += line;
        sim.clear();
        sim.send(all);
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(int(sim.m_received.count('*')), lines, 30000);
        QVERIFY(sim.stop());
        QCOMPARE(sim.summary().value("data bytes"), QByteArray::number(lines * 16));
    }

    // The wire at 115200 baud, 10 bits a byte: 200 lines of 48 bytes come
    // off it no sooner than their wire time, and each answer follows its
    // line no sooner than its own byte's time.
    void pacerKeepsTheWireTime()
    {
        using namespace std::chrono;
        constexpr std::size_t kLineBytes = 48;
        constexpr std::size_t kLines = 200;
        Pacer pacer(115200, false);
        const auto byteTime = duration_cast<nanoseconds>(pacer.byteTime());
        QVERIFY(byteTime * 115200 >= 10s);
        QVERIFY(byteTime * 115200 < 10s + 115200ns);
        const Pacer::Clock::time_point t = Pacer::Clock::now();
        pacer.received(t, kLines * kLineBytes);
        QVERIFY(pacer.receivedThrough() == t + pacer.byteTime() * int(kLines * kLineBytes));
        for (std::size_t i = 0; i < kLines; ++i)
            pacer.queueReply(pacer.byteArrival(i * kLineBytes + kLineBytes - 1), {}, "*");
        std::optional<Pacer::Clock::time_point> last;
        int stars = 0;
        while (const std::optional<Pacer::Clock::time_point> due = pacer.nextDue()) {
            last = due;
            stars += int(pacer.takeDue(*due).bytes.size());
        }
        QCOMPARE(stars, int(kLines));
        QVERIFY(*last >= pacer.receivedThrough() + pacer.byteTime());
    }

    // An adapter's latency timer of 50 ms: answers leave on its ticks only,
    // at the first tick after their byte came off the wire, all ticks a
    // whole number of periods apart.
    void pacerHoldsRepliesToTheLatencyTimer()
    {
        using namespace std::chrono;
        constexpr milliseconds kLatency{50};
        Pacer pacer(115200, false, kLatency);
        const Pacer::Clock::time_point t = Pacer::Clock::now() + 1ms;
        std::optional<Pacer::Clock::time_point> firstTick;
        for (int i = 0; i < 9; ++i) {
            // Sent at different points of the period: 0, 13, 26 ... ms into it.
            const Pacer::Clock::time_point sent = t + milliseconds(63 * i);
            pacer.received(sent, 48);
            const Pacer::Clock::time_point arrived = pacer.byteArrival(47);
            pacer.queueReply(arrived, {}, "*");
            const std::optional<Pacer::Clock::time_point> due = pacer.nextDue();
            QVERIFY(due);
            const Pacer::Clock::time_point offWire = arrived + pacer.byteTime();
            QVERIFY(*due >= offWire);
            QVERIFY(*due < offWire + kLatency);
            if (!firstTick)
                firstTick = due;
            QCOMPARE((*due - *firstTick) % kLatency, Pacer::Clock::duration::zero());
            QCOMPARE(pacer.takeDue(*due - 1ns).bytes, std::string());
            QCOMPARE(pacer.takeDue(*due).bytes, std::string("*"));
        }
    }

    void portReopenedAndIdle()
    {
        SimRun sim;
        QVERIFY(sim.start(arguments({"--quiet"})));
        QCOMPARE(sim.exchange("ARC*"), QByteArray("WEXEL-SIM 1.0*"));
        // The tool closes its port; the simulator must not end: it answers
        // when the port is opened again. (That it idles meanwhile without
        // spinning is a figure of bench/simtimes.)
        sim.closeDevice();
        QVERIFY(sim.openDevice());
        QCOMPARE(sim.exchange("ARC*"), QByteArray("WEXEL-SIM 1.0*"));
        QVERIFY(sim.m_process.state() == QProcess::Running);
        QVERIFY(sim.stop());
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("unknown option") << arguments({"--bogus"}) << 2;
        QTest::newRow("baud zero") << arguments({"--baud", "0"}) << 2;
        QTest::newRow("erase word") << arguments({"--erase", "maybe"}) << 2;
        QTest::newRow("line not a number") << arguments({"--refuse-line", "x"}) << 2;
        QTest::newRow("line zero") << arguments({"--ignore-line", "0"}) << 2;
        QTest::newRow("value missing") << arguments({"--erase-ms"}) << 2;
        QTest::newRow("line reply without text") << arguments({"--line-reply", "3"}) << 2;
        QTest::newRow("line reply without line") << arguments({"--line-reply", "*x"}) << 2;
        QTest::newRow("flag with value") << arguments({"--json=yes"}) << 2;
        QTest::newRow("help") << arguments({"--help"}) << 0;
    }

    void commandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QProcess process;
        process.start(simulatorPath(), args);
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, kStartTimeoutMs);
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), exitCode);
        if (exitCode != 0)
            return;
        // Others script against these: every option stays documented.
        const QByteArray help = process.readAllStandardOutput();
        for (const char *option : {"--arc-reply",   "--end-reply",   "--erase-ms",       "--erase ",
                                   "--refuse-line", "--ignore-line", "--garbage-line",   "--hangup-after-line",
                                   "--fault-once",  "--split-acks",  "--baud",           "--ack-delay-ms",
                                   "--latency-ms",  "--link",        "--exit-after-end", "--json",
                                   "--quiet",       "--log",         "--help",           "--erase-reply",
                                   "--line-reply"})
            QVERIFY2(help.contains(option), option);
    }
};

WEXEL_REGISTER_TEST(SimulatorTest);

#include "tst_simulator.moc"
