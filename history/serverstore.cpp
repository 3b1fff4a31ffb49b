#include "history/serverstore.h"

#include "core/common/printablebytes.h"

#include <QObject>
#include <QRegularExpression>

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// The columns, in HistoryRow's order, as the station's history names them.
constexpr int kColumnCount = 21;
const QByteArray kColumns = "uuid, started, finished, station, operator, unit_serial, unit_run, lane, port, image, "
                            "image_sha256, outcome, ok, attempt, attempts, failed_line, message, cause, tool, "
                            "tool_version, record";
// What the parameters of the columns that are not text are cast to.
const char *const kColumnCasts[kColumnCount]
    = {"", "",          "",          "",          "",          "", "", "", "", "", "",
       "", "::boolean", "::integer", "::integer", "::integer", "", "", "", "", ""};

// Held while the schema is made or changed, so that two stations that
// start at once do not both make it. Any number: the tool's own.
constexpr char kSchemaLock[] = "7302291871";

// The schema, one step per version, as the station's history has them; a
// step never changes once released. The times are text, not timestamptz,
// as on the station: they compare and sort as the station's do (byte by
// byte: COLLATE "C", whatever the database's collation), they come back
// exactly as kept, and a row with an odd time is never refused by the
// server, so it cannot stop the rows behind it. The uuid is text for the
// same reason. The record is text, not jsonb, which would reorder its keys.
// No `forwarded` column: that is the station's.
const QList<QByteArrayList> &migrations()
{
    static const QList<QByteArrayList> steps{
        // 1: the attempts.
        {
            "CREATE TABLE attempts (\n"
            "    uuid text PRIMARY KEY,\n"
            "    started text COLLATE \"C\" NOT NULL,\n"
            "    finished text COLLATE \"C\" NOT NULL,\n"
            "    station text NOT NULL,\n"
            "    operator text NOT NULL,\n"
            "    unit_serial text NOT NULL,\n"
            "    unit_run text NOT NULL,\n"
            "    lane text NOT NULL,\n"
            "    port text NOT NULL,\n"
            "    image text NOT NULL,\n"
            "    image_sha256 text NOT NULL,\n"
            "    outcome text NOT NULL,\n"
            "    ok boolean NOT NULL,\n"
            "    attempt integer NOT NULL,\n"
            "    attempts integer NOT NULL,\n"
            "    failed_line integer NOT NULL,\n"
            "    message text NOT NULL,\n"
            "    cause text NOT NULL,\n"
            "    tool text NOT NULL,\n"
            "    tool_version text NOT NULL,\n"
            "    record text NOT NULL\n"
            ")",
            "CREATE INDEX attempts_by_serial ON attempts (unit_serial, finished)",
            // A yield's columns in a yield's order: a summary of a year is
            // read from this index alone, without a sort or the rows' texts.
            "CREATE INDEX attempts_tallies ON attempts (finished, started, uuid)\n"
            "    INCLUDE (unit_serial, unit_run, station, lane, image, image_sha256, outcome, ok)",
            // The failures alone, in the same order: the causes' few rows.
            "CREATE INDEX attempts_failed ON attempts (finished, started, uuid) WHERE NOT ok",
        },
    };
    return steps;
}

const QByteArray kMakeVersionTable = "CREATE TABLE history_schema (version integer NOT NULL)";

QByteArray versionInsert(int version)
{
    return "INSERT INTO history_schema (version) VALUES (" + QByteArray::number(version) + ')';
}

