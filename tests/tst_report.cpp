// wexel-history's reports over one small history whose every figure was
// reckoned by hand: 12 attempts of 7 units over two local days (the clock
// two hours ahead of UTC, so that one attempt just before midnight UTC
// lies on the next local day), two stations whose lanes share a name,
// retries, units without a serial, a unit updated again the next day, and
// texts that a terminal, a spreadsheet or a browser would run.
#include "clitestsupport.h"
#include "history/historystore.h"
#include "report/historytool.h"
#include "report/rowsource.h"
#include "testregistry.h"
#include "throwawaypostgres.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>

using namespace Qt::Literals::StringLiterals;

namespace {

// A zone of the C library's own notation, so the test needs no zone data.
constexpr char kZone[] = "WXT-2";

const QString kSha20 = QString(32, u'2') + QString(32, u'0');
const QString kSha21 = u"21"_s.repeated(32);

// What a row checks in what the program wrote.
enum class Check {
    Lines, // each expected line is a line of standard output (runs of blanks as one)
    Exact, // standard output is the expected lines, joined, byte for byte
    JsonRows, // each line of standard output is a row of the history, in order
    Page, // OUT holds each expected piece, and nothing that runs or fetches
};

HistoryRow attempt(const QString &uuid, const QString &finished, const QString &station, const QString &operatorName,
                   const QString &serial, const QString &run, const QString &lane, const QString &image,
                   const QString &outcome, int attempt, int attempts, const QString &message = {},
                   const QString &cause = {})
{
    HistoryRow r;
    r.uuid = uuid;
    r.finished = finished;
    r.started = QDateTime::fromString(finished, Qt::ISODateWithMs).addSecs(-5).toString(Qt::ISODateWithMs);
    r.station = station;
    r.operatorName = operatorName;
    r.unitSerial = serial;
    r.unitRun = run;
    r.lane = lane;
    r.port = station == u"north"_s ? u"/dev/ttyUSB0"_s : u"/dev/ttyUSB2"_s;
    r.image = u"/fw/"_s + image;
    r.imageSha256 = image == u"fw-2.0.txt"_s ? kSha20 : kSha21;
    r.outcome = outcome;
    r.ok = outcome == u"success"_s;
    r.attempt = attempt;
    r.attempts = attempts;
    r.failedLine = r.ok ? 0 : 7;
    r.message = message.isEmpty() && r.ok ? u"Update OK"_s : message;
    r.cause = cause;
    r.tool = u"wexel-update-cli"_s;
    r.toolVersion = u"1.0.0"_s;
    const QJsonObject record{{u"outcome"_s, outcome},           {u"ok"_s, r.ok},
                             {u"attempt"_s, attempt},           {u"of"_s, attempts},
                             {u"finished"_s, finished},         {u"port"_s, r.port},
                             {u"image_sha256"_s, r.imageSha256}};
    r.record = QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact));
    return r;
}

