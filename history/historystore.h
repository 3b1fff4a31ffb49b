#pragma once

#include "core/update/runrecord.h"
#include "history/historyrow.h"

#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QString>

#include <functional>

// The unit history of one station: every attempt of every program, one row
// each, in an SQLite database that outlives the programs. A row is on the
// disk before the outcome it belongs to is shown (write-ahead log, each
// commit synced). The database is never replaced or recreated: a file that
// is not one, a damaged one, or one a newer tool made is an error naming it.
class HistoryStore : public RecordKeeper
{
public:
    // Who keeps the rows: the station and the operator, on every row.
    struct Keeper
    {
        QString station;
        QString operatorName;
    };

    // The schema this build writes; a database of a higher version is refused.
    static constexpr int kSchemaVersion = 1;
    // How long a write waits by default for another program holding the database.
    static constexpr int kBusyTimeoutMs = 5000;
    // The host and login names taken as station and operator, cut to this.
    static constexpr int kMaxDefaultText = 64;

    HistoryStore();
    ~HistoryStore() override;
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    // The history's place when none is given: the user's data location.
    static QString defaultPath();
    // The same, as the help says it: the same on every machine, so that a
    // manual page made on a build machine says it rightly.
    static QString defaultPlace();
    // The station id and operator when none are given: the host and login names.
    static Keeper defaultKeeper();

    // Write: the programs that keep attempts. ReadOnly: reports, which must
    // leave the history as they found it (SQLite may make the shared-memory
    // and log files of its write-ahead mode beside it, as it does for any
    // reader; the history itself is not written).
    enum class OpenMode { Write, ReadOnly };

    // Opens the database at `path`. Write makes it (and its folder) when there
    // is none and brings its schema up to this build's; ReadOnly makes,
    // migrates and writes nothing, and takes only a history of this build's
    // schema. False with error() set.
    bool open(const QString &path, OpenMode mode = OpenMode::Write);
    // How long a write waits for another program holding the database
    // before its row is lost (and a reader for a writer); from the next open().
    void setBusyTimeout(int ms) { m_busyTimeoutMs = ms; }
    bool isOpen() const;
    void close();
    QString path() const { return m_path; }
    QString error() const { return m_error; }

    void setKeeper(const Keeper &keeper) { m_keeper = keeper; }
    // The unit serial of the updates on `port` (the lane's port text); empty
    // clears it.
    void setUnitSerial(const QString &port, const QString &serial);

    // RecordKeeper: one row for the record of one attempt, committed.
    bool keep(const QJsonObject &record, QString *error) override;
    // Adds rows as they are, in one transaction (imports, tests, benchmarks).
    bool insert(const QList<HistoryRow> &rows);

    // What reports read, oldest first.
    struct Filter
    {
        QString since; // ISO times, inclusive; empty: open
        QString until; // exclusive
        QString station;
        QString lane;
        QString image; // a path, a file name or a SHA-256
        QString unitSerial;
        int limit = 0; // the newest `limit` rows only; 0: all
        bool failuresOnly = false; // the attempts that failed, none that passed

        // What the filter asks of a row, the same in every store: SQL
        // conditions with a ? for each value, and the values in order.
        struct Condition
        {
            QString sql;
            QStringList values;
        };
        QList<Condition> conditions() const;
    };
    // Calls `row` for each row matching, oldest first; false with error() set.
    bool read(const Filter &filter, const std::function<void(const HistoryRow &)> &row);

    // The columns tallies over many rows read, as SQLite holds them: UTF-8,
    // valid only during the call that gives them.
    struct AttemptView
    {
        QByteArrayView unit; // HistoryRow::unit()
        QByteArrayView finished;
        QByteArrayView station;
        QByteArrayView lane;
        QByteArrayView image;
        QByteArrayView imageSha256;
        QByteArrayView outcome;
        bool ok = false;
        QByteArrayView message;
        QByteArrayView cause;

        // Whether message and cause are read, or left empty: a yield needs
        // neither, and a central server then answers from an index alone.
        enum class Texts { Skipped, Read };

        // The columns a store selects for it (expressions over the
        // attempts'), and the view of one row of them: `column(i)` the i-th,
        // `ok` as the store keeps it.
        static QString columns(Texts texts);
        static AttemptView of(const std::function<QByteArrayView(int)> &column, bool ok, Texts texts);
    };
    // The same rows as read(), in the same order, as those columns only, and
    // read without Qt SQL: a tally of a year's attempts takes a second, not ten.
    bool scan(const Filter &filter, AttemptView::Texts texts, const std::function<void(const AttemptView &)> &attempt);

    // Store-and-forward: rows not yet on the server, oldest first, at most
    // `limit`; and marking them sent.
    bool unforwarded(int limit, QList<HistoryRow> *rows);
    bool markForwarded(const QStringList &uuids);
    qint64 unforwardedCount();

    // The row a record becomes, before it gets its uuid.
    HistoryRow rowOf(const QJsonObject &record);

private:
    bool exec(const QString &statement);
    // Empty, or a history: false with m_error set for another program's database.
    bool isHistory();
    bool migrate();
    bool checkSchema();
    bool failNewer(int version);
    bool fail(const QString &what);

    QString m_connection;
    QString m_path;
    QString m_error;
    Keeper m_keeper;
    int m_busyTimeoutMs = kBusyTimeoutMs;
    QHash<QString, QString> m_serials; // port -> unit serial
    QHash<QString, QString> m_runs; // port -> the unit run of its last attempt
};
