// The unit history on the station: what row each kind of run leaves, that
// a history that cannot take a row says so by name and is never replaced,
// half-written or recreated, and that a report reads it without writing.
#include "testregistry.h"

#include "history/historystore.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace {

// A record as the programs make it; `at` is "port" or "port#lane",
// `attempt` "N/M" or empty for a lone update.
QJsonObject recordOf(const QString &at, const QString &attempt, bool ok)
{
    const QStringList place = at.split(u'#');
    QJsonObject r{{u"port"_s, place.at(0)},
                  {u"ok"_s, ok},
                  {u"outcome"_s, ok ? u"success"_s : u"write-refused"_s},
                  {u"started"_s, u"2026-12-09T08:00:00.000Z"_s},
                  {u"finished"_s, u"2026-12-09T08:00:05.000Z"_s},
                  {u"image"_s, u"/fw/a.txt"_s}};
    if (place.size() > 1)
        r.insert(u"lane"_s, place.at(1));
    if (!attempt.isEmpty()) {
        r.insert(u"attempt"_s, attempt.section(u'/', 0, 0).toInt());
        r.insert(u"of"_s, attempt.section(u'/', 1, 1).toInt());
    }
    return r;
}

// Rows in the order they were kept, each as "serial|run|N/M", the runs
// named A, B, ... in the order they first appear.
QStringList rowsIn(HistoryStore &store)
{
    QStringList rows;
    QHash<QString, QChar> runs;
    const bool read = store.read({}, [&](const HistoryRow &r) {
        if (!runs.contains(r.unitRun))
            runs.insert(r.unitRun, QChar(char16_t(u'A' + runs.size())));
        rows << u"%1|%2|%3/%4"_s.arg(r.unitSerial, runs.value(r.unitRun)).arg(r.attempt).arg(r.attempts);
    });
    if (!read)
        rows << u"read failed: "_s + store.error();
    return rows;
}

qint64 rowCount(const QString &path)
{
    HistoryStore store;
    qint64 n = -1;
    if (store.open(path))
        store.read({}, [&](const HistoryRow &) { ++n; });
    return n + 1;
}

