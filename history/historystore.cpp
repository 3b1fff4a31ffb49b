#include "history/historystore.h"

#include "core/common/localpath.h"
#include "core/common/printablebytes.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUuid>
#include <QVariant>

#include <sqlite3.h>

#include <atomic>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

// Each store has a connection of its own: Qt names connections program-wide.
QString newConnectionName()
{
    static std::atomic<int> count{0};
    return QStringLiteral("wexel-history-%1").arg(++count);
}

// What every SQLite database starts with.
constexpr char kSqliteHeader[] = "SQLite format 3";

// The schema, one step per version; a step runs once, in a transaction,
// and never changes once released: a later change is a new step.
const QList<QStringList> &migrations()
{
    static const QList<QStringList> steps{
        // 1: the attempts.
        {
            QStringLiteral("CREATE TABLE attempts ("
                           " uuid TEXT PRIMARY KEY NOT NULL,"
                           " started TEXT NOT NULL,"
                           " finished TEXT NOT NULL,"
                           " station TEXT NOT NULL,"
                           " operator TEXT NOT NULL,"
                           " unit_serial TEXT NOT NULL,"
                           " unit_run TEXT NOT NULL,"
                           " lane TEXT NOT NULL,"
                           " port TEXT NOT NULL,"
                           " image TEXT NOT NULL,"
                           " image_sha256 TEXT NOT NULL,"
                           " outcome TEXT NOT NULL,"
                           " ok INTEGER NOT NULL,"
                           " attempt INTEGER NOT NULL,"
                           " attempts INTEGER NOT NULL,"
                           " failed_line INTEGER NOT NULL,"
                           " message TEXT NOT NULL,"
                           " cause TEXT NOT NULL,"
                           " tool TEXT NOT NULL,"
                           " tool_version TEXT NOT NULL,"
                           " record TEXT NOT NULL,"
                           " forwarded INTEGER NOT NULL DEFAULT 0)"),
            QStringLiteral("CREATE INDEX attempts_by_finished ON attempts (finished)"),
            QStringLiteral("CREATE INDEX attempts_by_serial ON attempts (unit_serial, finished)"),
            QStringLiteral("CREATE INDEX attempts_to_forward ON attempts (finished) WHERE forwarded = 0"),
        },
    };
    return steps;
}

const QString kColumns
    = QStringLiteral("uuid, started, finished, station, operator, unit_serial, unit_run, lane, port, "
                     "image, image_sha256, outcome, ok, attempt, attempts, failed_line, message, "
                     "cause, tool, tool_version, record");

void bindRow(QSqlQuery &q, const HistoryRow &r)
{
    const QVariantList values{r.uuid,    r.started,     r.finished, r.station,    r.operatorName, r.unitSerial,
                              r.unitRun, r.lane,        r.port,     r.image,      r.imageSha256,  r.outcome,
                              int(r.ok), r.attempt,     r.attempts, r.failedLine, r.message,      r.cause,
                              r.tool,    r.toolVersion, r.record};
    // Every column is NOT NULL: a text not given is an empty one.
    for (qsizetype i = 0; i < values.size(); ++i) {
        const QVariant &v = values.at(i);
        q.bindValue(int(i), v.typeId() == QMetaType::QString && v.toString().isNull() ? QVariant(u""_s) : v);
    }
}

HistoryRow rowFrom(const QSqlQuery &q)
{
    HistoryRow r;
    int i = 0;
    r.uuid = q.value(i++).toString();
    r.started = q.value(i++).toString();
    r.finished = q.value(i++).toString();
    r.station = q.value(i++).toString();
    r.operatorName = q.value(i++).toString();
    r.unitSerial = q.value(i++).toString();
    r.unitRun = q.value(i++).toString();
    r.lane = q.value(i++).toString();
    r.port = q.value(i++).toString();
    r.image = q.value(i++).toString();
    r.imageSha256 = q.value(i++).toString();
    r.outcome = q.value(i++).toString();
    r.ok = q.value(i++).toInt() != 0;
    r.attempt = q.value(i++).toInt();
    r.attempts = q.value(i++).toInt();
    r.failedLine = q.value(i++).toInt();
    r.message = q.value(i++).toString();
    r.cause = q.value(i++).toString();
    r.tool = q.value(i++).toString();
    r.toolVersion = q.value(i++).toString();
    r.record = q.value(i++).toString();
    return r;
}

