#include "desktop/shelloptions.h"

#include "core/common/localpath.h"
#include "desktop/widgets/earlyanswer.h"

#include <cstdio>
#include <cstdlib>

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
}

std::optional<int> ShellOptions::answerBeforeStart(int argc, const char *const *argv)
{
    if (const std::optional<int> status = ::answerBeforeStart(m_parser, kProgram, argc, argv))
        return status;
    if (m_parser.isSet(u"help-all"_s))
        return std::nullopt;
    if (!check()) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram.data(), qPrintable(m_error), kProgram.data());
        return EXIT_FAILURE;
    }
    return std::nullopt;
}

void ShellOptions::process(int argc, const char *const *argv)
{
    m_parser.process(LocalPath::arguments(argc, argv));
    // Checked before QApplication; the arguments are the same bar Qt's own.
    if (!check()) {
        std::fprintf(stderr, "%s: %s\n", kProgram.data(), qPrintable(m_error));
        std::exit(EXIT_FAILURE);
    }
}

bool ShellOptions::check()
{
    m_waits = {};
    return m_waitOptions.read(m_parser, &m_waits, &m_error);
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
