// The central unit history against a real PostgreSQL server of the test's
// own: store-and-forward through a server that is up, down, cut off in the
// middle of a batch, refusing the login or stalling, judged by the rows the
// server holds (counted with psql) and those that wait on the station; and
// the server's reading of the history against the station's.
#include "eventwait.h"
#include "testregistry.h"
#include "throwawaypostgres.h"

#include "history/historyforwarder.h"
#include "history/historystore.h"
#include "history/serverstore.h"

#include <QDateTime>
#include <QFile>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <memory>

using namespace Qt::Literals::StringLiterals;
using namespace std::chrono_literals;

namespace {

enum class Fault {
    None,
    ServerDown, // before anything is sent; started again
    CutMidBatch, // stopped while a batch waits half sent; started again
    LoginRefused, // a wrong password in the password file; then the right one
    PasswordGiven, // a password in the connection string
    SentTwice, // the same rows from a second history
    NewerSchema, // the server's history made by a newer tool
    Stalled, // the server holds the batch past the push's time
};

// The rows of `count` attempts, a second apart, of one station.
QList<HistoryRow> attempts(int count)
{
    const QDateTime start = QDateTime::fromString(u"2026-12-09T08:00:00.125Z"_s, Qt::ISODateWithMs);
    QList<HistoryRow> rows;
    for (int i = 0; i < count; ++i) {
        HistoryRow r;
        r.uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
        r.started = start.addSecs(i).toString(Qt::ISODateWithMs);
        r.finished = start.addSecs(i).addMSecs(900).toString(Qt::ISODateWithMs);
        r.station = u"bench-1"_s;
        r.operatorName = u"ada"_s;
        r.unitSerial = u"SN-%1"_s.arg(i);
        r.unitRun = QUuid::createUuid().toString(QUuid::WithoutBraces);
        r.port = u"/dev/ttyUSB0"_s;
        r.image = u"/lab/fw.hex"_s;
        r.imageSha256 = QString(64, u'a');
        r.outcome = u"success"_s;
        r.ok = true;
        r.message = u"Update OK"_s;
        r.tool = u"wexel-update-cli"_s;
        r.toolVersion = u"1.0.0"_s;
        r.record = u"{\"outcome\":\"success\",\"n\":%1}"_s.arg(i);
        rows << r;
    }
    return rows;
}

QStringList fields(const HistoryRow &r)
{
    return {r.uuid,
            r.started,
            r.finished,
            r.station,
            r.operatorName,
            r.unitSerial,
            r.unitRun,
            r.lane,
            r.port,
            r.image,
            r.imageSha256,
            r.outcome,
            r.ok ? u"ok"_s : u"not ok"_s,
            QString::number(r.attempt),
            QString::number(r.attempts),
            QString::number(r.failedLine),
            r.message,
            r.cause,
            r.tool,
            r.toolVersion,
            r.record};
}

} // namespace

Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(HistoryStore::Filter)

class ServerHistoryTest : public QObject
{
    Q_OBJECT

    ThrowawayPostgres m_pg;

    bool makeHistory(const QString &path, const QList<HistoryRow> &rows)
    {
        HistoryStore store;
        return store.open(path) && store.insert(rows);
    }

    bool runSchemaSql() { return m_pg.psql(ServerStore::schemaSql()); }

    QSet<QString> serverUuids()
    {
        QStringList uuids;
        return m_pg.psql(u"SELECT uuid FROM attempts"_s, &uuids) ? QSet<QString>(uuids.begin(), uuids.end())
                                                                 : QSet<QString>();
    }

    // The forwarder's INSERT waits for a lock: the batch is on its way.
    bool batchWaitsForALock()
    {
        return m_pg.number(u"SELECT count(*) FROM pg_stat_activity WHERE application_name = 'wexel-update' "
                           "AND wait_event_type = 'Lock'"_s)
            == 1;
    }

private slots:
    void initTestCase()
    {
        QString why;
        if (!ThrowawayPostgres::available(&why))
            QSKIP(qPrintable(why));
        QVERIFY2(m_pg.start(), qPrintable(m_pg.error()));
    }

