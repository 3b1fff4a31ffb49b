#include "cli/clioptions.h"

#include "cli/exitcode.h"

using namespace Qt::Literals::StringLiterals;

CliOptions::CliOptions()
    : m_help({u"h"_s, u"help"_s}, u"Show this help, the exit codes included, and exit."_s)
    , m_version(u"version"_s, u"Show the program's version and exit."_s)
    , m_port(u"port"_s,
             u"The port, written as in the port box of the desktop program: \"COM 3\", \"com7\" "
             "(the number after the first COM; COM n is /dev/ttyS(n-1) on Linux) or a device path "
             "such as /dev/ttyUSB0. An update needs it; give it several times to update several "
             "instruments at once. The link test takes one, \"COM 1\" when none is given."_s,
             u"TEXT"_s)
    , m_testLink(u"test-link"_s,
                 u"Run the link test instead of an update: send \"ARC*\" and print the instrument's reply "
                 "on standard output. Ports above COM 255 are refused."_s)
    , m_check(u"check"_s,
              u"Open no port: read and check FILE as an update would, and print what it would send: "
              "its format (text, Intel HEX or Motorola S-record, told by its content), lines, address "
              "lines, data bytes, the address map, end line, the SHA-256 of the file and of the lines "
              "sent. Exit 0 when it would be sent, 3 with the reason when it would be refused."_s,
              u"FILE"_s)
    , m_output(u"output"_s,
               u"With --check: write the lines an update would send to OUT, a text image that "
               "updates an instrument as FILE does (written whole or not at all; never over FILE)."_s,
               u"OUT"_s)
    , m_record(u"record"_s,
               u"Append one JSON line per instrument updated to FILE: port, device, adapter, image and "
               "its SHA-256, lines, outcome, times, host and version. A FILE that cannot be opened "
               "stops the update before anything is sent."_s,
               u"FILE"_s)
    , m_listPorts(u"list-ports"_s,
                  u"Print the port texts COM 1 to COM 10 and the serial devices found, with adapter name, "
                  "maker, serial number and USB ids where known."_s)
    , m_quiet({u"q"_s, u"quiet"_s}, u"No progress bars on standard error."_s)
    , m_json(u"json"_s, u"Write one JSON object per line per event on standard output (see README.md)."_s)
    , m_verbose({u"v"_s, u"verbose"_s},
                u"Also say on standard error what came of the request for low latency: \"low latency: set\", "
                "\"not a USB adapter\", \"refused: REASON\" or \"off\"."_s)
    , m_noLowLatency(u"no-low-latency"_s,
                     u"Leave a USB serial adapter's latency as it is. By default its driver is asked to pass "
                     "each answer on at once (on Linux: ASYNC_LOW_LATENCY and latency_timer 1 ms) and the old "
                     "setting is given back at the end."_s)
    , m_unitSerial(u"unit-serial"_s,
                   u"The serial of the unit on the --port given in the same place: once per --port, in their "
                   "order, 1 to 64 printable characters. Kept in the unit history with each attempt."_s,
                   u"S"_s)
    , m_lane(
          u"Update units as they arrive, on every --port, until Ctrl-C: wait for a unit (its port exists, "
          "opens and answers the link test \"ARC*\", asked at most once a second), update it, report "
          "PASS or FAIL, wait until it is gone (its port vanishes or the link test stays unanswered "
          "for --gone-after-ms), then wait for the next. A unit is never updated twice in a row "
          "without having gone."_s,
          u"Update a unit again, from the erase, up to N times when an attempt failed in a way another "
          "can mend: no answer, a refused or unanswered line, a garbled answer, a hang-up when the port "
          "is back within 3 s as the same USB adapter (its serial number). A refused image, a missing or busy port, a refused erase or Ctrl-C are never "
          "retried. Each attempt is a record of its own (attempt, of). Default 0."_s)
{
    m_parser.setApplicationDescription(
        u"Replaces the firmware of a Wexel test instrument over a serial port: erase, wait, then "
        "send FILE line by line, each line acknowledged. The same update as the desktop program's "
        "\"Upload firmware\" button, without a window."_s);
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    m_parser.addOptions({m_help, m_version, m_port, m_testLink, m_listPorts, m_check, m_output, m_record, m_quiet,
                         m_json, m_verbose, m_noLowLatency});
    m_parser.addOptions(m_lane.options());
    m_parser.addOptions(QList<QCommandLineOption>{m_unitSerial} + m_history.options());
    m_parser.addPositionalArgument(u"FILE"_s,
                                   u"The firmware image: a text file of address lines (@F000), data lines "
                                   "(31 40 00 24) and the end line q, or Intel HEX, or Motorola "
                                   "S-records."_s);
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
)"_s;
    text += ExitCode::helpTable();
    return text;
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

    portTexts = m_parser.values(m_port);
    recordFile = m_parser.value(m_record);
    quiet = m_parser.isSet(m_quiet);
    json = m_parser.isSet(m_json);
    verbose = m_parser.isSet(m_verbose);
    lowLatency = !m_parser.isSet(m_noLowLatency);

    if (!m_lane.read(m_parser, &lane, &m_error) || !m_history.read(m_parser, &history, &m_error))
        return false;
    unitSerials = m_parser.values(m_unitSerial);

    const QStringList positional = m_parser.positionalArguments();
    const bool testLink = m_parser.isSet(m_testLink);
    const bool listPorts = m_parser.isSet(m_listPorts);
    const bool check = m_parser.isSet(m_check);
    if (int(testLink) + int(listPorts) + int(check) > 1) {
        m_error = u"--test-link, --list-ports and --check cannot be combined"_s;
        return false;
    }
    const QString modeOption = testLink ? u"--test-link"_s : listPorts ? u"--list-ports"_s : u"--check"_s;
    if ((testLink || listPorts || check) && !positional.isEmpty()) {
        m_error = u"%1 takes no FILE: %2"_s.arg(modeOption, positional.constFirst());
        return false;
    }
    if ((testLink || listPorts || check) && m_lane.updatesAsked(m_parser)) {
        m_error = u"%1 updates nothing: --watch and --retries do not go with it"_s.arg(modeOption);
        return false;
    }
    if ((testLink || listPorts || check) && (m_history.given(m_parser) || !unitSerials.isEmpty())) {
        m_error = u"%1 updates nothing: the history's options and --unit-serial do not go with it"_s.arg(modeOption);
        return false;
    }
    if ((listPorts || check) && (!portTexts.isEmpty() || !recordFile.isEmpty())) {
        m_error = u"%1 opens no port: --port and --record do not go with it"_s.arg(modeOption);
        return false;
    }
    if (listPorts) {
        mode = Mode::ListPorts;
        return true;
    }
    if (m_parser.isSet(m_output) && !check) {
        m_error = u"--output goes with --check only"_s;
        return false;
    }
    if (check) {
        mode = Mode::Check;
        fileName = m_parser.value(m_check);
        outputFile = m_parser.value(m_output);
        // An empty name would write nothing and say nothing.
        if (m_parser.isSet(m_output) && outputFile.isEmpty()) {
            m_error = u"--output needs a file name"_s;
            return false;
        }
        return true;
    }
    if (testLink) {
        // The link test keeps the port box's text at start-up.
        if (portTexts.size() > 1) {
            m_error = u"--test-link takes one --port"_s;
            return false;
        }
        if (!recordFile.isEmpty()) {
            m_error = u"--test-link updates nothing to record"_s;
            return false;
        }
        if (portTexts.isEmpty())
            portTexts = QStringList{QString::fromLatin1(kLinkTestPort)};
        mode = Mode::TestLink;
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
    if (portTexts.isEmpty()) {
        // Erasing whatever answers on COM 1 is no default: the wrong port
        // may hold another instrument.
        m_error = u"an update needs --port: the serial ports of this machine are listed by --list-ports"_s;
        return false;
    }
    if (!unitSerials.isEmpty()) {
        // A serial names one unit; watching, one port sees many.
        if (lane.watch) {
            m_error = u"--unit-serial names one unit per port; --watch updates many"_s;
            return false;
        }
        if (unitSerials.size() != portTexts.size()) {
            m_error
                = u"%1 --port and %2 --unit-serial: give one serial per port, in the same order"_s.arg(portTexts.size())
                      .arg(unitSerials.size());
            return false;
        }
        for (const QString &serial : std::as_const(unitSerials)) {
            if (!HistoryOptions::checkText(u"--unit-serial"_s, serial, &m_error))
                return false;
        }
    }
    mode = Mode::Update;
    fileName = positional.constFirst();
    return true;
}
