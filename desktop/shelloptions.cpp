#include "desktop/shelloptions.h"

#include <QStringList>

#include <cstdio>
#include <cstdlib>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr auto kProgram = "wexel-update"_L1;

// QApplication takes Qt's own options out of the arguments (-platform,
// -style, -reverse, -display ...). All are written as one dash and a word,
// which our parser would read as a row of unknown one-letter options.
bool mayBeQtOption(const QString &argument)
{
    return argument.size() > 2 && argument.startsWith(u'-') && argument.at(1) != u'-';
}

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
}

std::optional<int> ShellOptions::answerBeforeStart(int argc, const char *const *argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments += QString::fromLocal8Bit(argv[i]);
    if (!m_parser.parse(arguments)) {
        // A mistake that could be one of Qt's options is left to QApplication
        // and process(), which then see the arguments as they always did.
        QStringList withoutQtOptions = arguments;
        withoutQtOptions.removeIf(mayBeQtOption);
        if (m_parser.parse(withoutQtOptions))
            return std::nullopt;
        std::fprintf(stderr, "%s: %s\n", kProgram.data(), qPrintable(m_parser.errorText()));
        return EXIT_FAILURE;
    }
    // The help with Qt's options lists what QApplication takes, so it needs one.
    if (m_parser.isSet(u"help-all"_s))
        return std::nullopt;
    if (m_parser.isSet(m_help)) {
        QString text = m_parser.helpText();
        // The parser names the program by the path it was started with.
        const qsizetype usageEnd = text.indexOf(u" [options]"_s);
        if (text.startsWith(u"Usage: "_s) && usageEnd > 0)
            text.replace(0, usageEnd, u"Usage: "_s + kProgram);
        std::fputs(qPrintable(text), stdout);
        return EXIT_SUCCESS;
    }
    if (m_parser.isSet(m_version)) {
        std::printf("%s %s\n", kProgram.data(), WEXEL_VERSION);
        return EXIT_SUCCESS;
    }
    return std::nullopt;
}

void ShellOptions::process(const QCoreApplication &app)
{
    m_parser.process(app);
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
