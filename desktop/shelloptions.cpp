#include "desktop/shelloptions.h"

#include "desktop/widgets/earlyanswer.h"

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr auto kProgram = "wexel-update"_L1;

} // namespace

ShellOptions::ShellOptions()
    : m_help(m_parser.addHelpOption())
    , m_version(m_parser.addVersionOption())
    , m_port(u"port"_s, u"Port text for the port box (\"COM 3\", /dev/ttyUSB0)."_s, u"TEXT"_s)
    , m_file(u"file"_s, u"Firmware file to choose at start."_s, u"PATH"_s)
    , m_record(u"record"_s,
               u"Append one JSON line per update to FILE (port, device, adapter, image and its SHA-256, "
               "outcome, times). An update whose record file cannot be opened is not started."_s,
               u"FILE"_s)
{
    m_parser.setApplicationDescription(u"Replaces the firmware of a test instrument over a serial port."_s);
    m_parser.addOption(m_port);
    m_parser.addOption(m_file);
    m_parser.addOption(m_record);
    m_parser.addOptions(m_waitOptions.options());
    m_parser.addOptions(m_historyOptions.options());
}

std::optional<int> ShellOptions::answerBeforeStart(int argc, const char *const *argv)
{
    if (const std::optional<int> status = ::answerBeforeStart(m_parser, kProgram, argc, argv))
        return status;
    return refuseBadOptions(
        m_parser, kProgram, [this] { return check(); }, m_error);
}

void ShellOptions::process(int argc, const char *const *argv)
{
    processOrExit(
        m_parser, kProgram, argc, argv, [this] { return check(); }, m_error);
}

bool ShellOptions::check()
{
    m_waits = {};
    m_history = {};
    return m_waitOptions.read(m_parser, &m_waits, &m_error) && m_historyOptions.read(m_parser, &m_history, &m_error);
}

std::optional<QString> ShellOptions::port() const
{
    return m_parser.isSet(m_port) ? std::optional(m_parser.value(m_port)) : std::nullopt;
}

std::optional<QString> ShellOptions::file() const
{
    return m_parser.isSet(m_file) ? std::optional(m_parser.value(m_file)) : std::nullopt;
}

std::optional<QString> ShellOptions::record() const
{
    return m_parser.isSet(m_record) ? std::optional(m_parser.value(m_record)) : std::nullopt;
}
