#include "cli/clioptions.h"

using namespace Qt::Literals::StringLiterals;

namespace {

// A day: longer waits are typing mistakes, not test set-ups.
constexpr qint64 kMaxMs = 24 * 60 * 60 * 1000;
// The instruments' tools counted erase ticks in a signed 16-bit number.
constexpr qint64 kMaxEraseTicks = 32767;

} // namespace

CliOptions::CliOptions()
    : m_help({u"h"_s, u"help"_s}, u"Show this help, the exit codes included, and exit."_s)
    , m_version(u"version"_s, u"Show the program's version and exit."_s)
    , m_port(u"port"_s,
             u"The port, written as in the port box of the desktop program: \"COM 3\", \"com7\" "
             "(the number after the first COM; COM n is /dev/ttyS(n-1) on Linux) or a device path "
             "such as /dev/ttyUSB0. Default: \"COM 1\"."_s,
             u"TEXT"_s, QString::fromLatin1(kDefaultPort))
    , m_testLink(u"test-link"_s,
                 u"Run the link test instead of an update: send \"ARC*\" and print the instrument's reply "
                 "on standard output. Ports above COM 255 are refused."_s)
    , m_listPorts(u"list-ports"_s,
                  u"Print the port texts COM 1 to COM 10 and the serial devices found, with adapter name, "
                  "maker, serial number and USB ids where known."_s)
    , m_quiet({u"q"_s, u"quiet"_s}, u"No progress bars on standard error."_s)
    , m_json(u"json"_s,
             u"Write one JSON object per line per event on standard output (see README.md)."_s)
    , m_verbose({u"v"_s, u"verbose"_s},
                u"Also say on standard error what came of the request for low latency: \"low latency: set\", "
                "\"not a USB adapter\", \"refused: REASON\" or \"off\"."_s)
    , m_noLowLatency(u"no-low-latency"_s,
                     u"Leave a USB serial adapter's latency as it is. By default its driver is asked to pass "
                     "each answer on at once (on Linux: ASYNC_LOW_LATENCY and latency_timer 1 ms) and the old "
                     "setting is given back at the end."_s)
    , m_eraseTickMs(u"erase-tick-ms"_s,
                    u"For testing and simulators: the erase wait ticks every N ms (default 50)."_s, u"N"_s)
    , m_eraseTicks(u"erase-ticks"_s,
                   u"For testing and simulators: the erase is acknowledged on tick N (default 100)."_s,
                   u"N"_s)
    , m_handOverMs(u"hand-over-ms"_s,
                   u"For testing and simulators: N ms between the acknowledged erase and the first line "
                   "(default 1000)."_s,
                   u"N"_s)
    , m_readTimeoutMs(u"read-timeout-ms"_s,
                      u"For testing and simulators: wait N ms for each answer of the instrument "
                      "(default 3000)."_s,
                      u"N"_s)
{
    m_parser.setApplicationDescription(
        u"Replaces the firmware of a Wexel test instrument over a serial port: erase, wait, then "
        "send FILE line by line, each line acknowledged. The same update as the desktop program's "
        "\"Upload firmware\" button, without a window."_s);
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    m_parser.addOptions({m_help, m_version, m_port, m_testLink, m_listPorts, m_quiet, m_json, m_verbose,
                         m_noLowLatency, m_eraseTickMs, m_eraseTicks, m_handOverMs, m_readTimeoutMs});
    m_parser.addPositionalArgument(u"FILE"_s,
                                   u"The firmware image: a text file of address lines (@F000), data lines "
                                   "(31 40 00 24) and the end line q."_s);
}