// A password in a text that names a connection: `password=...` in a
// connection string, `user:password@` in a URI.
const QRegularExpression &passwordPattern()
{
    static const QRegularExpression pattern(
        uR"((\bpassword\s*=\s*)('(?:[^'\\]|\\.)*'?|\S+)|(\bpostgres(?:ql)?://[^:/@\s]*:)[^@/\s]*@)"_s,
        QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

// `text` with any password in it blotted out.
QString withoutPassword(QString text)
{
    QString out;
    qsizetype from = 0;
    auto it = passwordPattern().globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        out += QStringView(text).mid(from, m.capturedStart() - from);
        out += m.capturedLength(1) > 0 ? m.captured(1) + u"***"_s : m.captured(3) + u"***@"_s;
        from = m.capturedEnd();
    }
    out += QStringView(text).mid(from);
    return out;
}

// A server's message is a sentence or two; more is not its message.
constexpr qsizetype kMaxMessage = 1000;

// libpq's and the server's messages end in a line feed, and their details
// and hints are lines of their own: one line, bounded, without a password.
QString oneLine(const QByteArray &message)
{
    QString text = withoutPassword(QString::fromUtf8(message)).left(kMaxMessage).trimmed();
    text.replace(QRegularExpression(u"\\s*\\n\\s*"_s), u"; "_s);
    return printableText(text);
}

const QString kPasswordAdvice = u"put it in ~/.pgpass, in the file PGPASSFILE names, or in a service file "
                                "(service=NAME), not in the connection string"_s;

// The server takes no NUL in a text; one in a message or a cause (from an
// instrument's bytes) would refuse its row, and every row behind it, forever.
QByteArray textOf(const QString &text)
{
    if (!text.contains(QChar(0)))
        return text.toUtf8();
    QString copy = text;
    return copy.replace(QChar(0), QChar(QChar::ReplacementCharacter)).toUtf8();
}

QByteArrayList valuesOf(const HistoryRow &r)
{
    return {textOf(r.uuid),
            textOf(r.started),
            textOf(r.finished),
            textOf(r.station),
            textOf(r.operatorName),
            textOf(r.unitSerial),
            textOf(r.unitRun),
            textOf(r.lane),
            textOf(r.port),
            textOf(r.image),
            textOf(r.imageSha256),
            textOf(r.outcome),
            r.ok ? "t" : "f",
            QByteArray::number(r.attempt),
            QByteArray::number(r.attempts),
            QByteArray::number(r.failedLine),
            textOf(r.message),
            textOf(r.cause),
            textOf(r.tool),
            textOf(r.toolVersion),
            textOf(r.record)};
}

HistoryRow rowFrom(PGresult *res)
{
    const auto text = [res](int column) { return QString::fromUtf8(PQgetvalue(res, 0, column)); };
    HistoryRow r;
    int i = 0;
    r.uuid = text(i++);
    r.started = text(i++);
    r.finished = text(i++);
    r.station = text(i++);
    r.operatorName = text(i++);
    r.unitSerial = text(i++);
    r.unitRun = text(i++);
    r.lane = text(i++);
    r.port = text(i++);
    r.image = text(i++);
    r.imageSha256 = text(i++);
    r.outcome = text(i++);
    r.ok = text(i++) == u"t"_s;
    r.attempt = text(i++).toInt();
    r.attempts = text(i++).toInt();
    r.failedLine = text(i++).toInt();
    r.message = text(i++);
    r.cause = text(i++);
    r.tool = text(i++);
    r.toolVersion = text(i++);
    r.record = text(i++);
    return r;
}

} // namespace

ServerStore::ServerStore()
{
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0)
        m_wake[0] = m_wake[1] = -1;
}