QString placeholders(int count)
{
    QStringList marks;
    for (int i = 0; i < count; ++i)
        marks << QStringLiteral("?");
    return marks.join(u',');
}

// The rows a filter selects, oldest first: `columns` of each (the
// attempts' own names, or expressions over them). The values to bind, in
// order, go to *values.
QString selectStatement(const QString &columns, const HistoryStore::Filter &filter, QVariantList *values)
{
    QStringList where;
    for (const HistoryStore::Filter::Condition &condition : filter.conditions()) {
        where << condition.sql;
        for (const QString &value : condition.values)
            *values << value;
    }
    QString sql = QStringLiteral("SELECT rowid AS n, * FROM attempts");
    if (!where.isEmpty())
        sql += QStringLiteral(" WHERE ") + where.join(QStringLiteral(" AND "));
    // The newest `limit`, still told oldest first.
    if (filter.limit > 0)
        sql = QStringLiteral("SELECT * FROM (%1 ORDER BY finished DESC, n DESC LIMIT %2)").arg(sql).arg(filter.limit);
    return QStringLiteral("SELECT %1 FROM (%2) ORDER BY finished, n").arg(columns, sql);
}

} // namespace

QList<HistoryStore::Filter::Condition> HistoryStore::Filter::conditions() const
{
    // `text` matched as it is by LIKE ... ESCAPE '\\'.
    const auto likeLiteral = [](QString text) {
        return text.replace(u'\\', QStringLiteral("\\\\"))
            .replace(u'%', QStringLiteral("\\%"))
            .replace(u'_', QStringLiteral("\\_"));
    };
    QList<Condition> all;
    if (!since.isEmpty())
        all.append({QStringLiteral("finished >= ?"), {since}});
    if (!until.isEmpty())
        all.append({QStringLiteral("finished < ?"), {until}});
    if (!station.isEmpty())
        all.append({QStringLiteral("station = ?"), {station}});
    if (!lane.isEmpty())
        all.append({QStringLiteral("lane = ?"), {lane}});
    if (!unitSerial.isEmpty())
        all.append({QStringLiteral("unit_serial = ?"), {unitSerial}});
    if (!image.isEmpty())
        all.append({QStringLiteral("(image = ? OR image_sha256 = ? OR image LIKE ? ESCAPE '\\')"),
                    {image, image.toLower(), QStringLiteral("%/") + likeLiteral(image)}});
    if (failuresOnly)
        all.append({QStringLiteral("NOT ok"), {}});
    return all;
}

QString HistoryStore::AttemptView::columns(Texts texts)
{
    return QStringLiteral("CASE WHEN unit_serial = '' THEN unit_run ELSE unit_serial END AS unit, finished, station, "
                          "lane, image, image_sha256, outcome, ok")
        + (texts == Texts::Read ? QStringLiteral(", message, cause") : QString());
}

HistoryStore::AttemptView HistoryStore::AttemptView::of(const std::function<QByteArrayView(int)> &column, bool ok,
                                                        Texts texts)
{
    AttemptView view;
    view.unit = column(0);
    view.finished = column(1);
    view.station = column(2);
    view.lane = column(3);
    view.image = column(4);
    view.imageSha256 = column(5);
    view.outcome = column(6);
    view.ok = ok;
    if (texts == Texts::Read) {
        view.message = column(8);
        view.cause = column(9);
    }
    return view;
}

QString HistoryRow::day() const
{
    return QDateTime::fromString(finished, Qt::ISODateWithMs).toLocalTime().date().toString(Qt::ISODate);
}

HistoryStore::HistoryStore()
    : m_connection(newConnectionName())
{ }

HistoryStore::~HistoryStore()
{
    close();
}

QString HistoryStore::defaultPath()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("wexel-update/history.sqlite"));
}

QString HistoryStore::defaultPlace()
{
#ifdef Q_OS_WIN
    return QStringLiteral("%LOCALAPPDATA%\\wexel-update\\history.sqlite");
#else
    return QStringLiteral("$XDG_DATA_HOME/wexel-update/history.sqlite, ~/.local/share/wexel-update/history.sqlite "
                          "without it");
#endif
}

