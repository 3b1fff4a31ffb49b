#pragma once

#include "core/link/linktest.h"
#include "core/link/seriallink.h"

#include <QObject>

class CliOptions;

// The link test from the command line: "ARC*" to the port, the reply on
// standard output, "COM PORT > 255" or "TEST ERROR!!" with the cause on
// standard error.
class LinkTestCommand : public QObject
{
    Q_OBJECT

public:
    explicit LinkTestCommand(const CliOptions &options, QObject *parent = nullptr);

    void start();
    void interrupt();

signals:
    void done(int exitCode);

private:
    void handleFinished(const LinkTestOutcome &outcome);

    const CliOptions &m_options;
    SerialLink m_link;
    LinkTest m_test{&m_link};
    bool m_started = false;
    bool m_finished = false;
};
