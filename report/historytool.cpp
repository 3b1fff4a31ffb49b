#include "report/historytool.h"

#include "core/common/counted.h"
#include "core/common/printablebytes.h"
#include "history/historyforwarder.h"
#include "history/historyoptions.h"
#include "report/failurecauses.h"
#include "report/htmlreport.h"
#include "report/rowexport.h"
#include "report/textreport.h"
#include "report/yieldsummary.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileDevice>
#include <QFileInfo>
#include <QSaveFile>

using namespace Qt::Literals::StringLiterals;

namespace {

// Help text fits 80 columns: the name in `indent`, its text in the rest.
QString helpEntry(const QString &name, const QString &text, qsizetype indent)
{
    constexpr qsizetype kWidth = 80;
    QString entry = (u"  "_s + name).leftJustified(indent - 1) + u' ';
    qsizetype used = entry.size();
    bool first = true;
    for (const QString &word : text.split(u' ')) {
        if (!first && used + 1 + word.size() > kWidth) {
            entry += u'\n' + QString(indent, u' ');
            used = indent;
        } else if (!first) {
            entry += u' ';
            ++used;
        }
        entry += word;
        used += word.size();
        first = false;
    }
    return entry + u'\n';
}

// A path in a message: whole, for it names what to mend, and printable.
QString quotedPath(const QString &path)
{
    return u'"' + printableText(path) + u'"';
}

// The history's own files: SQLite keeps its write-ahead log and its shared
// memory beside it, and a page written over either is a damaged history.
bool isHistoryFile(const QString &out, const QString &history)
{
    const QString target = QFileInfo(out).canonicalFilePath();
    const QString kept = QFileInfo(history).canonicalFilePath();
    if (target.isEmpty() || kept.isEmpty())
        return false;
    for (const QString &suffix : {QString(), u"-wal"_s, u"-shm"_s, u"-journal"_s}) {
        if (target == kept + suffix)
            return true;
    }
    return false;
}

} // namespace

const QList<HistoryTool::Command> &HistoryTool::commands()
{
    static const QList<Command> list{
        {u"summary"_s,
         {},
         u"Units, attempts, first-pass yield (units whose first attempt in the period passed) and final yield "
         "(units whose last attempt passed): overall, then per day, station, lane and image. A unit counts, with "
         "its attempts, where its first attempt in the period was."_s},
        {u"causes"_s,
         {},
         u"The failed attempts by cause (the outcome: write-refused, erase-failed, ...), most frequent first, "
         "with their share, the cumulative share and the latest failure's message."_s},
        {u"unit"_s, u"SERIAL"_s,
         u"Every attempt of the unit SERIAL, oldest first: time, station, operator, lane, image and its "
         "SHA-256, outcome, attempt N of M."_s},
        {u"export"_s,
         {},
         u"Every attempt, one a line: --csv (RFC 4180, a header line first; exact, for programs; --excel for "
         "a spreadsheet) or --jsonl (one JSON object a line, the record included)."_s},
        {u"push"_s,
         {},
         u"Send the records of the history that the server named by --history-server has not taken yet, "
         "and say how many were sent and how many still wait (exit 5 while some wait)."_s},
        {u"schema"_s,
         {},
         u"Print the SQL that makes the central history's tables, for a site's administrator to run once."_s},
        {u"html"_s, u"OUT"_s,
         u"All of it as one page, OUT: the summary, the yield per day and the causes as charts, the figures "
         "per station, lane, image and day, the latest 50 attempts. Self-contained (no script, nothing fetched); "
         "written whole or not at all, never over the history."_s},
    };
    return list;
}

