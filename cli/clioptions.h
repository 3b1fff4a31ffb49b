#pragma once

#include "core/update/lane.h"
#include "core/update/laneoptions.h"
#include "history/historyoptions.h"

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

// The command line of wexel-update-cli: what to do (update, link test, port
// list), on which port, with which file, and how to report. The timing
// options exist so that tests and simulators need not wait the instrument's
// real erase time; the defaults are the product's.
class CliOptions
{
public:
    enum class Mode { Update, TestLink, ListPorts, Check, Help, Version };

    // The link test without --port tests the port box's text at start-up.
    static constexpr const char *kLinkTestPort = "COM 1";

    CliOptions();

    // Reads the arguments (the program name first, as main() gets them).
    // False on a usage error; errorText() then says what is wrong.
    bool parse(const QStringList &arguments);
    QString errorText() const { return m_error; }
    // --help: the options, then the exit codes.
    QString helpText() const;

    Mode mode = Mode::Update;
    QStringList portTexts; // one per instrument, in the order given
    QString fileName;
    QString outputFile; // --check --output: where the text image goes
    QString recordFile;
    // Where the history is kept, and who keeps it.
    HistoryOptions::Settings history;
    // --unit-serial: one per port, in the order of the ports; none: no serials.
    QStringList unitSerials;
    // The waits, watch mode and the retries: what each instrument's lane runs with.
    Lane::Settings lane;
    bool quiet = false;
    bool json = false;
    // Ask a USB serial adapter for low latency (--no-low-latency: leave it).
    bool lowLatency = true;
    bool verbose = false;

private:
    QCommandLineParser m_parser;
    QCommandLineOption m_help;
    QCommandLineOption m_version;
    QCommandLineOption m_port;
    QCommandLineOption m_testLink;
    QCommandLineOption m_check;
    QCommandLineOption m_output;
    QCommandLineOption m_record;
    QCommandLineOption m_listPorts;
    QCommandLineOption m_quiet;
    QCommandLineOption m_json;
    QCommandLineOption m_verbose;
    QCommandLineOption m_noLowLatency;
    QCommandLineOption m_unitSerial;
    LaneOptions m_lane;
    HistoryOptions m_history;
    QString m_error;
};
