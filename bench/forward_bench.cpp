// wexel-bench-forward CONNINFO [ROWS] [RUNS]: how many rows a second go
// from a station's history to the central server. Each run keeps ROWS new
// attempts in a new history and sends them all: once with the push command's
// HistoryForwarder::push(), once with the forwarder's own thread, timed from
// start() to its count of rows waiting reaching 0. Prints one line a run and
// way: "push ROWS SECONDS" and "thread ROWS SECONDS"; exits 1 when a row was
// not sent.
#include "history/historyforwarder.h"
#include "history/historystore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <QUuid>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace {

// Attempts as the command line keeps them: a record of some 700 bytes.
QList<HistoryRow> attempts(int count)
{
    const QString record = uR"({"adapter":{},"attempt":1,"bytes_discarded":0,"cause":"/dev/ttyUSB0: 599 of 599 )"
                           uR"(lines written; the instrument answered the end line with \"OK*\"","device":)"
                           uR"("/dev/ttyUSB0","end_reply":"OK*","erase_sent":true,"failed_line":0,"finished":)"
                           uR"("%1","host":"bench-1","image":"/lab/firmware/fw-2.4.1.hex","image_format":)"
                           uR"("intel-hex","image_sha256":"edbf3d7bb2142b329410b13e64a277d35b3b0b8020dabc5ce5)"
                           uR"(05a9cd93d7f43b","lines":599,"lines_acknowledged":599,"message":"Update OK","of":1,)"
                           uR"("ok":true,"outcome":"success","port":"/dev/ttyUSB0","sent_sha256":"1119ad43ec6614)"
                           uR"(e15b59b536939e9aaa6ab0a4dbffd24d963efe5d8992b0827c","started":"%2","tool":)"
                           uR"("wexel-update-cli","tool_version":"1.0.0"})"_s;
    const QDateTime start = QDateTime::currentDateTimeUtc();
    QList<HistoryRow> rows;
    rows.reserve(count);
    for (int i = 0; i < count; ++i) {
        HistoryRow r;
        r.uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
        r.started = start.addMSecs(i * 1000).toString(Qt::ISODateWithMs);
        r.finished = start.addMSecs(i * 1000 + 800).toString(Qt::ISODateWithMs);
        r.station = u"bench-1"_s;
        r.operatorName = u"ada"_s;
        r.unitSerial = u"SN-%1"_s.arg(100000 + i);
        r.unitRun = QUuid::createUuid().toString(QUuid::WithoutBraces);
        r.lane = QString::number(i % 8);
        r.port = u"/dev/ttyUSB0"_s;
        r.image = u"/lab/firmware/fw-2.4.1.hex"_s;
        r.imageSha256 = u"edbf3d7bb2142b329410b13e64a277d35b3b0b8020dabc5ce505a9cd93d7f43b"_s;
        r.outcome = u"success"_s;
        r.ok = true;
        r.message = u"Update OK"_s;
        r.cause = u"/dev/ttyUSB0: 599 of 599 lines written; the instrument answered the end line with \"OK*\""_s;
        r.tool = u"wexel-update-cli"_s;
        r.toolVersion = u"1.0.0"_s;
        r.record = record.arg(r.finished, r.started);
        rows << r;
    }
    return rows;
}

bool keep(const QString &path, int count)
{
    HistoryStore store;
    if (store.open(path) && store.insert(attempts(count)))
        return true;
    std::fprintf(stderr, "wexel-bench-forward: %s\n", qPrintable(store.error()));
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fputs("usage: wexel-bench-forward CONNINFO [ROWS] [RUNS]\n", stderr);
        return 2;
    }
    const QString conninfo = args.at(1);
    const int rows = args.size() > 2 ? args.at(2).toInt() : 20000;
    const int runs = args.size() > 3 ? args.at(3).toInt() : 3;
    constexpr std::chrono::minutes kLongEnough{10};
    for (int run = 0; run < runs; ++run) {
        QTemporaryDir dir;
        const QString pushed = dir.filePath(u"pushed.sqlite"_s);
        const QString threaded = dir.filePath(u"threaded.sqlite"_s);
        if (!keep(pushed, rows) || !keep(threaded, rows))
            return 1;

        QElapsedTimer clock;
        clock.start();
        const HistoryForwarder::Result result = HistoryForwarder::push(pushed, conninfo, kLongEnough);
        const double pushSeconds = double(clock.nsecsElapsed()) / 1e9;
        if (result.sent != rows || result.waiting != 0) {
            std::fprintf(stderr, "wexel-bench-forward: %lld of %d sent: %s\n", static_cast<long long>(result.sent),
                         rows, qPrintable(result.error));
            return 1;
        }
        std::printf("push %d %.3f\n", rows, pushSeconds);

        HistoryForwarder forwarder(threaded, conninfo);
        QEventLoop loop;
        QObject::connect(&forwarder, &HistoryForwarder::waitingChanged, &loop, [&loop](qint64 waiting) {
            if (waiting == 0)
                loop.quit();
        });
        QTimer::singleShot(kLongEnough, &loop, [&loop] { loop.exit(1); });
        clock.start();
        forwarder.start();
        if (loop.exec() != 0) {
            std::fprintf(stderr, "wexel-bench-forward: the thread did not send it all: %s\n",
                         qPrintable(forwarder.lastError()));
            return 1;
        }
        std::printf("thread %d %.3f\n", rows, double(clock.nsecsElapsed()) / 1e9);
        std::fflush(stdout);
    }
    return 0;
}