// Oldest first. Local times are two hours ahead.
QList<HistoryRow> history()
{
    const QString refused = u"Line refused"_s;
    return {
        attempt(u"u01"_s, u"2026-12-08T08:00:00.000Z"_s, u"north"_s, u"op-a"_s, u"SN-1"_s, u"run-1"_s, u"bay-1"_s,
                u"fw-2.0.txt"_s, u"write-refused"_s, 1, 2, refused, u"line 7 answered \"E1\"; may be erased"_s),
        attempt(u"u02"_s, u"2026-12-08T08:01:00.000Z"_s, u"north"_s, u"op-a"_s, u"SN-1"_s, u"run-1"_s, u"bay-1"_s,
                u"fw-2.0.txt"_s, u"success"_s, 2, 2),
        attempt(u"u03"_s, u"2026-12-08T08:05:00.000Z"_s, u"north"_s, u"op\x1b]0;owned\x07"_s, u"SN-2"_s, u"run-2"_s,
                u"bay-2"_s, u"fw-2.1.txt"_s, u"success"_s, 1, 1),
        attempt(u"u04"_s, u"2026-12-08T09:00:00.000Z"_s, u"south"_s, u"op-c"_s, {}, u"run-3"_s, u"bay-1"_s,
                u"fw-2.0.txt"_s, u"erase-failed"_s, 1, 2, u"No answer to the erase"_s, u"no answer within 3000 ms"_s),
        attempt(u"u05"_s, u"2026-12-08T09:01:00.000Z"_s, u"south"_s, u"op-c"_s, {}, u"run-3"_s, u"bay-1"_s,
                u"fw-2.0.txt"_s, u"erase-failed"_s, 2, 2, u"No answer to the erase"_s, u"no answer within 3000 ms"_s),
        attempt(u"u06"_s, u"2026-12-08T10:00:00.000Z"_s, u"south"_s, u"op-c"_s, u"<script>alert(1)</script>"_s,
                u"run-6"_s, u"bay-1"_s, u"fw-2.0.txt"_s, u"success"_s, 1, 1),
        // 00:30 on the 9th, local time.
        attempt(u"u07"_s, u"2026-12-08T22:30:00.000Z"_s, u"north"_s, u"op-b"_s, {}, u"run-7"_s, u"bay-1"_s,
                u"fw-2.1.txt"_s, u"write-refused"_s, 1, 2, refused, u"line 7 answered \"E3\"; may be erased"_s),
        attempt(u"u08"_s, u"2026-12-08T22:31:00.000Z"_s, u"north"_s, u"op-b"_s, {}, u"run-7"_s, u"bay-1"_s,
                u"fw-2.1.txt"_s, u"success"_s, 2, 2),
        // SN-1 again, with the next image, at another lane.
        attempt(u"u09"_s, u"2026-12-09T07:00:00.000Z"_s, u"north"_s, u"op-b"_s, u"SN-1"_s, u"run-9"_s, u"bay-2"_s,
                u"fw-2.1.txt"_s, u"success"_s, 1, 1),
        attempt(u"u10"_s, u"2026-12-09T08:00:00.000Z"_s, u"south"_s, u"op-c"_s, u"=2+3"_s, u"run-10"_s, u"bay-1"_s,
                u"fw-2.1.txt"_s, u"write-refused"_s, 1, 2, u"Line refused, \"E2\""_s,
                u"line 7 answered \"E2\"; may be erased"_s),
        attempt(u"u11"_s, u"2026-12-09T08:01:00.000Z"_s, u"south"_s, u"op-c"_s, u"=2+3"_s, u"run-10"_s, u"bay-1"_s,
                u"fw-2.1.txt"_s, u"device-changed"_s, 2, 2, u"Another device"_s, u"port gone\r\nback as another"_s),
        attempt(u"u12"_s, u"2026-12-09T09:00:00.000Z"_s, u"north"_s, u"op-b"_s, u"SN-12"_s, u"run-12"_s, u"bay-2"_s,
                u"fw-2.1.txt"_s, u"write-refused"_s, 1, 1, refused, u"line 7 answered \"E5\"; may be erased"_s),
    };
}

// The CSV of u10 and u11, as a program reads it (and as a spreadsheet does).
QByteArray csvOfUnit23(bool excel)
{
    const QByteArray serial = excel ? "'=2+3" : "=2+3";
    return (excel ? QByteArray("\xEF\xBB\xBF") : QByteArray())
        + "uuid,started,finished,station,operator,unit_serial,unit_run,lane,port,image,image_sha256,outcome,ok,"
          "attempt,attempts,failed_line,message,cause,tool,tool_version\r\n"
          "u10,2026-12-09T07:59:55.000Z,2026-12-09T08:00:00.000Z,south,op-c,"
        + serial + ",run-10,bay-1,/dev/ttyUSB2,/fw/fw-2.1.txt," + kSha21.toLatin1()
        + ",write-refused,0,1,2,7,\"Line refused, \"\"E2\"\"\",\"line 7 answered \"\"E2\"\"; may be "
          "erased\",wexel-update-cli,1.0.0\r\n"
          "u11,2026-12-09T08:00:55.000Z,2026-12-09T08:01:00.000Z,south,op-c,"
        + serial + ",run-10,bay-1,/dev/ttyUSB2,/fw/fw-2.1.txt," + kSha21.toLatin1()
        + ",device-changed,0,2,2,7,Another device,\"port gone\r\nback as another\",wexel-update-cli,1.0.0\r\n";
}