HistoryStore::Keeper HistoryStore::defaultKeeper()
{
    QString login;
    for (const char *name : {"USER", "LOGNAME", "USERNAME"}) {
        if (login.isEmpty())
            login = qEnvironmentVariable(name).left(HistoryStore::kMaxDefaultText);
    }
    const QString host = QSysInfo::machineHostName().left(HistoryStore::kMaxDefaultText);
    return {host.isEmpty() ? QStringLiteral("unknown") : host, login.isEmpty() ? QStringLiteral("unknown") : login};
}

bool HistoryStore::fail(const QString &what)
{
    m_error = QObject::tr("history %1: %2").arg(printableText(m_path), what);
    return false;
}

bool HistoryStore::open(const QString &path, OpenMode mode)
{
    close();
    m_path = path;
    m_error.clear();
    const bool readOnly = mode == OpenMode::ReadOnly;
    const QFileInfo info(path);
    if (info.isDir())
        return fail(QObject::tr("is a folder, not a history"));
    if (info.exists()) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return fail(file.errorString());
        const QByteArray head = file.read(sizeof kSqliteHeader);
        // An empty file is a history not begun (SQLite makes it so): a writer
        // begins it, a reader finds nothing in it.
        if (head.isEmpty() && readOnly)
            return fail(QObject::tr("is empty: no attempt has been kept in it"));
        if (!head.isEmpty() && head != QByteArray(kSqliteHeader, sizeof kSqliteHeader))
            return fail(QObject::tr("not an SQLite database; it is left as it is"));
    } else if (readOnly) {
        return fail(QObject::tr("no such file: no attempt has been kept there"));
    } else if (!QDir().mkpath(info.absolutePath())) {
        return fail(QObject::tr("its folder cannot be made"));
    }
    // SQLite would only say it cannot open the file. A reader needs neither.
    if (!readOnly && info.exists() && !info.isWritable())
        return fail(QObject::tr("is read-only; a history is written to"));
    if (!readOnly && !QFileInfo(info.absolutePath()).isWritable())
        return fail(QObject::tr("its folder is read-only; a history writes its log beside it"));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        if (!db.isValid())
            return fail(QObject::tr("Qt's SQLite driver is missing (Debian: libqt6sql6-sqlite)"));
        db.setDatabaseName(path);
        QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(m_busyTimeoutMs);
        if (readOnly)
            options += QStringLiteral(";QSQLITE_OPEN_READONLY");
        db.setConnectOptions(options);
        if (!db.open()) {
            fail(db.lastError().text());
            close();
            return false;
        }
    }
    // Each commit is on the disk when it returns; readers never block the
    // writer. A reader leaves the journal mode to the writer: setting it writes.
    const bool ready = isHistory()
        && (readOnly ? checkSchema()
                     : (exec(QStringLiteral("PRAGMA journal_mode=WAL"))
                        && exec(QStringLiteral("PRAGMA synchronous=FULL")) && migrate()));
    if (!ready) {
        QString error = m_error;
        // A reader of a history in write-ahead mode needs SQLite's shared
        // memory file beside it, which it makes when the writers have gone.
        if (readOnly && !QFileInfo::exists(path + QStringLiteral("-shm"))
            && !QFileInfo(info.absolutePath()).isWritable())
            error += QObject::tr(" (SQLite must make %1 beside it to read it, and this user may not write in its "
                                 "folder: read it as its owner, or a copy of it)")
                         .arg(printableText(info.fileName() + QStringLiteral("-shm")));
        close();
        m_error = error;
        return false;
    }
    return true;
}

bool HistoryStore::isOpen() const
{
    return QSqlDatabase::contains(m_connection) && QSqlDatabase::database(m_connection, false).isOpen();
}

void HistoryStore::close()
{
    if (!QSqlDatabase::contains(m_connection))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

bool HistoryStore::exec(const QString &statement)
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (!q.exec(statement))
        return fail(q.lastError().text());
    return true;
}

