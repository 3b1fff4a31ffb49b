#pragma once

// What the tests of the command-line front end share: the two programs as a
// production line runs them, the simulated instrument's exit summary, and the
// JSON events of the front end.
#include "eventwait.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <cstdint>

namespace CliTestSupport {

// Generous: the machine is shared, and a hung program shows as a failure
// here rather than as a CTest time-out.
constexpr int kProcessTimeoutMs = 20000;

// The update's timings shortened for the command line, so that an update
// takes milliseconds: ten erase ticks of 2 ms and a 10 ms hand-over. The
// read time-out is what a silent instrument costs each test.
inline QStringList fastCliTimings(int readTimeoutMs)
{
    return {QStringLiteral("--erase-tick-ms"),   QStringLiteral("2"),
            QStringLiteral("--erase-ticks"),     QStringLiteral("10"),
            QStringLiteral("--hand-over-ms"),    QStringLiteral("10"),
            QStringLiteral("--read-timeout-ms"), QString::number(readTimeoutMs)};
}

inline QString programPath(const QString &relative)
{
    const QString buildDir = qEnvironmentVariable("WEXEL_BUILD_DIR");
    if (!buildDir.isEmpty())
        return QDir(buildDir).filePath(relative);
    // Run by hand: the test binary sits in <build>/tests.
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../") + relative);
}

inline QString cliPath()
{
    return programPath(QStringLiteral("cli/wexel-update-cli"));
}

inline QString simulatorPath()
{
    return programPath(QStringLiteral("sim/wexel-instrument-sim"));
}

struct Result
{
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QByteArray out;
    QByteArray err;
};

// The simulated instrument, started with --json so that its exit summary
// can be read as an object.
class Simulator
{
public:
    ~Simulator()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            (void)EventWait::until([this] { return m_process.state() == QProcess::NotRunning; }, kProcessTimeoutMs);
        }
    }

    enum class Log { No, Commands };

    // Log::Commands: the simulator's log of what it received is kept, for
    // received() to wait on.
    bool start(const QStringList &faults = {}, Log log = Log::No)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                         [this] { m_out += m_process.readAllStandardOutput(); });
        QStringList args{QStringLiteral("--erase-ms"), QStringLiteral("0"), QStringLiteral("--json"),
                         QStringLiteral("--quiet")};
        if (log == Log::Commands) {
            args << QStringLiteral("--log");
            QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process,
                             [this] { m_log += m_process.readAllStandardError(); });
        } else {
            m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        }
        m_process.start(simulatorPath(), args + faults);
        if (!EventWait::until([this] { return m_out.contains('\n') || m_process.state() == QProcess::NotRunning; },
                              kProcessTimeoutMs))
            return false;
        m_device = QString::fromLocal8Bit(m_out.left(m_out.indexOf('\n')));
        return m_device.startsWith(u'/');
    }

    QString device() const { return m_device; }

    // How many commands and lines it has received so far (started with
    // Log::Commands).
    int received() const { return int(m_log.count("rx: ")); }

    enum class Stop { Terminate, AwaitExit };

    // Stops the simulator (SIGTERM), or waits for it to end on its own
    // (--exit-after-end, a hang-up), and reads its summary of what it received.
    QJsonObject summary(Stop stop = Stop::Terminate)
    {
        if (stop == Stop::Terminate && m_process.state() != QProcess::NotRunning)
            m_process.terminate();
        if (!EventWait::until([this] { return m_process.state() == QProcess::NotRunning; }, kProcessTimeoutMs))
            return {};
        m_out += m_process.readAllStandardOutput();
        const QByteArray json = m_out.mid(m_out.indexOf('\n') + 1).trimmed();
        return QJsonDocument::fromJson(json).object();
    }

private:
    QProcess m_process;
    QByteArray m_out;
    QByteArray m_log;
    QString m_device;
};

// A simulated instrument behind an adapter's stable name, in a directory
// standing in for /dev/serial/by-id.
struct StableLinkedSimulator
{
    QTemporaryDir byId;
    Simulator sim;
    QString stable; // the link's path, once started

    bool start()
    {
        if (!byId.isValid() || !sim.start())
            return false;
        stable = byId.filePath(QStringLiteral("usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0"));
        return QFile::link(sim.device(), stable);
    }
};

// Waits for a started process to end (killed past the time-out) and takes
// what it said.
inline bool collect(QProcess &process, Result *result)
{
    if (!EventWait::until([&] { return process.state() == QProcess::NotRunning; }, kProcessTimeoutMs)) {
        process.kill();
        (void)EventWait::until([&] { return process.state() == QProcess::NotRunning; }, kProcessTimeoutMs);
        return false;
    }
    result->exitCode = process.exitCode();
    result->exitStatus = process.exitStatus();
    result->out = process.readAllStandardOutput();
    result->err = process.readAllStandardError();
    return true;
}

inline bool runCli(const QStringList &args, Result *result, const QString &workingDirectory = {})
{
    QProcess process;
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(cliPath(), args);
    return collect(process, result);
}

// The command line with arguments as bytes, names that are not UTF-8
// included, which QProcess cannot pass: a shell script holds them.
inline bool runCliBytes(const QByteArrayList &args, Result *result, const QString &workingDirectory)
{
    const auto quoted = [](QByteArray arg) { return "'" + arg.replace("'", "'\\''") + "'"; };
    QByteArray script = "exec " + quoted(QFile::encodeName(cliPath()));
    for (const QByteArray &arg : args)
        script += ' ' + quoted(arg);
    const QString scriptPath = QDir(workingDirectory).filePath(QStringLiteral("run-cli.sh"));
    QFile file(scriptPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(script + '\n') != script.size() + 1)
        return false;
    file.close();
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral("/bin/sh"), {scriptPath});
    return collect(process, result);
}

// Every line of standard output as a JSON object; false if one is not.
inline bool parseEvents(const QByteArray &out, QList<QJsonObject> *events, QByteArray *bad)
{
    for (const QByteArray &line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            *bad = line;
            return false;
        }
        events->append(doc.object());
    }
    return true;
}

inline QList<QJsonObject> eventsNamed(const QList<QJsonObject> &events, const QString &name)
{
    QList<QJsonObject> found;
    for (const QJsonObject &e : events) {
        if (e.value(QStringLiteral("event")).toString() == name)
            found += e;
    }
    return found;
}

// The simulator's way of writing a checksum: 8 hex digits, upper case.
inline QString checksumText(std::uint32_t checksum)
{
    return QString::number(checksum, 16).toUpper().rightJustified(8, u'0');
}

} // namespace CliTestSupport
