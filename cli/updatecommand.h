#pragma once

#include "core/link/seriallink.h"
#include "core/update/imageloader.h"
#include "core/update/runrecord.h"
#include "core/update/updatesequence.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

class CliOptions;
class JsonReporter;
class ProgressReporter;

// An update run from the command line: the very sequence the upload button
// runs, on one instrument or on several at once (one per --port, each on its
// own link and timing, all on one thread), with the progress on standard
// error, the events as JSON if asked, a record per instrument if asked, and
// at the end the result and the exit code. The image is read and checked
// once, off the event loop's thread, and shared by all.
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
    // One instrument: its port, link and update.
    struct Unit
    {
        QString port;
        SerialLink link;
        UpdateSequence update{&link};
        JsonReporter *json = nullptr;  // with --json
        std::optional<UpdateOutcome> outcome;
        QElapsedTimer clock;
        qint64 milliseconds = 0;
    };

    bool portsAreDistinct();
    void warnAboutPortTexts();
    void handleFinished(Unit &unit, const UpdateOutcome &outcome);
    void finishAll();
    int exitCode() const;
    void printSummary() const;
    void reportRecordError();
    bool several() const { return m_units.size() > 1; }

    const CliOptions &m_options;
    std::vector<std::unique_ptr<Unit>> m_units;
    RunRecord m_record;
    ImageLoader m_loader;
    ProgressReporter *m_progress = nullptr;
    bool m_started = false;
    bool m_finished = false;
    bool m_interrupted = false;
    bool m_warnedNoEndLine = false;
};
