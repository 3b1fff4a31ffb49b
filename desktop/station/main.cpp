// The production station: builds the station window with its lanes (from
// --port, or those kept from the last time), the image from --file and the
// unit history, and runs it. With --stats it measures, for benchmarks, how
// long the event loop was ever kept from its work, and writes that at exit.
#include "core/common/localpath.h"
#include "core/common/message.h"
#include "core/common/signalwatcher.h"
#include "desktop/station/lanestore.h"
#include "desktop/station/stallmeter.h"
#include "desktop/station/stationoptions.h"
#include "desktop/station/stationpresenter.h"
#include "desktop/station/stationwindow.h"
#include "desktop/widgets/messagepresenter.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTimer>

#include <csignal>
#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace {

bool writeStats(const QString &path, const StallMeter &meter, const StationPresenter &presenter)
{
    QJsonArray lanes;
    for (const StationPresenter::LaneStats &lane : presenter.laneStats())
        lanes.append(QJsonObject{{u"name"_s, lane.name},
                                 {u"redraws"_s, lane.redraws},
                                 {u"busiest_second"_s, lane.busiestSecond}});
    const QJsonObject stats{{u"longest_stall_ms"_s, double(meter.longest().count()) / 1000.0},
                            {u"longest_stall_running_ms"_s, double(meter.longestWhileRunning().count()) / 1000.0},
                            {u"run_ms"_s, double(presenter.runMilliseconds())},
                            {u"passed"_s, presenter.passed()},
                            {u"failed"_s, presenter.failed()},
                            {u"lanes"_s, lanes}};
    QFile file(path);
    const QByteArray json = QJsonDocument(stats).toJson(QJsonDocument::Compact) + '\n';
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(json) == json.size();
}

// Unattended (--exit-when-done) nobody is there to press OK: a message goes
// to standard error instead of a box, and a question is answered No.
class UnattendedMessages : public MessagePresenter
{
public:
    void show(QWidget *, const Message &message, const QStringList &details, std::function<void()>) override
    {
        std::fputs(qPrintable(u"wexel-station: "_s + textWithCauses(message.prompt, details)), stderr);
    }
    void ask(QWidget *, const Message &, std::function<void()>) override { }
};

} // namespace

int main(int argc, char *argv[])
{
    StationOptions options;
    if (const std::optional<int> status = options.answerBeforeStart(argc, argv))
        return *status;

#ifdef Q_OS_UNIX
    // A record whose file hits a size limit fails and says so on its lane;
    // it must not kill the program while other lanes write.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // Qt's own event loop rather than GLib's, unless the user chose, as the
    // command line does: GLib wakes itself through an extra descriptor each
    // time a port's write notifier comes and goes, twice per firmware line
    // and lane, thousands of times a second with 32 lanes.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    QApplication::setOrganizationName(u"Wexel"_s);
    QApplication::setApplicationName(u"wexel-station"_s);
    QApplication::setApplicationVersion(QStringLiteral(WEXEL_VERSION));
    options.process(argc, argv);

    StallMeter meter;

    QSettings settings;
    UnattendedMessages unattended;
    StationWindow window(options.exitWhenDone() ? &unattended : nullptr);
    LaneStore store(&settings);
    // Gone before the window: the lanes stop before the tiles they draw on go.
    StationPresenter station(&window, window.messages(), &store, options.laneSettings());
    StationPresenter *presenter = &station;
    window.setWatch(options.laneSettings().watch);
    window.setRetries(options.laneSettings().retries);
    window.setExpectedSha(options.expectedSha256());
    presenter->setHistory(options.history());
    // For this run when given; as the operator last left it otherwise; off
    // unattended, where nobody is there to enter a serial.
    window.setSerialRequired(options.serialRequired() || (store.serialRequired() && !options.exitWhenDone()));
    const QStringList ports = options.ports();
    if (ports.isEmpty()) {
        presenter->loadLanes();
    } else {
        QList<LaneStore::Entry> lanes;
        for (const QString &port : ports)
            lanes.append({QString(), port});
        presenter->setLanes(lanes);
    }
    if (const std::optional<QString> record = options.record())
        presenter->setRecordFile(LocalPath::absolute(*record));
    presenter->setStartWhenReady(options.start());
    if (options.stats()) {
        QObject::connect(presenter, &StationPresenter::runStarted, &meter, [&meter] { meter.setLanesRunning(true); });
        QObject::connect(presenter, &StationPresenter::atRest, &meter, [&meter] { meter.setLanesRunning(false); });
        // From the event loop's first turn: what came before is start-up.
        QTimer::singleShot(0, &meter, &StallMeter::start);
    }
    if (options.exitWhenDone()) {
        QObject::connect(presenter, &StationPresenter::atRest, &app,
                         [presenter] { QCoreApplication::exit(presenter->allPassed() ? 0 : 1); });
        // Nothing will come to rest: the message has been printed.
        QObject::connect(
            presenter, &StationPresenter::startRefused, &app, [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
    }
    if (const std::optional<QString> file = options.file())
        presenter->chooseImage(*file);
#ifdef Q_OS_UNIX
    // A logout or shutdown (SIGTERM), a closed terminal (SIGHUP) or Ctrl-C
    // stop every lane as the command line's interrupted run does.
    const SignalWatcher watcher({SIGINT, SIGTERM, SIGHUP});
    QObject::connect(&watcher, &SignalWatcher::signalReceived, &window, &StationWindow::endForSignal);
#endif
    window.show();
    const int status = app.exec();
    if (const std::optional<QString> stats = options.stats(); stats && !writeStats(*stats, meter, *presenter))
        std::fprintf(stderr, "wexel-station: cannot write the statistics to %s\n", qPrintable(*stats));
    return status;
}