bool HistoryStore::isHistory()
{
    // Another program's database is not made into a history.
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (!q.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")))
        return fail(q.lastError().text());
    QStringList tables;
    while (q.next())
        tables << q.value(0).toString();
    if (!tables.isEmpty() && !tables.contains(QStringLiteral("history_schema")))
        return fail(QObject::tr("an SQLite database of something else (tables: %1); it is left as it is")
                        .arg(printableText(tables.mid(0, 5).join(QStringLiteral(", ")))));
    return true;
}

bool HistoryStore::migrate()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS history_schema (version INTEGER NOT NULL)")))
        return fail(q.lastError().text());
    if (!q.exec(QStringLiteral("SELECT MAX(version) FROM history_schema")) || !q.next())
        return fail(q.lastError().text());
    const int version = q.value(0).toInt();
    if (version > kSchemaVersion)
        return failNewer(version);
    for (int next = version + 1; next <= kSchemaVersion; ++next) {
        if (!db.transaction())
            return fail(db.lastError().text());
        bool done = true;
        for (const QString &statement : migrations().at(next - 1))
            done = done && q.exec(statement);
        done = done && q.exec(QStringLiteral("INSERT INTO history_schema (version) VALUES (%1)").arg(next));
        if (!done) {
            const QString error = q.lastError().text();
            db.rollback();
            return fail(error);
        }
        if (!db.commit())
            return fail(db.lastError().text());
    }
    return true;
}

bool HistoryStore::failNewer(int version)
{
    return fail(QObject::tr("written by a newer Wexel Update (schema %1; this one knows up to %2): "
                            "update this tool, or name another history")
                    .arg(version)
                    .arg(kSchemaVersion));
}

bool HistoryStore::checkSchema()
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'history_schema'"))
        || !q.next())
        return fail(q.lastError().text());
    if (q.value(0).toInt() == 0)
        return fail(QObject::tr("an SQLite database, but no unit history"));
    if (!q.exec(QStringLiteral("SELECT MAX(version) FROM history_schema")) || !q.next())
        return fail(q.lastError().text());
    const int version = q.value(0).toInt();
    if (version > kSchemaVersion)
        return failNewer(version);
    // Bringing it up to date is a write, which a reader must not make.
    if (version < kSchemaVersion)
        return fail(QObject::tr("kept by an older Wexel Update (schema %1; this one reads %2): a program that "
                                "updates units brings it up to date when it next opens it")
                        .arg(version)
                        .arg(kSchemaVersion));
    return true;
}

void HistoryStore::setUnitSerial(const QString &port, const QString &serial)
{
    if (serial.isEmpty())
        m_serials.remove(port);
    else
        m_serials.insert(port, serial);
}

HistoryRow HistoryStore::rowOf(const QJsonObject &record)
{
    HistoryRow r;
    r.started = record.value(u"started").toString();
    r.finished = record.value(u"finished").toString();
    r.station = m_keeper.station;
    r.operatorName = m_keeper.operatorName;
    r.lane = record.value(u"lane").toString();
    r.port = record.value(u"port").toString();
    r.unitSerial = m_serials.value(r.lane.isEmpty() ? r.port : r.lane, m_serials.value(r.port));
    r.image = record.value(u"image").toString();
    r.imageSha256 = record.value(u"image_sha256").toString();
    r.outcome = record.value(u"outcome").toString();
    r.ok = record.value(u"ok").toBool();
    r.attempt = record.value(u"attempt").toInt(1);
    r.attempts = record.value(u"of").toInt(1);
    r.failedLine = record.value(u"failed_line").toInt();
    r.message = record.value(u"message").toString();
    r.cause = record.value(u"cause").toString();
    r.tool = record.value(u"tool").toString();
    r.toolVersion = record.value(u"tool_version").toString();
    r.record = QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact));
    // A first attempt starts a unit at its lane; retries belong to it.
    const QString at = r.lane.isEmpty() ? r.port : r.lane;
    if (r.attempt <= 1 || !m_runs.contains(at))
        m_runs.insert(at, QUuid::createUuid().toString(QUuid::WithoutBraces));
    r.unitRun = m_runs.value(at);
    return r;
}

bool HistoryStore::keep(const QJsonObject &record, QString *error)
{
    HistoryRow row = rowOf(record);
    row.uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (!insert({row})) {
        if (error)
            *error = m_error;
        return false;
    }
    return true;
}