    void init()
    {
        QVERIFY2(m_pg.resume(), qPrintable(m_pg.error()));
        QVERIFY2(m_pg.psql(u"DROP TABLE IF EXISTS attempts, history_schema; DROP ROLE IF EXISTS station"_s),
                 qPrintable(m_pg.error()));
    }

    void storeAndForward_data()
    {
        QTest::addColumn<int>("kept");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("says"); // while the rows wait
        QTest::addColumn<bool>("mended"); // the fault is mended: every row arrives, once
        QTest::newRow("server up") << 50 << Fault::None << QString() << true;
        QTest::newRow("server down, then back") << 50 << Fault::ServerDown << u"No such file or directory"_s << true;
        // 3000 rows: a batch of two statements, the second held by a row the
        // server has not decided yet.
        QTest::newRow("cut in the middle of a batch, then back")
            << 3000 << Fault::CutMidBatch << u"No such file or directory"_s << true;
        QTest::newRow("login refused, then the right password")
            << 20 << Fault::LoginRefused << u"password authentication failed for user \"station\""_s << true;
        QTest::newRow("a password in the connection string")
            << 20 << Fault::PasswordGiven << u"holds a password: put it in ~/.pgpass"_s << false;
        QTest::newRow("the same rows from two histories") << 50 << Fault::SentTwice << QString() << true;
        QTest::newRow("a newer tool's schema on the server")
            << 20 << Fault::NewerSchema << u"newer Wexel Update (schema 2; this one knows up to 1)"_s << false;
        QTest::newRow("a stalled server: the push ends in its time, then goes on")
            << 20 << Fault::Stalled << u"no answer in the time given"_s << true;
    }

    void storeAndForward()
    {
        QFETCH(int, kept);
        QFETCH(Fault, fault);
        QFETCH(QString, says);
        QFETCH(bool, mended);
        const QList<HistoryRow> rows = attempts(kept);
        QSet<QString> uuids;
        for (const HistoryRow &r : rows)
            uuids << r.uuid;
        QTemporaryDir dir;
        const QString path = dir.filePath(u"history.sqlite"_s);
        QVERIFY(makeHistory(path, rows));

        QString conninfo = m_pg.conninfo();
        const QString passwords = dir.filePath(u"pgpass"_s);
        const auto writePassword = [&](const QString &password) {
            QFile file(passwords);
            return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)
                && file.write(u"*:*:*:station:%1\n"_s.arg(password).toUtf8()) > 0;
        };
        std::unique_ptr<ThrowawayPostgres::Session> holder;
        switch (fault) {
        case Fault::None:
        case Fault::SentTwice:
            break;
        case Fault::ServerDown:
            QVERIFY2(m_pg.stop(), qPrintable(m_pg.error()));
            break;
        case Fault::CutMidBatch:
            QVERIFY2(runSchemaSql(), qPrintable(m_pg.error()));
            holder = std::make_unique<ThrowawayPostgres::Session>(m_pg.conninfo());
            holder->send(u"BEGIN; INSERT INTO attempts SELECT '%1', '', '', '', '', '', '', '', '', '', '', '', "
                         "false, 1, 1, 0, '', '', '', '', '';"_s.arg(rows.at(1500).uuid));
            break;
        case Fault::LoginRefused:
            // As the README tells an administrator: the tables made by their
            // owner, a role that may only read and add rows.
            QVERIFY2(runSchemaSql(), qPrintable(m_pg.error()));
            QVERIFY2(m_pg.psql(u"CREATE ROLE station LOGIN PASSWORD 'right-word'; "
                               "GRANT SELECT, INSERT ON attempts, history_schema TO station"_s),
                     qPrintable(m_pg.error()));
            QVERIFY(writePassword(u"wrong-word"_s));
            conninfo = m_pg.conninfo(u"station"_s) + u" passfile="_s + passwords;
            break;
        case Fault::PasswordGiven:
            conninfo += u" password=secret-word"_s;
            break;
        case Fault::NewerSchema:
            QVERIFY2(m_pg.psql(u"CREATE TABLE history_schema (version integer NOT NULL); "
                               "INSERT INTO history_schema VALUES (1), (2)"_s),
                     qPrintable(m_pg.error()));
            break;
        case Fault::Stalled:
            QVERIFY2(runSchemaSql(), qPrintable(m_pg.error()));
            holder = std::make_unique<ThrowawayPostgres::Session>(m_pg.conninfo());
            holder->send(u"BEGIN; LOCK TABLE attempts IN EXCLUSIVE MODE;"_s);
            break;
        }

