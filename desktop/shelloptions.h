#pragma once

#include "core/update/waitoptions.h"
#include "history/historyoptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QString>

#include <optional>

// The desktop program's command line: --port and --file to fill in the
// window, --record for a record of each update, the unit history's options
// (as the command line and the station name them), the waits that tests and
// simulators shorten (as the command line and the station name them),
// --help and --version. Help, version and mistakes are answered before
// QApplication exists: QApplication cannot start without a display, and the
// manual page is made from --help on build machines that have none.
class ShellOptions
{
public:
    ShellOptions();

    // Before QApplication, with the arguments as main() got them: prints the
    // help, the version or what is wrong and gives the exit status; nothing
    // when the window is to open (or when only QApplication can tell, see
    // the .cpp).
    std::optional<int> answerBeforeStart(int argc, const char *const *argv);

    // After QApplication has taken its own options out of argc and argv:
    // reads the rest, exiting on help, version or a mistake as Qt's parser
    // does. From argv rather than the application's list, so that a file name
    // keeps its every byte.
    void process(int argc, const char *const *argv);

    std::optional<QString> port() const;
    std::optional<QString> file() const;
    std::optional<QString> record() const;
    // The update's waits as given; the product's by default.
    const WaitOptions::Waits &waits() const { return m_waits; }
    // Where the unit history is kept and by whom; kept by default.
    const HistoryOptions::Settings &history() const { return m_history; }

private:
    // Reads the waits and the history's options; false with m_error set
    // when one is wrong.
    bool check();

    QCommandLineParser m_parser;
    QCommandLineOption m_help;
    QCommandLineOption m_version;
    QCommandLineOption m_port;
    QCommandLineOption m_file;
    QCommandLineOption m_record;
    WaitOptions m_waitOptions;
    WaitOptions::Waits m_waits;
    HistoryOptions m_historyOptions;
    HistoryOptions::Settings m_history;
    QString m_error;
};
