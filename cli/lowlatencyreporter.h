#pragma once

#include <QObject>

class CliOptions;
class SerialLink;

// Applies --no-low-latency to a link and tells what came of the request for
// low latency each time the port is configured: "low latency: set" on
// standard error with --verbose, a "low-latency" event with --json.
class LowLatencyReporter : public QObject
{
    Q_OBJECT

public:
    LowLatencyReporter(SerialLink *link, const CliOptions &options, QObject *parent = nullptr);

private:
    void report();

    SerialLink *m_link;
    bool m_verbose;
    bool m_json;
};