HistoryTool::HistoryTool(QIODevice &out, QIODevice &err)
    : m_out(out)
    , m_err(err)
    , m_help({u"h"_s, u"help"_s}, u"Show this help, the exit codes included, and exit."_s)
    , m_version(u"version"_s, u"Show the program's version and exit."_s)
    , m_history(u"history"_s,
                u"The unit history to report on (default: %1). It is only read: never made, changed or brought "
                "up to date."_s.arg(HistoryStore::defaultPlace()),
                u"FILE"_s)
    , m_server(u"history-server"_s,
               u"Report on the central history in the PostgreSQL database CONNINFO (a libpq connection string, "
               "or service=NAME; the password from ~/.pgpass, PGPASSFILE or the service file, never here) "
               "instead of the station's; with push, the server to send to."_s,
               u"CONNINFO"_s)
    , m_csv(u"csv"_s, u"export: as CSV."_s)
    , m_jsonl(u"jsonl"_s, u"export: as JSON lines."_s)
    , m_excel(u"excel"_s,
              u"export --csv: for a spreadsheet: the UTF-8 byte order mark first, and a cell that begins with = + "
              "- or @ gets a leading apostrophe, so that no cell runs as a formula."_s)
{
    m_parser.setApplicationDescription(
        u"Reports on the unit history that Wexel Update keeps of every attempt: yields, causes of failure, one "
        "unit's attempts, the rows as CSV or JSON lines, or one HTML page of it all. The options that choose "
        "attempts go with every command."_s);
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    m_parser.addOptions({m_help, m_version, m_history, m_server});
    m_parser.addOptions(m_filterOptions.options());
    m_parser.addOptions({m_csv, m_jsonl, m_excel});
    m_parser.addPositionalArgument(u"COMMAND"_s,
                                   u"summary, causes, unit SERIAL, export, html OUT, push or schema (see Commands)."_s,
                                   u"COMMAND [ARGUMENT]"_s);
}

HistoryTool::~HistoryTool() = default;

QString HistoryTool::helpText() const
{
    QString text = m_parser.helpText();
    // The parser names the program by the path it was started with.
    const qsizetype firstLineEnd = text.indexOf(u'\n');
    text.replace(0, firstLineEnd, u"Usage: wexel-history [options] COMMAND [ARGUMENT]"_s);
    text += u"\nCommands:\n"_s;
    for (const Command &command : commands()) {
        const QString name = command.argument.isEmpty() ? command.name : command.name + u' ' + command.argument;
        text += helpEntry(name, command.help, 16);
    }
    text += uR"(
Times are given and shown in local time. Text from the history is shown
with control characters as \xHH and cut to its column; standard output
carries only the report, messages go to standard error.

Exit status:
)"_s;
    for (const HistoryExit::Meaning &meaning : HistoryExit::kMeanings)
        text += helpEntry(QString::number(meaning.code), QString::fromLatin1(meaning.text), 7);
    return text;
}

bool HistoryTool::say(QIODevice &device, const QByteArray &bytes)
{
    if (&device == &m_out && m_outputFailed)
        return false;
    if (device.write(bytes) == bytes.size())
        return true;
    if (&device == &m_out)
        m_outputFailed = true;
    return false;
}

int HistoryTool::usage(const QString &message)
{
    say(m_err, u"wexel-history: %1\nTry 'wexel-history --help'.\n"_s.arg(message).toUtf8());
    return HistoryExit::kUsage;
}

int HistoryTool::unreadable(const QString &message)
{
    say(m_err, u"wexel-history: %1\n"_s.arg(message).toUtf8());
    return HistoryExit::kUnreadable;
}

int HistoryTool::unwritable(const QString &message)
{
    say(m_err, u"wexel-history: %1\n"_s.arg(message).toUtf8());
    return HistoryExit::kUnwritable;
}

void HistoryTool::setSource(const QString &name, RowSource rows, AttemptSource attempts)
{
    m_historyPath = name;
    m_attempts = attempts ? std::move(attempts) : attemptsOf(rows);
    m_rows = std::move(rows);
    m_sourceGiven = true;
}

bool HistoryTool::openSource(QString *error)
{
    if (m_parser.isSet(m_server)) {
        // The central history: every station's rows, as the server has them.
        m_serverStore = std::make_unique<ServerStore>();
        if (!m_serverStore->open(m_parser.value(m_server))) {
            *error = m_serverStore->error();
            return false;
        }
        m_historyPath = m_parser.value(m_server);
        ServerStore *server = m_serverStore.get();
        m_rows = [server](const HistoryStore::Filter &filter, const std::function<void(const HistoryRow &)> &row,
                          QString *readError) { return server->read(filter, row, readError); };
        m_attempts = [server](const HistoryStore::Filter &filter, HistoryStore::AttemptView::Texts texts,
                              const std::function<void(const HistoryStore::AttemptView &)> &attempt,
                              QString *scanError) { return server->scan(filter, texts, attempt, scanError); };
        return true;
    }
    // The station's own history, read only.
    m_store = std::make_unique<HistoryStore>();
    if (!m_store->open(m_historyPath, HistoryStore::OpenMode::ReadOnly)) {
        *error = m_store->error();
        return false;
    }
    m_rows = storeRowSource(*m_store);
    m_attempts = storeAttemptSource(*m_store);
    return true;
}