QByteArray bytesOf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A small file system of our own (root only), removed with the object.
struct SmallFileSystem
{
    QString path;
    explicit SmallFileSystem(const QString &where)
        : path(where)
    {
        if (!QDir().mkpath(path)
            || QProcess::execute(u"mount"_s, {u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size=256k"_s, u"tmpfs"_s, path}) != 0)
            path.clear();
    }
    ~SmallFileSystem()
    {
        if (!path.isEmpty())
            QProcess::execute(u"umount"_s, {u"-l"_s, path});
    }
};

} // namespace

class HistoryStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    // Each kind of run: the serial a row carries, the unit run its
    // attempts share, attempt N of M.
    void rowsOfEachRun_data()
    {
        QTest::addColumn<QStringList>("records"); // at|attempt|ok
        QTest::addColumn<QStringList>("serials"); // at=serial, given before the records
        QTest::addColumn<QStringList>("rows");

        QTest::newRow("one update, no serial")
            << QStringList{u"/dev/ttyS0||1"_s} << QStringList{} << QStringList{u"|A|1/1"_s};
        QTest::newRow("several ports, a serial each") << QStringList{u"/dev/ttyUSB0||1"_s, u"/dev/ttyUSB1||0"_s}
                                                      << QStringList{u"/dev/ttyUSB0=SN-1"_s, u"/dev/ttyUSB1=SN-2"_s}
                                                      << QStringList{u"SN-1|A|1/1"_s, u"SN-2|B|1/1"_s};
        QTest::newRow("retries: one unit, three attempts")
            << QStringList{u"/dev/ttyUSB0|1/3|0"_s, u"/dev/ttyUSB0|2/3|0"_s, u"/dev/ttyUSB0|3/3|1"_s}
            << QStringList{u"/dev/ttyUSB0=SN-7"_s} << QStringList{u"SN-7|A|1/3"_s, u"SN-7|A|2/3"_s, u"SN-7|A|3/3"_s};
        QTest::newRow("watch: each arrival a unit of its own")
            << QStringList{u"/dev/ttyUSB0|1/1|1"_s, u"/dev/ttyUSB0|1/1|0"_s, u"/dev/ttyUSB0|1/1|1"_s} << QStringList{}
            << QStringList{u"|A|1/1"_s, u"|B|1/1"_s, u"|C|1/1"_s};
        QTest::newRow("station lanes: the serial by the lane's name, retries per lane")
            << QStringList{u"/dev/a#Lane 1|1/2|0"_s, u"/dev/b#Lane 2|1/2|1"_s, u"/dev/a#Lane 1|2/2|1"_s}
            << QStringList{u"Lane 1=SN-1"_s} << QStringList{u"SN-1|A|1/2"_s, u"|B|1/2"_s, u"SN-1|A|2/2"_s};
    }

    void rowsOfEachRun()
    {
        QFETCH(QStringList, records);
        QFETCH(QStringList, serials);
        QFETCH(QStringList, rows);

        const QString path = m_dir.filePath(u"%1.sqlite"_s.arg(QTest::currentDataTag()));
        HistoryStore store;
        QVERIFY2(store.open(path), qPrintable(store.error()));
        store.setKeeper({u"bay-3"_s, u"ann"_s});
        for (const QString &s : serials)
            store.setUnitSerial(s.section(u'=', 0, 0), s.section(u'=', 1));
        QList<QJsonObject> kept;
        for (const QString &r : records) {
            const QStringList f = r.split(u'|');
            kept << recordOf(f.at(0), f.at(1), f.at(2) == u"1"_s);
            QString error;
            QVERIFY2(store.keep(kept.last(), &error), qPrintable(error));
        }
        QCOMPARE(rowsIn(store), rows);

        // Every row: its own uuid, the keeper, and the record as it was given.
        QSet<QString> uuids;
        qsizetype i = 0;
        QVERIFY(store.read({}, [&](const HistoryRow &r) {
            uuids.insert(r.uuid);
            QCOMPARE(r.station, u"bay-3"_s);
            QCOMPARE(r.operatorName, u"ann"_s);
            QCOMPARE(QJsonDocument::fromJson(r.record.toUtf8()).object(), kept.at(i++));
        }));
        QCOMPARE(uuids.size(), records.size());
        // Reopened, as by the next run: every row still there, the schema not made again.
        store.close();
        QCOMPARE(rowCount(path), records.size());
    }

    // A history that cannot take a row: named in the error, never replaced
    // or recreated, no row half-written, the rows before it intact.
    void failures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<QString>("says");

        QTest::newRow("a folder") << u"folder"_s << false << u"is a folder, not a history"_s;
        QTest::newRow("not SQLite") << u"text"_s << false << u"not an SQLite database; it is left as it is"_s;
        QTest::newRow("another program's database")
            << u"foreign"_s << false << u"an SQLite database of something else (tables: parts)"_s;
        QTest::newRow("damaged header") << u"damaged"_s << false << u"file is not a database"_s;
        QTest::newRow("written by a newer tool")
            << u"newer"_s << false << u"written by a newer Wexel Update (schema 2; this one knows up to 1)"_s;
        QTest::newRow("locked by another program past the busy time-out")
            << u"locked"_s << true << u"database is locked"_s;
        QTest::newRow("full file system") << u"full"_s << true << u"database or disk is full"_s;
        // Not even opened: the write-ahead log needs to write beside it.
        QTest::newRow("read-only file system") << u"read-only"_s << false << u"is read-only"_s;
    }

