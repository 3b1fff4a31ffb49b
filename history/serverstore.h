#pragma once

#include "history/historyrow.h"
#include "history/historystore.h"

#include <QByteArrayList>
#include <QDeadlineTimer>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>

struct pg_conn;
struct pg_result;

// The central unit history: the attempts of every station in one
// PostgreSQL database, reached through libpq, so that a connection string
// means what it means to every PostgreSQL tool (service=NAME, ~/.pgpass,
// PGPASSFILE, the PG* variables). A row is identified by its uuid: a row
// sent twice is kept once. The schema is made on first use, with the same
// version table and columns as a station's history; a schema a newer tool
// made is refused. Every wait for the server can be bounded and cut short,
// so that nothing waits on a server that does not answer. Not a QObject and
// bound to no thread: one thread at a time uses it, any may abort().
class ServerStore
{
public:
    // The server's schema this build writes; a higher one is refused.
    static constexpr int kSchemaVersion = 1;
    // Rows in one INSERT: 21 parameters each, within the 65,535 the protocol
    // allows a statement, and few round trips for a batch.
    static constexpr int kRowsPerStatement = 1000;

    ServerStore();
    ~ServerStore();
    ServerStore(const ServerStore &) = delete;
    ServerStore &operator=(const ServerStore &) = delete;

    // Whether the tool takes `conninfo`: a connection string or URI libpq
    // reads, holding no password (a password given on a command line is seen
    // by every user of the machine). False with *error saying why; the
    // error never holds the password.
    static bool checkConninfo(const QString &conninfo, QString *error);
    // The SQL that makes this build's schema in an empty database, for an
    // administrator who does not let the tool make it.
    static QString schemaSql();

    // Every wait for the server ends by then; the default is never.
    void setDeadline(QDeadlineTimer deadline) { m_deadline = deadline; }
    // From any thread: the wait in progress and every later one end at once
    // with an error. For the end of the store's user; there is no undoing it.
    void abort();

    // Connects and brings the schema up to this build's (making it on first
    // use). False with error() set.
    bool open(const QString &conninfo);
    bool isOpen() const { return m_conn != nullptr; }
    void close();
    QString error() const { return m_error; }

    // Adds the rows not there yet (by uuid), in one transaction: all of them
    // are on the server when it returns true. *added: how many were new.
    bool send(const QList<HistoryRow> &rows, qint64 *added = nullptr);

    // Calls `row` for each row matching, oldest first, as HistoryStore::read
    // does; false with *error set (and error()).
    bool read(const HistoryStore::Filter &filter, const std::function<void(const HistoryRow &)> &row, QString *error);
    // The same rows, in the same order, as the columns the tallies read
    // (HistoryStore::scan's); false with *error set.
    bool scan(const HistoryStore::Filter &filter, HistoryStore::AttemptView::Texts texts,
              const std::function<void(const HistoryStore::AttemptView &)> &attempt, QString *error);

private:
    bool connectTo(const QString &conninfo);
    bool migrate();
    int schemaVersion(bool *ok);
    // One statement: true when the server ran it; each row to `row` when
    // given (single-row mode), the count of rows it touched to *affected.
    bool run(const QByteArray &sql, const QByteArrayList &params = {}, const std::function<void(pg_result *)> &row = {},
             qint64 *affected = nullptr);
    bool waitForSocket(short events);
    bool fail(const QString &what);
    bool failConnection();
    void rollbackOrDrop();

    pg_conn *m_conn = nullptr;
    QString m_error;
    QString m_sqlState; // of the last statement that failed
    QDeadlineTimer m_deadline = QDeadlineTimer(QDeadlineTimer::Forever);
    std::atomic<bool> m_aborted{false};
    int m_wake[2] = {-1, -1}; // written by abort(): poll() wakes on it
};