        HistoryForwarder forwarder(path, conninfo);
        forwarder.setRetryDelays(20ms, 200ms);
        QSignalSpy counted(&forwarder, &HistoryForwarder::waitingChanged);
        if (fault == Fault::Stalled) {
            WEXEL_TRY_VERIFY(m_pg.number(u"SELECT count(*) FROM pg_locks WHERE relation = 'attempts'::regclass "
                                         "AND mode = 'ExclusiveLock' AND granted"_s)
                             == 1);
            const HistoryForwarder::Result pushed = forwarder.pushNow(300ms);
            QCOMPARE(pushed.sent, qint64(0));
            QCOMPARE(pushed.waiting, qint64(kept));
            QVERIFY2(pushed.error.contains(says), qPrintable(pushed.error));
        } else {
            forwarder.start();
        }
        if (fault == Fault::CutMidBatch) {
            WEXEL_TRY_VERIFY_WITH_TIMEOUT(batchWaitsForALock(), 20000);
            QVERIFY2(m_pg.stop(), qPrintable(m_pg.error()));
            holder.reset();
        }

        if (!says.isEmpty()) {
            WEXEL_TRY_VERIFY2_WITH_TIMEOUT(forwarder.lastError().contains(says), qPrintable(forwarder.lastError()),
                                           20000);
            // Nothing is lost, and the count is told.
            QCOMPARE(forwarder.waiting(), qint64(kept));
            QVERIFY(!counted.isEmpty());
            QCOMPARE(counted.last().at(0).toLongLong(), kept);
            QVERIFY(!forwarder.lastError().contains(u"secret-word"_s));
        }
        if (!mended) {
            QVERIFY(forwarder.isRunning());
            return;
        }