bool HistoryTool::read(const HistoryStore::Filter &filter, const std::function<void(const HistoryRow &)> &row,
                       int *status)
{
    QString error;
    if (m_rows(filter, row, &error))
        return true;
    *status = unreadable(error);
    return false;
}

bool HistoryTool::tally(const HistoryStore::Filter &filter, HistoryStore::AttemptView::Texts texts,
                        const std::function<void(const HistoryStore::AttemptView &)> &attempt, int *status)
{
    QString error;
    if (m_attempts(filter, texts, attempt, &error))
        return true;
    *status = unreadable(error);
    return false;
}

int HistoryTool::run(const QStringList &arguments)
{
    if (!m_parser.parse(arguments))
        return usage(m_parser.errorText());
    if (m_parser.isSet(m_help))
        return say(m_out, helpText().toUtf8()) ? HistoryExit::kSuccess : HistoryExit::kUnwritable;
    if (m_parser.isSet(m_version)) {
        const QString version = u"wexel-history %1\n"_s.arg(QCoreApplication::applicationVersion());
        return say(m_out, version.toUtf8()) ? HistoryExit::kSuccess : HistoryExit::kUnwritable;
    }

    const QStringList positional = m_parser.positionalArguments();
    if (positional.isEmpty())
        return usage(u"no COMMAND given: summary, causes, unit SERIAL, export, html OUT, push or schema"_s);
    const QString name = positional.constFirst();
    const auto command
        = std::find_if(commands().cbegin(), commands().cend(), [&](const Command &c) { return c.name == name; });
    if (command == commands().cend())
        return usage(u"unknown command %1: summary, causes, unit SERIAL, export, html OUT, push or schema"_s.arg(
            quotedText(name)));
    const qsizetype wanted = command->argument.isEmpty() ? 0 : 1;
    if (positional.size() - 1 < wanted)
        return usage(u"%1 needs %2"_s.arg(name, command->argument));
    if (positional.size() - 1 > wanted && wanted == 0)
        return usage(u"%1 takes no argument: %2"_s.arg(name, quotedText(positional.at(1))));
    if (positional.size() - 1 > wanted)
        return usage(u"%1 takes one %2, not also %3"_s.arg(name, command->argument, quotedText(positional.at(2))));
    const QString argument = positional.value(1);

    const bool csv = m_parser.isSet(m_csv);
    const bool jsonl = m_parser.isSet(m_jsonl);
    const bool excel = m_parser.isSet(m_excel);
    if (name != u"export"_s && (csv || jsonl || excel))
        return usage(u"--csv, --jsonl and --excel go with export only"_s);
    if (name == u"export"_s && !csv && !jsonl)
        return usage(u"export needs --csv or --jsonl"_s);
    if (csv && jsonl)
        return usage(u"--csv and --jsonl cannot be combined"_s);
    if (excel && !csv)
        return usage(u"--excel goes with --csv"_s);

    QString error;
    if (!m_filterOptions.read(m_parser, &m_filter, &error))
        return usage(error);
    if (name == u"unit"_s && !HistoryOptions::checkText(u"SERIAL"_s, argument, &error))
        return usage(error);
    if (name == u"html"_s && argument.isEmpty())
        return usage(u"html needs a file name OUT"_s);
    if (m_parser.isSet(m_server) && !ServerStore::checkConninfo(m_parser.value(m_server), &error))
        return usage(u"--history-server: %1"_s.arg(error));
    if (name == u"schema"_s)
        return say(m_out, ServerStore::schemaSql().toUtf8()) ? HistoryExit::kSuccess : HistoryExit::kUnwritable;
    if (name == u"push"_s && !m_parser.isSet(m_server))
        return usage(u"push needs --history-server CONNINFO"_s);
    if (!m_sourceGiven) {
        m_historyPath = m_parser.isSet(m_history) ? m_parser.value(m_history) : HistoryStore::defaultPath();
        if (m_historyPath.isEmpty())
            return usage(u"--history needs a file name"_s);
        if (name == u"push"_s)
            return push();
        if (!openSource(&error))
            return unreadable(error);
    }

    int status = HistoryExit::kSuccess;
    if (name == u"summary"_s)
        status = summary();
    else if (name == u"causes"_s)
        status = causes();
    else if (name == u"unit"_s)
        status = unit(argument);
    else if (name == u"export"_s)
        status = exportRows(csv, excel);
    else
        status = html(argument);
    if (status != HistoryExit::kSuccess)
        return status;
    if (auto *file = qobject_cast<QFileDevice *>(&m_out); file && !file->flush())
        m_outputFailed = true;
    if (m_outputFailed)
        return unwritable(u"standard output cannot be written: %1"_s.arg(m_out.errorString()));
    return HistoryExit::kSuccess;
}

