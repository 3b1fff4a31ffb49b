// wexel-update-cli: the update of the desktop program, for production lines
// and scripts that update instruments without a person at the screen.
#include "cli/checkcommand.h"
#include "cli/clioptions.h"
#include "cli/exitcode.h"
#include "cli/linktestcommand.h"
#include "cli/outputchannel.h"
#include "cli/portlister.h"
#include "core/common/localpath.h"
#include "core/common/signalwatcher.h"
#include "cli/updatecommand.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace {

template<typename Command> int runCommand(const SignalWatcher &watcher, Command &command)
{
    QObject::connect(&watcher, &SignalWatcher::signalReceived, &command, &Command::interrupt);
    QObject::connect(&command, &Command::done, qApp, [](int exitCode) { QCoreApplication::exit(exitCode); });
    // Started from the event loop: an update may end inside start() (no file,
    // no port), and exit() only ends a loop that is running.
    QMetaObject::invokeMethod(&command, &Command::start, Qt::QueuedConnection);
    return QCoreApplication::exec();
}

int run(int argc, char **argv);

} // namespace

int main(int argc, char **argv)
{
    // A reader of the output that goes away (`... --json | head`) ends the
    // output, not the update: writes then fail with EPIPE and are dropped.
    std::signal(SIGPIPE, SIG_IGN);
    // A file size limit must not kill the program in the middle of an
    // update either: the record write fails with EFBIG and is reported.
    std::signal(SIGXFSZ, SIG_IGN);
    return run(argc, argv);
}

namespace {

int run(int argc, char **argv)
{
    // Qt's own event loop rather than GLib's, unless the user chose: GLib
    // wakes itself through an extra descriptor each time the port's write
    // notifier comes and goes, which is twice per firmware line.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    // Whatever the reader has not taken yet gets its moment before the end,
    // while the application still stands.
    struct DrainAtExit
    {
        ~DrainAtExit() { OutputChannel::drainAtExit(); }
    } drainAtExit;
    QCoreApplication::setApplicationName(u"wexel-update-cli"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(WEXEL_VERSION));

    CliOptions options;
    if (!options.parse(LocalPath::arguments(argc, argv))) {
        std::fprintf(stderr, "wexel-update-cli: %s\nTry 'wexel-update-cli --help'.\n", qPrintable(options.errorText()));
        return ExitCode::kUsage;
    }
    // What a slow reader missed is said once it reads again, in the form
    // each stream has.
    if (options.json) {
        OutputChannel::standardOutput().setDropNote([](qint64 dropped) {
            return "{\"event\":\"output-dropped\",\"bytes\":" + QByteArray::number(dropped) + "}\n";
        });
    }
    OutputChannel::standardError().setDropNote([](qint64 dropped) {
        return "wexel-update-cli: " + QByteArray::number(dropped)
            + " bytes of output were dropped: the reader did not keep up\n";
    });
    switch (options.mode) {
    case CliOptions::Mode::Help:
        std::fputs(qPrintable(options.helpText()), stdout);
        return ExitCode::kSuccess;
    case CliOptions::Mode::Version:
        std::printf("wexel-update-cli %s\n", WEXEL_VERSION);
        return ExitCode::kSuccess;
    case CliOptions::Mode::ListPorts:
        return PortLister::run(OutputChannel::standardOutput(), options.json);
    case CliOptions::Mode::Check:
        return CheckCommand::run(options);
    case CliOptions::Mode::TestLink:
    case CliOptions::Mode::Update:
        break;
    }

    // A closed terminal or a dropped SSH session (SIGHUP) ends an update as
    // Ctrl-C does: stopped where it stands, reported, recorded.
    const SignalWatcher watcher({SIGINT, SIGTERM, SIGHUP});
    if (!watcher.isValid()) {
        std::fputs("wexel-update-cli: cannot set up the handling of Ctrl-C\n", stderr);
        return ExitCode::kInternal;
    }
    if (options.mode == CliOptions::Mode::TestLink) {
        LinkTestCommand command(options);
        return runCommand(watcher, command);
    }
    UpdateCommand command(options);
    return runCommand(watcher, command);
}

} // namespace
