#pragma once

#include "history/historystore.h"
#include "history/serverstore.h"
#include "report/filteroptions.h"
#include "report/rowsource.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QIODevice>
#include <QString>
#include <QStringList>

#include <memory>

// The exit status of wexel-history; scripts branch on these, --help lists
// them from kMeanings.
namespace HistoryExit {
constexpr int kSuccess = 0;
constexpr int kUsage = 2;
constexpr int kUnreadable = 3;
constexpr int kUnwritable = 4;
constexpr int kWaiting = 5;

struct Meaning
{
    int code;
    const char *text;
};

inline constexpr Meaning kMeanings[] = {
    {kSuccess, "the report was written (a period without attempts included)"},
    {kUsage,
     "usage error: unknown command or option, a malformed or out-of-range --since or --until, "
     "a missing SERIAL or OUT"},
    {kUnreadable,
     "the history cannot be read: there is none at the path, it is no unit history, a newer "
     "Wexel Update kept it, or it is damaged"},
    {kUnwritable,
     "the output cannot be written: OUT's folder is missing or denied, the disk is full, standard "
     "output is closed, or OUT is the history itself"},
    {kWaiting, "push: records still wait for the server (it cannot be reached, refuses the login, or took too long)"},
};
} // namespace HistoryExit

// wexel-history: reports on the unit history, which it only reads. One
// command a run: the summary, the causes, one unit's attempts, every row
// as CSV or JSON lines, or all of it as one HTML page. Where the rows come
// from is chosen once (openSource()); the commands know only the sources.
class HistoryTool
{
public:
    // Text goes to `out`, messages to `err`.
    HistoryTool(QIODevice &out, QIODevice &err);
    ~HistoryTool();
    HistoryTool(const HistoryTool &) = delete;
    HistoryTool &operator=(const HistoryTool &) = delete;

    // Reads from these instead of the history --history names: a source the
    // caller has opened, shown as `name`. Without `attempts`, the tallies
    // read `rows`.
    void setSource(const QString &name, RowSource rows, AttemptSource attempts = {});

    // The arguments with the program's name first; the exit status.
    int run(const QStringList &arguments);

    QString helpText() const;

private:
    struct Command
    {
        QString name;
        QString argument; // its one argument's name, empty when it takes none
        QString help;
    };
    static const QList<Command> &commands();

    int usage(const QString &message);
    int unreadable(const QString &message);
    int unwritable(const QString &message);
    bool say(QIODevice &device, const QByteArray &bytes);
    // Opens the history and makes the source of rows; false when it cannot.
    bool openSource(QString *error);
    bool read(const HistoryStore::Filter &filter, const std::function<void(const HistoryRow &)> &row, int *status);
    bool tally(const HistoryStore::Filter &filter, HistoryStore::AttemptView::Texts texts,
               const std::function<void(const HistoryStore::AttemptView &)> &attempt, int *status);

    int summary();
    int causes();
    int unit(const QString &serial);
    int exportRows(bool csv, bool excel);
    int html(const QString &out);
    int push();

    QIODevice &m_out;
    QIODevice &m_err;
    QCommandLineParser m_parser;
    QCommandLineOption m_help;
    QCommandLineOption m_version;
    QCommandLineOption m_history;
    QCommandLineOption m_server;
    FilterOptions m_filterOptions;
    QCommandLineOption m_csv;
    QCommandLineOption m_jsonl;
    QCommandLineOption m_excel;

    QString m_historyPath;
    bool m_sourceGiven = false;
    HistoryStore::Filter m_filter;
    std::unique_ptr<HistoryStore> m_store;
    std::unique_ptr<ServerStore> m_serverStore;
    RowSource m_rows;
    AttemptSource m_attempts;
    bool m_outputFailed = false;
};