int HistoryTool::push()
{
    const HistoryForwarder::Result result = HistoryForwarder::push(m_historyPath, m_parser.value(m_server));
    if (result.waiting < 0)
        return unreadable(result.error);
    say(m_out,
        u"%1 sent, %2 waiting for the server\n"_s.arg(counted(result.sent, u"record")).arg(result.waiting).toUtf8());
    if (result.waiting == 0)
        return HistoryExit::kSuccess;
    say(m_err, u"wexel-history: %1\n"_s.arg(printableText(result.error)).toUtf8());
    return HistoryExit::kWaiting;
}

int HistoryTool::summary()
{
    YieldSummary summary;
    int status = HistoryExit::kSuccess;
    if (!tally(
            m_filter, HistoryStore::AttemptView::Texts::Skipped,
            [&](const HistoryStore::AttemptView &attempt) { summary.add(attempt); }, &status))
        return status;
    const QString heading = u"Unit history %1: %2"_s.arg(m_historyPath, FilterOptions::describe(m_filter));
    say(m_out, TextReport::summary(summary, heading).toUtf8());
    return status;
}

int HistoryTool::causes()
{
    FailureCauses causes;
    int status = HistoryExit::kSuccess;
    // Only the failures: on a central server, a few rows found by an index.
    HistoryStore::Filter failures = m_filter;
    failures.failuresOnly = true;
    if (!tally(
            failures, HistoryStore::AttemptView::Texts::Read,
            [&](const HistoryStore::AttemptView &attempt) { causes.add(attempt); }, &status))
        return status;
    const QString heading = u"Unit history %1: %2"_s.arg(m_historyPath, FilterOptions::describe(m_filter));
    say(m_out, TextReport::causes(causes, heading).toUtf8());
    return status;
}

int HistoryTool::unit(const QString &serial)
{
    HistoryStore::Filter filter = m_filter;
    filter.unitSerial = serial;
    QList<HistoryRow> rows;
    int status = HistoryExit::kSuccess;
    if (!read(
            filter, [&](const HistoryRow &row) { rows << row; }, &status))
        return status;
    const QString heading = u"Unit history %1: %2"_s.arg(m_historyPath, FilterOptions::describe(filter));
    say(m_out, TextReport::unitAttempts(rows, heading).toUtf8());
    return status;
}

int HistoryTool::exportRows(bool csv, bool excel)
{
    if (csv)
        say(m_out, (excel ? QByteArray(RowExport::kBom) : QByteArray()) + RowExport::csvHeader());
    int status = HistoryExit::kSuccess;
    // A reader that has gone stops the writing, not the reading: a source
    // cannot be stopped half way, and the rest costs only time.
    read(
        m_filter,
        [&](const HistoryRow &row) {
            if (!m_outputFailed)
                say(m_out, csv ? RowExport::csvLine(row, excel) : RowExport::jsonLine(row));
        },
        &status);
    return status;
}

int HistoryTool::html(const QString &out)
{
    if (isHistoryFile(out, m_historyPath))
        return unwritable(u"%1 is the history itself: a report is never written over it"_s.arg(quotedPath(out)));
    YieldSummary summary;
    FailureCauses causes;
    int status = HistoryExit::kSuccess;
    if (!tally(
            m_filter, HistoryStore::AttemptView::Texts::Read,
            [&](const HistoryStore::AttemptView &attempt) {
                summary.add(attempt);
                causes.add(attempt);
            },
            &status))
        return status;
    HistoryStore::Filter latest = m_filter;
    latest.limit = HtmlReport::kLatest;
    HtmlReport::Content content;
    if (!read(
            latest, [&](const HistoryRow &row) { content.latest << row; }, &status))
        return status;
    content.history = m_historyPath;
    content.filter = FilterOptions::describe(m_filter);
    content.made = QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm"_s);
    content.summary = &summary;
    content.causes = &causes;

    // The whole page or none: a page cut off by a full disk would show
    // figures that are not the period's.
    QSaveFile file(out);
    if (!file.open(QIODevice::WriteOnly))
        return unwritable(u"%1 cannot be written: %2"_s.arg(quotedPath(out), file.errorString()));
    const QByteArray page = HtmlReport::page(content).toUtf8();
    if (file.write(page) != page.size() || !file.commit())
        return unwritable(u"%1 cannot be written: %2"_s.arg(quotedPath(out), file.errorString()));
    return HistoryExit::kSuccess;
}