ServerStore::~ServerStore()
{
    close();
    for (int fd : m_wake) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool ServerStore::checkConninfo(const QString &conninfo, QString *error)
{
    // Looked for in the text first: a string libpq cannot read may hold one
    // too, and its reading error might quote it.
    if (passwordPattern().match(conninfo).hasMatch()) {
        *error = QObject::tr("the connection string holds a password: %1").arg(kPasswordAdvice);
        return false;
    }
    char *message = nullptr;
    PQconninfoOption *options = PQconninfoParse(conninfo.toUtf8().constData(), &message);
    if (!options) {
        *error = QObject::tr("not a connection string libpq reads: %1")
                     .arg(message ? oneLine(message) : QObject::tr("out of memory"));
        PQfreemem(message);
        return false;
    }
    bool holdsPassword = false;
    for (const PQconninfoOption *o = options; o->keyword; ++o) {
        if (std::strcmp(o->keyword, "password") == 0 && o->val && *o->val)
            holdsPassword = true;
    }
    PQconninfoFree(options);
    if (holdsPassword) {
        *error = QObject::tr("the connection string holds a password: %1").arg(kPasswordAdvice);
        return false;
    }
    return true;
}

QString ServerStore::schemaSql()
{
    QByteArrayList statements{"BEGIN", kMakeVersionTable};
    for (qsizetype step = 0; step < migrations().size(); ++step) {
        statements += migrations().at(step);
        statements += versionInsert(int(step + 1));
    }
    statements += "COMMIT";
    return QString::fromUtf8(statements.join(";\n") + ";\n");
}

void ServerStore::abort()
{
    m_aborted = true;
    if (m_wake[1] >= 0) {
        const char byte = 1;
        (void)!::write(m_wake[1], &byte, 1);
    }
}

bool ServerStore::fail(const QString &what)
{
    m_error = QObject::tr("history server: %1").arg(what);
    return false;
}

bool ServerStore::failConnection()
{
    fail(m_conn ? oneLine(PQerrorMessage(m_conn)) : QObject::tr("not connected"));
    // A connection that is gone is made again by the next open().
    if (m_conn && PQstatus(m_conn) == CONNECTION_BAD)
        close();
    return false;
}

void ServerStore::close()
{
    if (m_conn)
        PQfinish(m_conn);
    m_conn = nullptr;
}

bool ServerStore::waitForSocket(short events)
{
    for (;;) {
        if (m_aborted) {
            close();
            return fail(QObject::tr("stopped"));
        }
        const int socket = PQsocket(m_conn);
        if (socket < 0)
            return failConnection();
        pollfd fds[2] = {{socket, events, 0}, {m_wake[0], POLLIN, 0}};
        const qint64 left = m_deadline.remainingTime();
        const int ready = ::poll(fds, m_wake[0] >= 0 ? 2 : 1, left < 0 ? -1 : int(std::min<qint64>(left, INT_MAX)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            const QString reason = QString::fromLocal8Bit(std::strerror(errno));
            close();
            return fail(reason);
        }
        if (fds[1].revents != 0)
            continue; // aborted: said above
        if (ready == 0) {
            // Whatever it was doing, the server's answer would come too late.
            close();
            return fail(QObject::tr("no answer in the time given"));
        }
        return true;
    }
}

bool ServerStore::connectTo(const QString &conninfo)
{
    close();
    m_error.clear();
    QString refused;
    if (!checkConninfo(conninfo, &refused))
        return fail(refused);
    const QByteArray info = conninfo.toUtf8();
    // Before the connection string, so that it may say otherwise: the name
    // the server's activity lists show, and keep-alives that find a server
    // gone behind a silent network in about a minute, not hours. After it:
    // the encoding every text is sent in.
    const char *const keywords[] = {"fallback_application_name",
                                    "keepalives_idle",
                                    "keepalives_interval",
                                    "keepalives_count",
                                    "dbname",
                                    "client_encoding",
                                    nullptr};
    const char *const values[] = {"wexel-update", "30", "10", "3", info.constData(), "UTF8", nullptr};
    m_conn = PQconnectStartParams(keywords, values, 1);
    if (!m_conn)
        return fail(QObject::tr("out of memory"));
    if (PQstatus(m_conn) == CONNECTION_BAD)
        return failConnection();
    // Begins as if the socket had been found writable.
    PostgresPollingStatusType status = PGRES_POLLING_WRITING;
    while (status != PGRES_POLLING_OK) {
        if (status == PGRES_POLLING_FAILED)
            return failConnection();
        if (!waitForSocket(status == PGRES_POLLING_READING ? POLLIN : POLLOUT))
            return false;
        status = PQconnectPoll(m_conn);
    }
    // Sending waits in waitForSocket() too, not in the kernel.
    if (PQsetnonblocking(m_conn, 1) != 0)
        return failConnection();
    return true;
}

bool ServerStore::run(const QByteArray &sql, const QByteArrayList &params, const std::function<void(pg_result *)> &row,
                      qint64 *affected)
{
    if (!m_conn)
        return fail(QObject::tr("not connected"));
    if (m_aborted) {
        close();
        return fail(QObject::tr("stopped"));
    }
    m_sqlState.clear();
    std::vector<const char *> values;
    values.reserve(size_t(params.size()));
    for (const QByteArray &p : params)
        values.push_back(p.constData());
    if (!PQsendQueryParams(m_conn, sql.constData(), int(values.size()), nullptr, values.data(), nullptr, nullptr, 0))
        return failConnection();
    if (row && !PQsetSingleRowMode(m_conn))
        return failConnection();
    for (;;) {
        const int flushed = PQflush(m_conn);
        if (flushed == 0)
            break;
        // The server may answer while the rest is on its way.
        if (flushed < 0 || !waitForSocket(POLLIN | POLLOUT) || !PQconsumeInput(m_conn))
            return m_conn ? failConnection() : false;
    }
    QString error;
    for (;;) {
        while (PQisBusy(m_conn)) {
            if (!waitForSocket(POLLIN))
                return false;
            if (!PQconsumeInput(m_conn))
                return failConnection();
        }
        PGresult *res = PQgetResult(m_conn);
        if (!res)
            break;
        switch (PQresultStatus(res)) {
        case PGRES_SINGLE_TUPLE:
            if (error.isEmpty())
                row(res);
            break;
        case PGRES_TUPLES_OK:
        case PGRES_COMMAND_OK:
            if (affected)
                *affected += QByteArray(PQcmdTuples(res)).toLongLong();
            break;
        default:
            if (error.isEmpty()) {
                const char *primary = PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY);
                error = oneLine(primary ? QByteArray(primary) : QByteArray(PQresultErrorMessage(res)));
                m_sqlState = QString::fromLatin1(PQresultErrorField(res, PG_DIAG_SQLSTATE));
                if (error.isEmpty())
                    error = oneLine(PQerrorMessage(m_conn));
            }
            break;
        }
        PQclear(res);
    }
    if (error.isEmpty())
        return true;
    fail(error);
    if (PQstatus(m_conn) == CONNECTION_BAD)
        close();
    return false;
}

void ServerStore::rollbackOrDrop()
{
    if (!m_conn || PQtransactionStatus(m_conn) == PQTRANS_IDLE)
        return;
    const QString error = m_error;
    if (!run("ROLLBACK"))
        close();
    m_error = error;
}

int ServerStore::schemaVersion(bool *ok)
{
    int version = 0;
    bool there = false;
    *ok = run("SELECT to_regclass('history_schema') IS NOT NULL", {},
              [&](PGresult *res) { there = QByteArray(PQgetvalue(res, 0, 0)) == "t"; })
        && (!there || run("SELECT COALESCE(MAX(version), 0) FROM history_schema", {}, [&](PGresult *res) {
               version = QByteArray(PQgetvalue(res, 0, 0)).toInt();
           }));
    return version;
}

bool ServerStore::migrate()
{
    bool ok = false;
    int version = schemaVersion(&ok);
    if (!ok) {
        // insufficient_privilege: the tables are there, the grants are not.
        if (m_sqlState == u"42501"_s)
            m_error += QObject::tr(" (this role may not read the unit history: the database's owner grants it "
                                   "SELECT and INSERT on attempts and history_schema)");
        return false;
    }
    if (version == kSchemaVersion)
        return true; // no more is asked of a role than to read and add rows
    // The check again under the lock: another station may be making it.
    ok = run("BEGIN") && run("SELECT pg_advisory_xact_lock(" + QByteArray(kSchemaLock) + ')');
    bool there = false;
    ok = ok
        && run("SELECT to_regclass('history_schema') IS NOT NULL", {},
               [&](PGresult *res) { there = QByteArray(PQgetvalue(res, 0, 0)) == "t"; })
        && (there || run(kMakeVersionTable));
    ok = ok && run("SELECT COALESCE(MAX(version), 0) FROM history_schema", {}, [&](PGresult *res) {
             version = QByteArray(PQgetvalue(res, 0, 0)).toInt();
         });
    if (ok && version > kSchemaVersion) {
        rollbackOrDrop();
        return fail(QObject::tr("its unit history was made by a newer Wexel Update (schema %1; this one knows "
                                "up to %2): update this tool")
                        .arg(version)
                        .arg(kSchemaVersion));
    }
    for (int next = version + 1; ok && next <= kSchemaVersion; ++next) {
        for (const QByteArray &statement : migrations().at(next - 1))
            ok = ok && run(statement);
        ok = ok && run(versionInsert(next));
    }
    ok = ok && run("COMMIT");
    if (ok)
        return true;
    // insufficient_privilege: a role that may add rows but not make tables.
    if (m_sqlState == u"42501"_s) {
        m_error += QObject::tr(" (the unit history's tables are not there yet, or are of an older version, "
                               "and this role may not make them: the database's owner makes them once, with "
                               "the tool or with the SQL of the README's \"Central server\")");
    }
    rollbackOrDrop();
    return false;
}

bool ServerStore::open(const QString &conninfo)
{
    if (!connectTo(conninfo))
        return false;
    if (!migrate()) {
        close();
        return false;
    }
    return true;
}

bool ServerStore::send(const QList<HistoryRow> &rows, qint64 *added)
{
    qint64 count = 0;
    if (rows.isEmpty()) {
        if (added)
            *added = 0;
        return true;
    }
    if (!m_conn)
        return fail(QObject::tr("not connected"));
    bool ok = run("BEGIN");
    for (qsizetype from = 0; ok && from < rows.size(); from += kRowsPerStatement) {
        const qsizetype n = std::min<qsizetype>(kRowsPerStatement, rows.size() - from);
        QByteArray sql = "INSERT INTO attempts (" + kColumns + ") VALUES ";
        QByteArrayList params;
        params.reserve(n * kColumnCount);
        for (qsizetype i = 0; i < n; ++i) {
            sql += i == 0 ? "(" : ",(";
            for (int c = 0; c < kColumnCount; ++c) {
                if (c > 0)
                    sql += ',';
                sql += '$' + QByteArray::number(params.size() + c + 1) + kColumnCasts[c];
            }
            sql += ')';
            params += valuesOf(rows.at(from + i));
        }
        sql += " ON CONFLICT (uuid) DO NOTHING";
        ok = run(sql, params, {}, &count);
    }
    ok = ok && run("COMMIT");
    if (!ok) {
        rollbackOrDrop();
        return false;
    }
    if (added)
        *added = count;
    return true;
}

namespace {

// The SELECT of `columns` (finished, started and uuid among them) that
// read() and scan() run: the rows matching,
// oldest first, the newest `limit` when there is one; *values the
// parameters it binds.
QString selectStatement(const QString &columns, const HistoryStore::Filter &filter, QByteArrayList *valuesOut)
{
    QStringList where;
    QByteArrayList &values = *valuesOut;
    // The store's ? marks as the server's numbered parameters.
    for (const HistoryStore::Filter::Condition &condition : filter.conditions()) {
        QString sql;
        qsizetype next = values.size();
        for (const QChar c : condition.sql)
            sql += c == u'?' ? u'$' + QString::number(++next) : QString(c);
        for (const QString &value : condition.values)
            values += textOf(value);
        where << sql;
    }
    QString sql = u"SELECT %1 FROM attempts"_s.arg(columns);
    if (!where.isEmpty())
        sql += u" WHERE "_s + where.join(u" AND "_s);
    // The newest `limit`, still told oldest first. Rows of the same
    // millisecond in a fixed order: the server keeps no order of arrival.
    if (filter.limit > 0)
        sql = u"SELECT * FROM (%1 ORDER BY finished DESC, started DESC, uuid DESC LIMIT %2) AS newest"_s.arg(sql).arg(
            filter.limit);
    // The columns in `columns`' order; started and uuid among them.
    return u"SELECT * FROM (%1) AS matching ORDER BY finished, started, uuid"_s.arg(sql);
}

} // namespace

bool ServerStore::read(const HistoryStore::Filter &filter, const std::function<void(const HistoryRow &)> &row,
                       QString *error)
{
    QByteArrayList values;
    const QString sql = selectStatement(QString::fromLatin1(kColumns), filter, &values);
    const bool ok = m_conn ? run(sql.toUtf8(), values, [&row](PGresult *res) { row(rowFrom(res)); })
                           : fail(QObject::tr("not connected"));
    if (!ok && error)
        *error = m_error;
    return ok;
}

bool ServerStore::scan(const HistoryStore::Filter &filter, HistoryStore::AttemptView::Texts texts,
                       const std::function<void(const HistoryStore::AttemptView &)> &attempt, QString *error)
{
    QByteArrayList values;
    const QString sql
        = selectStatement(HistoryStore::AttemptView::columns(texts) + u", started, uuid"_s, filter, &values);
    // The tallies' columns as the server sends them, never made into a
    // HistoryRow of QStrings: a year's attempts in a second or two.
    const bool ok = m_conn ? run(sql.toUtf8(), values,
                                 [&attempt, texts](PGresult *res) {
                                     const auto column = [res](int i) {
                                         return QByteArrayView(PQgetvalue(res, 0, i), PQgetlength(res, 0, i));
                                     };
                                     attempt(HistoryStore::AttemptView::of(column, column(7) == "t", texts));
                                 })
                           : fail(QObject::tr("not connected"));
    if (!ok && error)
        *error = m_error;
    return ok;
}
