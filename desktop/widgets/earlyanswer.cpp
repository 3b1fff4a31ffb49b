#include "desktop/widgets/earlyanswer.h"

#include "core/common/localpath.h"

#include <QStringList>

#include <cstdio>
#include <cstdlib>

using namespace Qt::Literals::StringLiterals;

namespace {

// QApplication takes Qt's own options out of the arguments (-platform,
// -style, -reverse, -display ...). All are written as one dash and a word,
// which our parser would read as a row of unknown one-letter options.
bool mayBeQtOption(const QString &argument)
{
    return argument.size() > 2 && argument.startsWith(u'-') && argument.at(1) != u'-';
}

} // namespace

std::optional<int> answerBeforeStart(QCommandLineParser &parser, QLatin1StringView program, int argc,
                                     const char *const *argv, const QString &helpTail)
{
    QStringList arguments = LocalPath::arguments(argc, argv);
    if (!parser.parse(arguments)) {
        QStringList withoutQtOptions = arguments;
        withoutQtOptions.removeIf(mayBeQtOption);
        if (!parser.parse(withoutQtOptions)) {
            std::fprintf(stderr, "%s: %s\n", program.data(), qPrintable(parser.errorText()));
            return EXIT_FAILURE;
        }
    }
    if (parser.isSet(u"help-all"_s))
        return std::nullopt;
    if (parser.isSet(u"help"_s)) {
        QString text = parser.helpText();
        // The parser names the program by the path it was started with.
        const qsizetype usageEnd = text.indexOf(u" [options]"_s);
        if (text.startsWith(u"Usage: "_s) && usageEnd > 0)
            text.replace(0, usageEnd, u"Usage: "_s + program);
        std::fputs(qPrintable(text + helpTail), stdout);
        return EXIT_SUCCESS;
    }
    if (parser.isSet(u"version"_s)) {
        std::printf("%s %s\n", program.data(), WEXEL_VERSION);
        return EXIT_SUCCESS;
    }
    return std::nullopt;
}

std::optional<int> refuseBadOptions(const QCommandLineParser &parser, QLatin1StringView program,
                                    const std::function<bool()> &check, const QString &error)
{
    if (parser.isSet(QStringLiteral("help-all")) || check())
        return std::nullopt;
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program.data(), qPrintable(error), program.data());
    return EXIT_FAILURE;
}

void processOrExit(QCommandLineParser &parser, QLatin1StringView program, int argc, const char *const *argv,
                   const std::function<bool()> &check, const QString &error)
{
    parser.process(LocalPath::arguments(argc, argv));
    // Checked before QApplication; the arguments are the same bar Qt's own.
    if (!check()) {
        std::fprintf(stderr, "%s: %s\n", program.data(), qPrintable(error));
        std::exit(EXIT_FAILURE);
    }
}
