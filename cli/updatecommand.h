#pragma once

#include "core/link/seriallink.h"
#include "core/update/imageloader.h"
#include "core/update/lane.h"
#include "core/update/lanegroup.h"
#include "core/update/runrecord.h"
#include "core/update/updatesequence.h"
#include "history/historyforwarder.h"
#include "history/historystore.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

class CliOptions;
class JsonReporter;
class ProgressReporter;

// An update run from the command line: the very sequence the upload button
// runs, on one instrument or on several at once (one lane per --port, each on
// its own link and timing, all on one thread), again after a failure another
// attempt can mend (--retries), or for every unit that arrives (--watch),
// with the progress on standard error, the events as JSON if asked, a record
// per attempt if asked, and at the end the result and the exit code. The
// image is read and checked once, off the event loop's thread, and shared by all.
class UpdateCommand : public QObject
{
    Q_OBJECT

public:
    explicit UpdateCommand(const CliOptions &options, QObject *parent = nullptr);
    ~UpdateCommand() override;

    void start();
    // Ctrl-C, SIGTERM or SIGHUP: stops every update where it stands.
    void interrupt();

signals:
    // The result has been printed; the program may end with this code.
    void done(int exitCode);

private:
    // One port: its lane (link and update) and how its unit ended.
    struct Unit
    {
        Unit(const QString &portText, Lane &portLane)
            : port(portText)
            , lane(portLane)
        { }
        QString port;
        Lane &lane; // the group's
        JsonReporter *json = nullptr; // with --json
        std::optional<UpdateOutcome> outcome;
        // The attempt that failed, told once the next one begins: a retry
        // may yet be refused (the port now leads to another device).
        std::optional<UpdateOutcome> failedAttempt;
        QElapsedTimer clock;
        qint64 milliseconds = 0;
        // Watching: the units ("unit 2") whose record could not be written.
        QStringList recordsLost;
    };

    bool portsAreDistinct();
    void warnAboutPortTexts();
    void reportAttempt(Unit &unit, const UpdateOutcome &outcome, int attempt, int of);
    void reportRetry(Unit &unit, int attempt, int of);
    void reportLaneState(Unit &unit, Lane::State state);
    void handleFinished(Unit &unit, const UpdateOutcome &outcome);
    void handleImageForWatching(const ImageLoader::Result &result);
    void finishAll();
    void finishWatching();
    int exitCode() const;
    void printSummary() const;
    // The history's records that wait for the server go now, within the
    // time given; those left are told. The exit code stays: they are safe
    // in the history.
    void forwardWaiting();
    // The record file or the history could not be opened: nothing starts.
    void reportRecordError(UpdateOutcome::Kind kind, const QString &error);
    bool several() const { return m_units.size() > 1; }

    const CliOptions &m_options;
    LaneGroup m_lanes;
    std::vector<std::unique_ptr<Unit>> m_units;
    RunRecord m_record;
    HistoryStore m_history;
    std::unique_ptr<HistoryForwarder> m_forwarder; // with --history-server
    // Why the last record that could not be kept was lost (the file's or
    // the history's reason), for the summary.
    QString m_lastRecordError;
    ImageLoader m_loader;
    ProgressReporter *m_progress = nullptr;
    bool m_started = false;
    bool m_finished = false;
    bool m_interrupted = false;
    bool m_watching = false; // --watch, with the image read
    bool m_warnedNoEndLine = false;
};