QString CliOptions::helpText() const
{
    QString text = m_parser.helpText();
    // The parser names the program by the path it was started with.
    const qsizetype firstLineEnd = text.indexOf(u'\n');
    const QString usage = text.left(firstLineEnd);
    if (const qsizetype options = usage.indexOf(u" [options]"_s); usage.startsWith(u"Usage: "_s) && options > 0)
        text.replace(0, options, u"Usage: wexel-update-cli"_s);
    text += uR"(
Results: the outcome ("Update OK" or the error message) and its cause go to
standard error; standard output carries only data: the link test's reply, the
port list and, with --json, the events.

Exit status:
  0    success: "Update OK", the link test got a reply, or the ports were listed
  2    usage error: unknown option, missing FILE, bad number
  3    refused before anything was sent (no file, empty port text, unreadable or
       empty file, port missing, busy or denied): the instrument is untouched
  4    the erase was refused or not answered: the instrument may be erased
  5    a line was refused or the link failed while writing: the instrument is
       erased, run the update again
  6    the link test failed, "COM PORT > 255" included
  130  interrupted by Ctrl-C (SIGINT) or SIGTERM
)"_s;
    return text;
}

bool CliOptions::readNumber(const QCommandLineOption &option, qint64 min, qint64 max, qint64 *value)
{
    if (!m_parser.isSet(option))
        return true;
    bool ok = false;
    const QString text = m_parser.value(option);
    const qint64 n = text.trimmed().toLongLong(&ok);
    if (!ok || n < min || n > max) {
        m_error = u"--%1: not a number from %2 to %3: %4"_s.arg(option.names().constFirst())
                      .arg(min)
                      .arg(max)
                      .arg(text);
        return false;
    }
    *value = n;
    return true;
}

bool CliOptions::parse(const QStringList &arguments)
{
    m_error.clear();
    if (!m_parser.parse(arguments)) {
        m_error = m_parser.errorText();
        return false;
    }
    if (m_parser.isSet(m_help)) {
        mode = Mode::Help;
        return true;
    }
    if (m_parser.isSet(m_version)) {
        mode = Mode::Version;
        return true;
    }

    portText = m_parser.value(m_port);
    quiet = m_parser.isSet(m_quiet);
    json = m_parser.isSet(m_json);
    verbose = m_parser.isSet(m_verbose);
    lowLatency = !m_parser.isSet(m_noLowLatency);

    qint64 tickMs = timings.eraseTickInterval.count();
    qint64 ticks = timings.eraseTickCount;
    qint64 handOverMs = timings.handOverDelay.count();
    qint64 readMs = readTimeout.count();
    if (!readNumber(m_eraseTickMs, 0, kMaxMs, &tickMs) || !readNumber(m_eraseTicks, 1, kMaxEraseTicks, &ticks)
        || !readNumber(m_handOverMs, 0, kMaxMs, &handOverMs) || !readNumber(m_readTimeoutMs, 1, kMaxMs, &readMs))
        return false;
    timings.eraseTickInterval = std::chrono::milliseconds(tickMs);
    timings.eraseTickCount = int(ticks);
    timings.handOverDelay = std::chrono::milliseconds(handOverMs);
    readTimeout = std::chrono::milliseconds(readMs);

    const QStringList positional = m_parser.positionalArguments();
    const bool testLink = m_parser.isSet(m_testLink);
    const bool listPorts = m_parser.isSet(m_listPorts);
    if (testLink && listPorts) {
        m_error = u"--test-link and --list-ports cannot be combined"_s;
        return false;
    }
    if (testLink || listPorts) {
        if (!positional.isEmpty()) {
            m_error = u"%1 takes no FILE: %2"_s.arg(testLink ? u"--test-link"_s : u"--list-ports"_s,
                                                   positional.constFirst());
            return false;
        }
        mode = testLink ? Mode::TestLink : Mode::ListPorts;
        return true;
    }
    if (positional.isEmpty()) {
        m_error = u"no firmware FILE given"_s;
        return false;
    }
    if (positional.size() > 1) {
        m_error = u"one firmware FILE only, not also %1"_s.arg(positional.at(1));
        return false;
    }
    mode = Mode::Update;
    fileName = positional.constFirst();
    return true;
}
