#pragma once

#include "core/update/lane.h"
#include "core/update/waitoptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>

// The options of a lane that the command line and the station both take:
// --watch, --retries, watch mode's intervals and the waits that tests and
// simulators shorten (WaitOptions, which the desktop program takes too).
// One place for their names, help, ranges and reading, so the programs
// cannot come to accept different things.
class LaneOptions
{
public:
    // More attempts than this mend nothing that the first ones did not.
    static constexpr int kMaxRetries = 100;

    // Each program says in its own words what --watch and --retries do.
    LaneOptions(const QString &watchHelp, const QString &retriesHelp);

    // In the order they are listed in the help.
    QList<QCommandLineOption> options() const;
    // What the parser found, over the product's defaults. False with
    // *error set when a number is not one or out of its range.
    bool read(const QCommandLineParser &parser, Lane::Settings *settings, QString *error) const;
    // Whether --watch or --retries was given at all.
    bool updatesAsked(const QCommandLineParser &parser) const;

private:
    QCommandLineOption m_watch;
    QCommandLineOption m_retries;
    QCommandLineOption m_goneAfterMs;
    WaitOptions m_waits;
    QCommandLineOption m_probeIntervalMs;
};