bool HistoryStore::insert(const QList<HistoryRow> &rows)
{
    if (!isOpen())
        return fail(QObject::tr("not open"));
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction())
        return fail(db.lastError().text());
    QSqlQuery q(db);
    bool done = q.prepare(QStringLiteral("INSERT INTO attempts (%1) VALUES (%2)").arg(kColumns, placeholders(21)));
    for (const HistoryRow &row : rows) {
        if (!done)
            break;
        bindRow(q, row);
        done = q.exec();
    }
    if (!done) {
        const QString error = q.lastError().text();
        db.rollback();
        return fail(error);
    }
    if (!db.commit()) {
        const QString error = db.lastError().text();
        db.rollback();
        return fail(error);
    }
    return true;
}

bool HistoryStore::read(const Filter &filter, const std::function<void(const HistoryRow &)> &row)
{
    if (!isOpen())
        return fail(QObject::tr("not open"));
    QVariantList values;
    const QString sql = selectStatement(kColumns, filter, &values);
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        return fail(q.lastError().text());
    for (qsizetype i = 0; i < values.size(); ++i)
        q.bindValue(int(i), values.at(i));
    if (!q.exec())
        return fail(q.lastError().text());
    while (q.next())
        row(rowFrom(q));
    return q.lastError().type() == QSqlError::NoError || fail(q.lastError().text());
}

bool HistoryStore::scan(const Filter &filter, AttemptView::Texts texts,
                        const std::function<void(const AttemptView &)> &attempt)
{
    if (!isOpen())
        return fail(QObject::tr("not open"));
    QVariantList values;
    const QString sql = selectStatement(AttemptView::columns(texts), filter, &values);
    // A connection of its own, read only, straight to SQLite: Qt SQL would
    // turn every text of every row into UTF-16 in a QVariant, several times
    // what SQLite itself takes to read a row.
    sqlite3 *handle = nullptr;
    const int opened = sqlite3_open_v2(LocalPath::toNative(m_path).constData(), &handle,
                                       SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3 *)> db(handle, sqlite3_close);
    if (opened != SQLITE_OK)
        return fail(handle ? QString::fromUtf8(sqlite3_errmsg(handle)) : QObject::tr("out of memory"));
    sqlite3_busy_timeout(db.get(), m_busyTimeoutMs);
    sqlite3_stmt *prepared = nullptr;
    const QByteArray text = sql.toUtf8();
    if (sqlite3_prepare_v2(db.get(), text.constData(), int(text.size()), &prepared, nullptr) != SQLITE_OK)
        return fail(QString::fromUtf8(sqlite3_errmsg(db.get())));
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> statement(prepared, sqlite3_finalize);
    for (qsizetype i = 0; i < values.size(); ++i) {
        const QByteArray value = values.at(i).toString().toUtf8();
        sqlite3_bind_text(prepared, int(i + 1), value.constData(), int(value.size()), SQLITE_TRANSIENT);
    }
    const auto column = [prepared](int i) {
        const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(prepared, i));
        return QByteArrayView(bytes, bytes ? sqlite3_column_bytes(prepared, i) : 0);
    };
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(prepared)) == SQLITE_ROW)
        attempt(AttemptView::of(column, sqlite3_column_int(prepared, 7) != 0, texts));
    return step == SQLITE_DONE || fail(QString::fromUtf8(sqlite3_errmsg(db.get())));
}

bool HistoryStore::unforwarded(int limit, QList<HistoryRow> *rows)
{
    if (!isOpen())
        return fail(QObject::tr("not open"));
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT %1 FROM attempts WHERE forwarded = 0 ORDER BY finished, rowid LIMIT %2")
                    .arg(kColumns)
                    .arg(limit)))
        return fail(q.lastError().text());
    while (q.next())
        rows->append(rowFrom(q));
    return true;
}

bool HistoryStore::markForwarded(const QStringList &uuids)
{
    if (uuids.isEmpty())
        return true;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction())
        return fail(db.lastError().text());
    QSqlQuery q(db);
    bool done = q.prepare(QStringLiteral("UPDATE attempts SET forwarded = 1 WHERE uuid = ?"));
    for (const QString &uuid : uuids) {
        if (!done)
            break;
        q.bindValue(0, uuid);
        done = q.exec();
    }
    if (!done || !db.commit()) {
        const QString error = done ? db.lastError().text() : q.lastError().text();
        db.rollback();
        return fail(error);
    }
    return true;
}

qint64 HistoryStore::unforwardedCount()
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM attempts WHERE forwarded = 0")) || !q.next()) {
        fail(q.lastError().text());
        return -1;
    }
    return q.value(0).toLongLong();
}