    void failures()
    {
        QFETCH(QString, kind);
        QFETCH(bool, opens);
        QFETCH(QString, says);

        QString path = m_dir.filePath(u"history-%1.sqlite"_s.arg(kind));
        std::optional<SmallFileSystem> small;
        if (kind == u"full"_s || kind == u"read-only"_s) {
            small.emplace(m_dir.filePath(u"fs-"_s + kind));
            if (small->path.isEmpty())
                QSKIP("a full or read-only file system needs a tmpfs mount: run the tests as root");
            path = small->path + u"/history.sqlite"_s;
        }
        // Two rows kept before the trouble.
        if (kind != u"folder"_s && kind != u"text"_s && kind != u"foreign"_s) {
            HistoryStore before;
            QVERIFY2(before.open(path), qPrintable(before.error()));
            QString error;
            QVERIFY(before.keep(recordOf(u"/dev/a"_s, {}, true), &error));
            QVERIFY(before.keep(recordOf(u"/dev/a"_s, {}, false), &error));
        }
        QSqlDatabase other;
        const auto closeOther = [&] {
            other.close();
            other = QSqlDatabase();
            QSqlDatabase::removeDatabase(u"other"_s);
        };
        const auto otherClosed = qScopeGuard(closeOther);
        if (kind == u"folder"_s) {
            QVERIFY(QDir().mkdir(path));
        } else if (kind == u"text"_s) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write("port,outcome\n/dev/a,success\n") > 0);
        } else if (kind == u"foreign"_s) {
            QVERIFY(sql(path, u"CREATE TABLE parts (serial TEXT)"_s));
        } else if (kind == u"damaged"_s) {
            // The page size in the header made impossible.
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadWrite) && f.seek(16) && f.write("\x00\x03", 2) == 2);
        } else if (kind == u"newer"_s) {
            QVERIFY(sql(path, u"INSERT INTO history_schema (version) VALUES (2)"_s));
        } else if (kind == u"locked"_s) {
            other = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"other"_s);
            other.setDatabaseName(path);
            QVERIFY(other.open());
            QVERIFY(QSqlQuery(other).exec(u"BEGIN EXCLUSIVE"_s));
        } else if (kind == u"read-only"_s) {
            QVERIFY(QProcess::execute(u"mount"_s, {u"-o"_s, u"remount,ro"_s, small->path}) == 0);
        }
        const QByteArray bytesBefore = QFileInfo(path).isFile() ? bytesOf(path) : QByteArray();

        HistoryStore store;
        store.setBusyTimeout(200);
        const bool opened = store.open(path);
        QString error = store.error();
        if (opened && kind == u"full"_s) {
            QFile filler(small->path + u"/filler"_s);
            QVERIFY(filler.open(QIODevice::WriteOnly));
            while (filler.write(QByteArray(4096, 'x')) > 0 && filler.flush()) { }
        }
        if (opened) {
            // Opened (a reader may well open it): the row is what cannot be kept.
            QVERIFY(!store.keep(recordOf(u"/dev/a"_s, {}, true), &error));
            QVERIFY2(!error.isEmpty(), "a lost row without a reason");
        }
        QCOMPARE(opened, opens);
        QVERIFY2(error.contains(path) && error.contains(says), qPrintable(error));
        store.close();

        if (kind == u"folder"_s)
            QVERIFY(QFileInfo(path).isDir());
        else if (!opened)
            QCOMPARE(bytesOf(path), bytesBefore); // left as it was
        if (kind == u"locked"_s) {
            closeOther();
        } else if (kind == u"full"_s) {
            QVERIFY(QFile::remove(small->path + u"/filler"_s));
        } else if (kind == u"read-only"_s) {
            QVERIFY(QProcess::execute(u"mount"_s, {u"-o"_s, u"remount,rw"_s, small->path}) == 0);
        }
        // The rows kept before are all there, and nothing of the lost one.
        if (opens)
            QCOMPARE(rowCount(path), 2);
    }

    // A report's open: it makes, migrates and writes nothing, refuses what
    // is no history of this build's, and its scan gives the rows read()
    // gives, in the same order, each unit as HistoryRow::unit().
    void reading_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("says"); // empty: it opens

        QTest::newRow("a history") << u"history"_s << QString();
        QTest::newRow("none there, and none made") << u"missing"_s << u"no such file"_s;
        QTest::newRow("an empty file") << u"empty"_s << u"is empty"_s;
        QTest::newRow("another program's database")
            << u"foreign"_s << u"an SQLite database of something else (tables: parts)"_s;
        QTest::newRow("written by a newer tool")
            << u"newer"_s << u"written by a newer Wexel Update (schema 2; this one knows up to 1)"_s;
    }

    void reading()
    {
        QFETCH(QString, kind);
        QFETCH(QString, says);

        const QString path = m_dir.filePath(u"read-%1.sqlite"_s.arg(kind));
        if (kind == u"history"_s || kind == u"newer"_s) {
            HistoryStore writer;
            QVERIFY2(writer.open(path), qPrintable(writer.error()));
            writer.setUnitSerial(u"/dev/b"_s, u"SN-B"_s);
            QString error;
            QVERIFY(writer.keep(recordOf(u"/dev/a"_s, u"1/2"_s, false), &error));
            QVERIFY(writer.keep(recordOf(u"/dev/b"_s, {}, true), &error));
            QVERIFY(writer.keep(recordOf(u"/dev/a"_s, u"2/2"_s, true), &error));
        }
        if (kind == u"newer"_s) {
            QVERIFY(sql(path, u"INSERT INTO history_schema (version) VALUES (2)"_s));
        } else if (kind == u"empty"_s) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else if (kind == u"foreign"_s) {
            QVERIFY(sql(path, u"CREATE TABLE parts (serial TEXT)"_s));
        }
        const QByteArray bytesBefore = bytesOf(path);

        HistoryStore store;
        const bool opened = store.open(path, HistoryStore::OpenMode::ReadOnly);
        QCOMPARE(opened, says.isEmpty());
        if (opened) {
            QStringList read;
            QStringList scanned;
            QVERIFY(store.read({}, [&](const HistoryRow &r) { read << u"%1 %2"_s.arg(r.unit()).arg(r.ok); }));
            QVERIFY(store.scan({}, HistoryStore::AttemptView::Texts::Read, [&](const HistoryStore::AttemptView &a) {
                scanned << u"%1 %2"_s.arg(QString::fromUtf8(a.unit)).arg(a.ok);
            }));
            QCOMPARE(read.size(), 3);
            QCOMPARE(read.at(1), u"SN-B 1"_s);
            QCOMPARE(scanned, read);
        } else {
            QVERIFY2(store.error().contains(path) && store.error().contains(says), qPrintable(store.error()));
        }
        store.close();
        if (kind == u"missing"_s)
            QVERIFY(!QFileInfo::exists(path));
        else
            QCOMPARE(bytesOf(path), bytesBefore);
    }

    // The station window and a command line on one station, one history:
    // every row of both is kept.
    void twoWritersKeepEveryRow()
    {
        const QString path = m_dir.filePath(u"shared.sqlite"_s);
        HistoryStore a;
        HistoryStore b;
        QVERIFY2(a.open(path) && b.open(path), qPrintable(a.error() + b.error()));
        QString error;
        for (int i = 0; i < 20; ++i) {
            QVERIFY2(a.keep(recordOf(u"/dev/a"_s, {}, true), &error), qPrintable(error));
            QVERIFY2(b.keep(recordOf(u"/dev/b"_s, {}, true), &error), qPrintable(error));
        }
        QCOMPARE(rowCount(path), 40);
    }

private:
    static bool sql(const QString &path, const QString &statement)
    {
        bool done = false;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"direct"_s);
            db.setDatabaseName(path);
            done = db.open() && QSqlQuery(db).exec(statement);
        }
        QSqlDatabase::removeDatabase(u"direct"_s);
        return done;
    }

    QTemporaryDir m_dir;
};

WEXEL_REGISTER_TEST(HistoryStoreTest)
#include "tst_historystore.moc"
