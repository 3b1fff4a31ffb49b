// wexel-history: reports on the unit history a station keeps.
#include "core/common/localpath.h"
#include "report/historytool.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <cstdio>

using namespace Qt::Literals::StringLiterals;

int main(int argc, char **argv)
{
    // A file size limit makes a write fail with EFBIG, reported as output
    // that cannot be written, rather than killing the program. SIGPIPE keeps
    // its default: `wexel-history export --csv | head` ends quietly, as
    // every filter does.
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"wexel-history"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(WEXEL_VERSION));
    QFile out;
    QFile err;
    // Messages go out at once; reports through a buffer, flushed at the end.
    if (!out.open(stdout, QIODevice::WriteOnly) || !err.open(stderr, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        std::fputs("wexel-history: standard output or error is not open\n", stderr);
        return HistoryExit::kUnwritable;
    }
    HistoryTool tool(out, err);
    return tool.run(LocalPath::arguments(argc, argv));
}
