#pragma once

#include "link/seriallink.h"
#include "update/updatesequence.h"

#include <QByteArray>
#include <QObject>

class CliOptions;
class JsonReporter;
class ProgressReporter;

// One update run from the command line: the very sequence the upload button
// runs, with its progress on standard error, its events as JSON if asked,
// and at the end the result and the exit code.
class UpdateCommand : public QObject
{
    Q_OBJECT

public:
    explicit UpdateCommand(const CliOptions &options, QObject *parent = nullptr);

    void start();
    // Ctrl-C or SIGTERM: stops the update where it stands.
    void interrupt();

signals:
    // The result has been printed; the program may end with this code.
    void done(int exitCode);

private:
    void handleFinished(const UpdateSequence::Outcome &outcome);

    const CliOptions &m_options;
    SerialLink m_link;
    UpdateSequence m_update{&m_link};
    ProgressReporter *m_progress = nullptr;
    JsonReporter *m_json = nullptr;
    bool m_finished = false;
};