        switch (fault) {
        case Fault::ServerDown:
        case Fault::CutMidBatch:
            QVERIFY2(m_pg.resume(), qPrintable(m_pg.error()));
            break;
        case Fault::LoginRefused:
            QVERIFY(writePassword(u"right-word"_s));
            break;
        case Fault::Stalled:
            holder.reset();
            forwarder.start();
            break;
        default:
            break;
        }
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(forwarder.waiting(), qint64(0), 20000);
        QCOMPARE(forwarder.lastError(), QString());
        QCOMPARE(counted.last().at(0).toLongLong(), 0);
        if (fault == Fault::SentTwice) {
            const QString again = dir.filePath(u"again.sqlite"_s);
            QVERIFY(makeHistory(again, rows));
            const HistoryForwarder::Result pushed = HistoryForwarder::push(again, conninfo);
            QCOMPARE(pushed.waiting, qint64(0));
            QCOMPARE(pushed.error, QString());
            QCOMPARE(pushed.sent, qint64(kept));
        }
        QCOMPARE(m_pg.number(u"SELECT count(*) FROM attempts"_s), qint64(kept));
        QCOMPARE(serverUuids(), uuids);
    }

    // The server answers a report's question as the station's history does.
    void readsAsTheStation_data()
    {
        QTest::addColumn<HistoryStore::Filter>("filter");
        QTest::addColumn<int>("count");
        const auto filter = [](auto &&set) {
            HistoryStore::Filter f;
            set(f);
            return f;
        };
        QTest::newRow("everything") << HistoryStore::Filter() << 8;
        QTest::newRow("since, inclusive") << filter([](auto &f) { f.since = u"2026-12-09T10:00:00.000Z"_s; }) << 5;
        QTest::newRow("until, exclusive") << filter([](auto &f) { f.until = u"2026-12-09T10:00:00.000Z"_s; }) << 3;
        QTest::newRow("one day") << filter([](auto &f) {
            f.since = u"2026-12-09"_s;
            f.until = u"2026-12-10"_s;
        }) << 6;
        QTest::newRow("a station") << filter([](auto &f) { f.station = u"bench-2"_s; }) << 3;
        QTest::newRow("a lane") << filter([](auto &f) { f.lane = u"3"_s; }) << 2;
        QTest::newRow("a unit") << filter([](auto &f) { f.unitSerial = u"SN-7"_s; }) << 4;
        QTest::newRow("an image by path") << filter([](auto &f) { f.image = u"/lab/fw_1.hex"_s; }) << 5;
        // _ is a LIKE wildcard: fwX1.hex is another image.
        QTest::newRow("an image by file name") << filter([](auto &f) { f.image = u"fw_1.hex"_s; }) << 5;
        QTest::newRow("an image by SHA-256, upper case") << filter([](auto &f) { f.image = QString(64, u'B'); }) << 4;
        QTest::newRow("the newest 3") << filter([](auto &f) { f.limit = 3; }) << 3;
        QTest::newRow("the newest 2 of a station") << filter([](auto &f) {
            f.station = u"bench-1"_s;
            f.limit = 2;
        }) << 2;
    }

    void readsAsTheStation()
    {
        QFETCH(HistoryStore::Filter, filter);
        QFETCH(int, count);
        QList<HistoryRow> rows = attempts(8);
        const QStringList finished{u"2026-12-08T23:59:59.999Z"_s, u"2026-12-09T00:00:00.000Z"_s,
                                   u"2026-12-09T09:59:59.999Z"_s, u"2026-12-09T10:00:00.000Z"_s,
                                   u"2026-12-09T10:00:00.001Z"_s, u"2026-12-09T12:00:00.000Z"_s,
                                   u"2026-12-09T23:59:59.999Z"_s, u"2026-12-10T00:00:00.000Z"_s};
        for (int i = 0; i < rows.size(); ++i) {
            HistoryRow &r = rows[i];
            // Not in the order they end: the order read is the stores' own.
            r.finished = finished.at((i * 3) % 8);
            r.station = i % 3 == 0 ? u"bench-2"_s : u"bench-1"_s;
            r.lane = QString::number(i % 4);
            r.unitSerial = i % 2 ? u"SN-7"_s : (i == 4 ? QString() : u"SN-8"_s);
            r.image = i % 3 == 1 ? u"/lab/fwX1.hex"_s : u"/lab/fw_1.hex"_s;
            r.imageSha256 = i % 2 ? QString(64, u'b') : QString(64, u'c');
            r.ok = i % 2;
            r.attempt = i + 1;
            r.attempts = 9;
            r.failedLine = i * 100;
            r.cause = u"no answer; the line ends"_s;
            r.message = i == 5 ? u"stray \u00e9 and a NUL-free message"_s : u"Update OK"_s;
        }
        QTemporaryDir dir;
        const QString path = dir.filePath(u"history.sqlite"_s);
        QVERIFY(makeHistory(path, rows));
        ServerStore server;
        QVERIFY2(server.open(m_pg.conninfo()), qPrintable(server.error()));
        QVERIFY2(server.send(rows), qPrintable(server.error()));

        HistoryStore station;
        QVERIFY(station.open(path));
        QList<QStringList> expected;
        QVERIFY(station.read(filter, [&](const HistoryRow &r) { expected << fields(r); }));
        QList<QStringList> found;
        QString error;
        QVERIFY2(server.read(
                     filter, [&](const HistoryRow &r) { found << fields(r); }, &error),
                 qPrintable(error));
        QCOMPARE(found, expected);
        QCOMPARE(found.size(), count);
    }
};

WEXEL_REGISTER_TEST(ServerHistoryTest)
#include "tst_serverhistory.moc"