QByteArray collapsed(const QByteArray &line)
{
    return QString::fromUtf8(line).simplified().toUtf8();
}

QByteArray sha(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256)
                                          : QByteArray();
}

} // namespace

Q_DECLARE_METATYPE(Check)

class ReportTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_history;

private slots:
    void initTestCase()
    {
        qputenv("TZ", kZone);
        tzset();
        QVERIFY(m_dir.isValid());
        m_history = m_dir.filePath(u"history.sqlite"_s);
        {
            HistoryStore store;
            QVERIFY2(store.open(m_history), qPrintable(store.error()));
            QVERIFY2(store.insert(history()), qPrintable(store.error()));
        }
    }

    // Every command, its figures and its texts; the tallies through the
    // store's own scan and through plain rows alike; and the program itself
    // for what only it shows (its exit codes as a process).
    void reports_data()
    {
        QTest::addColumn<QStringList>("arguments"); // {history} and {dir} stand for paths
        QTest::addColumn<bool>("asProgram");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<Check>("check");
        QTest::addColumn<QByteArrayList>("expected");
        QTest::addColumn<QString>("message"); // in standard error; none when empty

        const auto row = [](const char *name, const QStringList &arguments, int exitCode, Check check,
                            const QByteArrayList &expected, const QString &message = {}, bool asProgram = false) {
            QTest::newRow(name) << arguments << asProgram << exitCode << check << expected << message;
        };

        // SN-1 (3 attempts: failed, passed; passed the next day), SN-2, run-3
        // (failed twice), <script> and run-7 (failed, passed) on the 8th;
        // =2+3 (failed twice) and SN-12 (failed) on the 9th. run-7 ended at
        // 00:30 local time: the 9th.
        row("summary", {u"summary"_s}, 0, Check::Lines,
            {"all 7 12 2 28.6% 4 57.1%", "2026-12-08 4 7 2 50.0% 3 75.0%", "2026-12-09 3 5 0 0.0% 1 33.3%",
             "north 4 7 1 25.0% 3 75.0%", "south 3 5 1 33.3% 1 33.3%", "north / bay-1 2 5 0 0.0% 2 100.0%",
             "north / bay-2 2 2 1 50.0% 1 50.0%", "south / bay-1 3 5 1 33.3% 1 33.3%",
             "fw-2.0.txt 222222222222 3 6 1 33.3% 2 66.7%", "fw-2.1.txt 212121212121 4 6 1 25.0% 2 50.0%"});
        // From 00:00 local on the 9th (22:00 UTC the day before).
        row("summary since a local day", {u"--since"_s, u"2026-12-09"_s, u"summary"_s}, 0, Check::Lines,
            {"all 4 6 1 25.0% 2 50.0%"});
        // Up to the end of the 8th, local: SN-1's third attempt is left out.
        row("summary until a day's end", {u"--until"_s, u"2026-12-08"_s, u"summary"_s}, 0, Check::Lines,
            {"all 4 6 2 50.0% 3 75.0%", "2026-12-08 4 6 2 50.0% 3 75.0%"});
        row("summary of one lane by time", {u"--lane"_s, u"bay-2"_s, u"--until"_s, u"2026-12-09 10:00"_s, u"summary"_s},
            0, Check::Lines, {"all 2 2 2 100.0% 2 100.0%"});
        // SN-1's third attempt was with the other image.
        row("summary by image name", {u"--image"_s, u"fw-2.0.txt"_s, u"summary"_s}, 0, Check::Lines,
            {"all 3 5 1 33.3% 2 66.7%"});
        row("summary by image sha", {u"--image"_s, kSha21, u"--station"_s, u"north"_s, u"summary"_s}, 0, Check::Lines,
            {"all 4 5 2 50.0% 3 75.0%"});
        row("summary of nothing", {u"--station"_s, u"east"_s, u"summary"_s}, 0, Check::Lines,
            {"all 0 0 0 - 0 -", "No attempt in the period."});

        row("causes", {u"causes"_s}, 0, Check::Lines,
            {"7 failed attempts by cause, most frequent first:",
             "write-refused 4 57.1% 57.1% Line refused: line 7 answered \"E5\"",
             "erase-failed 2 28.6% 85.7% No answer to the erase: no answer within 3000 ms",
             "device-changed 1 14.3% 100.0% Another device: port gone\\x0D\\x0Aback as another"});
        row("causes of a station", {u"--station"_s, u"south"_s, u"causes"_s}, 0, Check::Lines,
            {"4 failed attempts by cause, most frequent first:",
             "erase-failed 2 50.0% 50.0% No answer to the erase: no answer within 3000 ms",
             "device-changed 1 25.0% 75.0% Another device: port gone\\x0D\\x0Aback as another",
             "write-refused 1 25.0% 100.0% Line refused, \"E2\": line 7 answered \"E2\""});

        row("unit", {u"unit"_s, u"SN-1"_s}, 0, Check::Lines,
            {"2026-12-08 10:00:00 north op-a bay-1 fw-2.0.txt 222222222222 write-refused 1/2",
             "2026-12-08 10:01:00 north op-a bay-1 fw-2.0.txt 222222222222 success 2/2",
             "2026-12-09 09:00:00 north op-b bay-2 fw-2.1.txt 212121212121 success 1/1"});
        // A terminal is not retitled by an operator's name.
        row("unit with a hostile text", {u"unit"_s, u"SN-2"_s}, 0, Check::Lines,
            {"2026-12-08 10:05:00 north op\\x1B]0;owned\\x07 bay-2 fw-2.1.txt 212121212121 success 1/1"});
        row("unit in a period", {u"--since"_s, u"2026-12-09"_s, u"unit"_s, u"SN-1"_s}, 0, Check::Lines,
            {"2026-12-09 09:00:00 north op-b bay-2 fw-2.1.txt 212121212121 success 1/1"});
        row("unit unknown", {u"unit"_s, u"SN-404"_s}, 0, Check::Lines, {"No attempt of this unit."});

        row("csv", {u"--station"_s, u"south"_s, u"--since"_s, u"2026-12-09"_s, u"export"_s, u"--csv"_s}, 0,
            Check::Exact, {csvOfUnit23(false)});
        row("csv for a spreadsheet",
            {u"--station"_s, u"south"_s, u"--since"_s, u"2026-12-09"_s, u"export"_s, u"--csv"_s, u"--excel"_s}, 0,
            Check::Exact, {csvOfUnit23(true)});
        row("jsonl", {u"export"_s, u"--jsonl"_s}, 0, Check::JsonRows, {});

        row("html", {u"html"_s, u"{dir}/page.html"_s}, 0, Check::Page,
            {"&lt;script&gt;alert(1)&lt;/script&gt;", "op\\x1B]0;owned\\x07", "<svg", "28.6%", "57.1%",
             "write-refused"});

        row("since malformed", {u"--since"_s, u"yesterday"_s, u"summary"_s}, 2, Check::Lines, {},
            u"--since \"yesterday\": not a date (2026-12-08) or a date and time (2026-12-08T14:00), in local time"_s);
        row("until out of range", {u"--until"_s, u"2026-13-01"_s, u"causes"_s}, 2, Check::Lines, {},
            u"--until \"2026-13-01\": no such date or time"_s);
        row("since before 1970", {u"--since"_s, u"1969-12-31"_s, u"causes"_s}, 2, Check::Lines, {}, u"out of range"_s);
        row("empty period", {u"--since"_s, u"2026-12-09"_s, u"--until"_s, u"2026-12-08"_s, u"summary"_s}, 2,
            Check::Lines, {}, u"no attempt can lie between them"_s);
        row("unknown command", {u"yields"_s}, 2, Check::Lines, {}, u"unknown command \"yields\""_s);
        row("csv with another command", {u"summary"_s, u"--csv"_s}, 2, Check::Lines, {},
            u"--csv, --jsonl and --excel go with export only"_s);
        row("html over the history", {u"html"_s, u"{history}"_s}, 4, Check::Lines, {}, u"is the history itself"_s);

        row("program: no history", {u"--history"_s, u"{dir}/none.sqlite"_s, u"summary"_s}, 3, Check::Lines, {},
            u"none.sqlite: no such file"_s, true);
        row("program: bad --since", {u"--since"_s, u"2026-12-08T25:00"_s, u"summary"_s}, 2, Check::Lines, {},
            u"--since \"2026-12-08T25:00\": no such date or time\nTry 'wexel-history --help'."_s, true);
        row("program: OUT unwritable", {u"html"_s, u"{dir}/no-folder/page.html"_s}, 4, Check::Lines, {},
            u"page.html\" cannot be written"_s, true);
        row("program: summary", {u"summary"_s}, 0, Check::Lines, {"all 7 12 2 28.6% 4 57.1%"}, {}, true);
    }

    void reports()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, asProgram);
        QFETCH(int, exitCode);
        QFETCH(Check, check);
        QFETCH(QByteArrayList, expected);
        QFETCH(QString, message);

        for (QString &argument : arguments) {
            argument.replace(u"{history}"_s, m_history).replace(u"{dir}"_s, m_dir.path());
        }
        if (!arguments.contains(u"--history"_s))
            arguments = QStringList{u"--history"_s, m_history} + arguments;
        const QByteArray before = sha(m_history);

        // The tallies once through the store's scan, once through its rows.
        const bool tallied
            = !asProgram && exitCode == 0 && (arguments.contains(u"summary"_s) || arguments.contains(u"causes"_s));
        for (int way = 0; way < (tallied ? 2 : 1); ++way) {
            QByteArray out;
            QByteArray err;
            int status = -1;
            if (asProgram) {
                QProcess process;
                QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
                environment.insert(u"TZ"_s, QString::fromLatin1(kZone));
                process.setProcessEnvironment(environment);
                process.start(CliTestSupport::programPath(u"report/wexel-history"_s), arguments);
                CliTestSupport::Result result;
                QVERIFY(CliTestSupport::collect(process, &result));
                QCOMPARE(result.exitStatus, QProcess::NormalExit);
                status = result.exitCode;
                out = result.out;
                err = result.err;
            } else {
                QBuffer outBuffer(&out);
                QBuffer errBuffer(&err);
                QVERIFY(outBuffer.open(QIODevice::WriteOnly) && errBuffer.open(QIODevice::WriteOnly));
                HistoryTool tool(outBuffer, errBuffer);
                HistoryStore store;
                if (way == 1) {
                    QVERIFY2(store.open(m_history, HistoryStore::OpenMode::ReadOnly), qPrintable(store.error()));
                    tool.setSource(m_history, storeRowSource(store));
                }
                status = tool.run(QStringList{u"wexel-history"_s} + arguments);
            }
            QVERIFY2(status == exitCode, err.constData());
            if (message.isEmpty())
                QVERIFY2(err.isEmpty(), err.constData());
            else
                QVERIFY2(QString::fromUtf8(err).contains(message), err.constData());

            const QByteArrayList lines = out.split('\n');
            switch (check) {
            case Check::Lines: {
                QByteArrayList shown;
                for (const QByteArray &line : lines)
                    shown << collapsed(line);
                for (const QByteArray &line : expected)
                    QVERIFY2(shown.contains(line), (line + "\nnot in:\n" + out).constData());
                break;
            }
            case Check::Exact:
                QCOMPARE(out, expected.join());
                break;
            case Check::JsonRows: {
                const QList<HistoryRow> rows = history();
                QCOMPARE(lines.size(), rows.size() + 1); // and the last line's end
                for (qsizetype i = 0; i < rows.size(); ++i) {
                    const HistoryRow &r = rows.at(i);
                    QJsonParseError error;
                    const QJsonObject o = QJsonDocument::fromJson(lines.at(i), &error).object();
                    QVERIFY2(error.error == QJsonParseError::NoError, lines.at(i).constData());
                    const QStringList texts{o[u"uuid"].toString(),         o[u"started"].toString(),
                                            o[u"finished"].toString(),     o[u"station"].toString(),
                                            o[u"operator"].toString(),     o[u"unit_serial"].toString(),
                                            o[u"unit_run"].toString(),     o[u"lane"].toString(),
                                            o[u"port"].toString(),         o[u"image"].toString(),
                                            o[u"image_sha256"].toString(), o[u"outcome"].toString(),
                                            o[u"message"].toString(),      o[u"cause"].toString(),
                                            o[u"tool"].toString(),         o[u"tool_version"].toString()};
                    const QStringList kept{r.uuid,    r.started, r.finished, r.station,    r.operatorName, r.unitSerial,
                                           r.unitRun, r.lane,    r.port,     r.image,      r.imageSha256,  r.outcome,
                                           r.message, r.cause,   r.tool,     r.toolVersion};
                    QCOMPARE(texts, kept);
                    QCOMPARE(o[u"ok"].toBool(), r.ok);
                    QCOMPARE(o[u"attempt"].toInt(), r.attempt);
                    QCOMPARE(o[u"attempts"].toInt(), r.attempts);
                    QCOMPARE(o[u"failed_line"].toInt(), r.failedLine);
                    QCOMPARE(o[u"record"].toObject(), QJsonDocument::fromJson(r.record.toUtf8()).object());
                }
                break;
            }
            case Check::Page: {
                QVERIFY(out.isEmpty());
                QFile file(m_dir.filePath(u"page.html"_s));
                QVERIFY(file.open(QIODevice::ReadOnly));
                const QByteArray page = file.readAll();
                for (const QByteArray &piece : expected)
                    QVERIFY2(page.contains(piece), piece.constData());
                for (const char *piece : {"<script", "http", "\x1b", "src=", "url("})
                    QVERIFY2(!page.toLower().contains(piece), piece);
                break;
            }
            }
        }
        // Read, never written; and a missing history is not made.
        QCOMPARE(sha(m_history), before);
        QVERIFY(!QFileInfo::exists(m_dir.filePath(u"none.sqlite"_s)));
    }

    // A station's history pushed to the central server, and reported on from
    // there: every row sent once, the same figures as the station's.
    void throughTheServer()
    {
        QString why;
        if (!ThrowawayPostgres::available(&why))
            QSKIP(qPrintable(why));
        ThrowawayPostgres server;
        QVERIFY2(server.start(), qPrintable(server.error()));
        const QString local = m_dir.filePath(u"pushed.sqlite"_s);
        QVERIFY(QFile::copy(m_history, local));
        const auto program = [&](const QStringList &arguments, CliTestSupport::Result *result) {
            QProcess process;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(u"TZ"_s, QString::fromLatin1(kZone));
            process.setProcessEnvironment(environment);
            process.start(CliTestSupport::programPath(u"report/wexel-history"_s),
                          QStringList{u"--history"_s, local, u"--history-server"_s, server.conninfo()} + arguments);
            return CliTestSupport::collect(process, result);
        };
        CliTestSupport::Result r;
        QVERIFY(program({u"push"_s}, &r));
        QVERIFY2(r.exitCode == 0 && r.out == "12 records sent, 0 waiting for the server\n", r.out + r.err);
        QVERIFY(program({u"push"_s}, &r));
        QVERIFY2(r.exitCode == 0 && r.out == "0 records sent, 0 waiting for the server\n", r.out + r.err);
        QCOMPARE(server.number(u"SELECT count(*) FROM attempts"_s), 12);
        QVERIFY(program({u"summary"_s}, &r));
        QVERIFY2(r.exitCode == 0 && collapsed(r.out).contains("all 7 12 2 28.6% 4 57.1%"), r.out + r.err);

        // A row kept while the server is down waits, and says so.
        {
            HistoryStore store;
            QVERIFY(store.open(local));
            QString error;
            QVERIFY(
                store.keep({{u"port"_s, u"/dev/ttyUSB9"_s}, {u"ok"_s, true}, {u"outcome"_s, u"success"_s}}, &error));
        }
        QVERIFY(server.stop());
        QVERIFY(program({u"push"_s}, &r));
        QVERIFY2(r.exitCode == 5 && r.out == "0 records sent, 1 waiting for the server\n" && !r.err.isEmpty(),
                 r.out + r.err);
    }
};

WEXEL_REGISTER_TEST(ReportTest)
#include "tst_report.moc"
