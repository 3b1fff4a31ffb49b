#pragma once

#include "core/update/lane.h"
#include "core/update/laneoptions.h"
#include "history/historyoptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <optional>

// The station's command line: the lanes (--port, several times), the image,
// the record, the unit history and Serial required, the SHA-256 the image
// must have, Watch and Retries as the window starts, --start, and what
// tests and benchmarks need (shortened
// waits, --exit-when-done, --stats). Help, version and mistakes are
// answered before QApplication exists, as the desktop program does: the
// manual page is made from --help on build machines without a display.
class StationOptions
{
public:
    StationOptions();

    // Before QApplication: prints the help, the version or what is wrong
    // and gives the exit status; nothing when the window is to open.
    std::optional<int> answerBeforeStart(int argc, const char *const *argv);
    // After QApplication has taken its own options out of argc and argv;
    // from argv, so that a file name keeps its every byte.
    void process(int argc, const char *const *argv);

    QStringList ports() const { return m_parser.values(m_port); }
    std::optional<QString> file() const;
    std::optional<QString> record() const;
    std::optional<QString> stats() const;
    QString expectedSha256() const { return m_parser.value(m_expectSha256); }
    bool start() const { return m_parser.isSet(m_start); }
    bool exitWhenDone() const { return m_parser.isSet(m_exitWhenDone); }
    // Where the unit history is kept and by whom; kept by default.
    const HistoryOptions::Settings &history() const { return m_history; }
    bool serialRequired() const { return m_parser.isSet(m_serialRequired); }
    // The lanes' timings, Watch and Retries as given (the product's by default).
    const Lane::Settings &laneSettings() const { return m_settings; }

private:
    // Checks what the parser cannot: numbers, the hash, the ports. False
    // with m_error set.
    bool check();

    QCommandLineParser m_parser;
    QCommandLineOption m_help;
    QCommandLineOption m_version;
    QCommandLineOption m_port;
    QCommandLineOption m_file;
    QCommandLineOption m_record;
    QCommandLineOption m_expectSha256;
    LaneOptions m_lane;
    QCommandLineOption m_start;
    QCommandLineOption m_exitWhenDone;
    QCommandLineOption m_stats;
    QCommandLineOption m_serialRequired;
    HistoryOptions m_historyOptions;
    HistoryOptions::Settings m_history;
    Lane::Settings m_settings;
    QString m_error;
};
