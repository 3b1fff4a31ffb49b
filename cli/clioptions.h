#pragma once

#include "core/link/seriallink.h"
#include "core/update/updatesequence.h"

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <chrono>

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
    QStringList portTexts;  // one per instrument, in the order given
    QString fileName;
    QString outputFile;  // --check --output: where the text image goes
    QString recordFile;
    UpdateSequence::Timings timings;
    std::chrono::milliseconds readTimeout = SerialLink::kDefaultReadTimeout;
    bool quiet = false;
    bool json = false;
    // Ask a USB serial adapter for low latency (--no-low-latency: leave it).
    bool lowLatency = true;
    bool verbose = false;
    // Units updated as they arrive, and attempts after a failure another
    // attempt can mend.
    bool watch = false;
    int retries = 0;
    std::chrono::milliseconds probeInterval{1000};
    std::chrono::milliseconds goneAfter{3000};

private:
    bool readNumber(const QCommandLineOption &option, qint64 min, qint64 max, qint64 *value);

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
    QCommandLineOption m_eraseTickMs;
    QCommandLineOption m_eraseTicks;
    QCommandLineOption m_handOverMs;
    QCommandLineOption m_readTimeoutMs;
    QCommandLineOption m_watch;
    QCommandLineOption m_retries;
    QCommandLineOption m_goneAfterMs;
    QCommandLineOption m_probeIntervalMs;
    QString m_error;
};
