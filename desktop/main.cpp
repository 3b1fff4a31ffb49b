// The desktop program: builds the frame window and runs it. With --port and
// --file the port box and the firmware file are filled in at start, so that
// a script can open the program ready to upload; without them the port box
// shows "COM 1" and no file is chosen. With --record each update is
// appended to a record file; each is kept in the unit history unless
// --no-history says otherwise. The wait options shorten the instrument's
// waits for tests and simulators, as the command line's do.
#include "desktop/panels/set_form.h"
#include "desktop/panels/portlist.h"
#include "desktop/panels/main_form.h"
#include "desktop/main_mdi.h"
#include "desktop/shelloptions.h"
#include "core/common/localpath.h"
#include "core/common/signalwatcher.h"

#include <QApplication>
#include <QFileInfo>

#include <csignal>

int main(int argc, char *argv[])
{
    ShellOptions options;
    if (const std::optional<int> status = options.answerBeforeStart(argc, argv))
        return *status;

#ifdef Q_OS_UNIX
    // A record whose file hits a size limit fails and says so; it must not
    // kill the program in the middle of an update.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
#endif
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("wexel-update"));
    QApplication::setApplicationVersion(QStringLiteral(WEXEL_VERSION));
    options.process(argc, argv);

    Main_MDI frame(nullptr, options.waits().timings);
    frame.setReadTimeout(options.waits().readTimeout);
    if (const std::optional<QString> port = options.port())
        frame.setForm()->COM_PORT_LIST->setEditText(*port);
    if (const std::optional<QString> file = options.file())
        frame.mainForm()->chooseFile(LocalPath::absolute(*file));
    if (const std::optional<QString> record = options.record())
        frame.setRecordFile(LocalPath::absolute(*record));
    frame.setHistory(options.history());
#ifdef Q_OS_UNIX
    // A logout or shutdown (SIGTERM), a closed terminal (SIGHUP) or Ctrl-C
    // ends an update as the command line's interrupted one does.
    const SignalWatcher watcher({SIGINT, SIGTERM, SIGHUP});
    QObject::connect(&watcher, &SignalWatcher::signalReceived, &frame, &Main_MDI::endForSignal);
#endif
    frame.show();
    return app.exec();
}
