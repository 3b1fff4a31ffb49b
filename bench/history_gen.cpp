// Makes a unit history of many attempts for bench/history: a production
// line's months, as the command line and the station keep them. Units pass
// at the first attempt most of the time; the others fail for one of a few
// causes and are retried at their lane; a tenth have no serial; some are
// updated again on a later day with the next image. The same history for
// the same arguments (a fixed seed), so figures of two runs compare.
//
//   wexel-bench-history-gen OUT.sqlite ATTEMPTS [DAYS]
#include "history/historystore.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QRandomGenerator>
#include <QUuid>

#include <cstdio>
#include <cstdlib>

using namespace Qt::Literals::StringLiterals;

namespace {

// Rows per transaction: large enough that the commits' syncs do not count.
constexpr int kBatch = 20000;
constexpr int kStations = 4;
constexpr int kLanesPerStation = 8;
// Attempts that fail; the retries of a failed one pass at this rate again.
constexpr int kFailPercent = 8;
constexpr int kNoSerialPercent = 10;
constexpr int kUpdatedAgainPercent = 2;
constexpr int kRetries = 2;

struct Cause
{
    const char *outcome;
    const char *message;
    const char *cause;
    int weight;
};

// The shares a line sees: refused lines lead, then silent erases.
const Cause kCauses[] = {
    {"write-refused", "Line refused by the instrument",
     "%1: line 212 was answered with \"E2\" instead of \"*\"; the instrument may be erased: run the update again", 45},
    {"erase-failed", "No answer to the erase",
     "no answer to the erase command \"KILL\": %1: no answer within 3000 ms; check the port and the cable", 25},
    {"write-failed", "The link failed while writing",
     "%1: the device was unplugged or hung up; the instrument may be erased: run the update again", 15},
    {"device-changed", "Another device on the port",
     "%1 now leads to another device: the unit that was updated went away", 10},
    {"interrupted", "Interrupted", "%1: stopped by the operator at line 40; the instrument may be erased", 5},
};

const Cause &pickCause(QRandomGenerator &random)
{
    int total = 0;
    for (const Cause &c : kCauses)
        total += c.weight;
    int at = int(random.bounded(total));
    for (const Cause &c : kCauses) {
        if (at < c.weight)
            return c;
        at -= c.weight;
    }
    return kCauses[0];
}

QString isoTime(const QDateTime &t)
{
    return t.toUTC().toString(Qt::ISODateWithMs);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fputs("usage: wexel-bench-history-gen OUT.sqlite ATTEMPTS [DAYS]\n", stderr);
        return 2;
    }
    const qint64 total = args.at(2).toLongLong();
    const int days = args.size() > 3 ? args.at(3).toInt() : 90;
    if (total <= 0 || days <= 0) {
        std::fputs("wexel-bench-history-gen: ATTEMPTS and DAYS are positive numbers\n", stderr);
        return 2;
    }
    HistoryStore store;
    if (!store.open(args.at(1))) {
        std::fprintf(stderr, "wexel-bench-history-gen: %s\n", qPrintable(store.error()));
        return 1;
    }

    QRandomGenerator random(20261209);
    const QDateTime first(QDate(2026, 9, 1), QTime(6, 0), Qt::UTC);
    const qint64 spanMs = qint64(days) * 24 * 3600 * 1000;
    // Whole updates of ~3 s each, spread evenly over the days.
    const qint64 stepMs = spanMs / total;
    const QList<std::pair<QString, QString>> images{
        {u"/srv/firmware/wx-2.3.0.txt"_s, u"0b3c1f6a9d2e4b7c8a1f0e9d8c7b6a5f4e3d2c1b0a9f8e7d6c5b4a3f2e1d0c9b"_s},
        {u"/srv/firmware/wx-2.4.0.txt"_s, u"7e6d5c4b3a2f1e0d9c8b7a6f5e4d3c2b1a0f9e8d7c6b5a4f3e2d1c0b9a8f7e6d"_s},
        {u"/srv/firmware/wx-2.4.1.hex"_s, u"c1d2e3f4a5b6c7d8e9f0a1b2c3d4e5f6a7b8c9d0e1f2a3b4c5d6e7f8a9b0c1d2"_s},
    };
    QList<QString> serialsDone;
    QList<HistoryRow> batch;
    batch.reserve(kBatch);
    qint64 made = 0;
    qint64 unitNumber = 0;
    const auto flush = [&] {
        if (!store.insert(batch)) {
            std::fprintf(stderr, "wexel-bench-history-gen: %s\n", qPrintable(store.error()));
            std::exit(1);
        }
        batch.clear();
    };
    while (made < total) {
        const QDateTime at = first.addMSecs(made * stepMs);
        const int station = int(random.bounded(kStations));
        const int lane = int(random.bounded(kLanesPerStation));
        // The image of the period: the three in turn, a month each.
        const int image = int(std::min<qint64>(images.size() - 1, made * images.size() / total));
        QString serial;
        if (!serialsDone.isEmpty() && int(random.bounded(100)) < kUpdatedAgainPercent)
            serial = serialsDone.at(random.bounded(serialsDone.size()));
        else if (int(random.bounded(100)) >= kNoSerialPercent)
            serial = u"SN-%1"_s.arg(++unitNumber, 7, 10, QLatin1Char('0'));
        if (!serial.isEmpty() && serialsDone.size() < 100000)
            serialsDone << serial;
        const QString run = QUuid::createUuid().toString(QUuid::WithoutBraces);
        const QString port
            = u"/dev/serial/by-path/pci-0000:00:14.0-usb-0:%1.%2:1.0-port0"_s.arg(station + 1).arg(lane + 1);
        for (int attempt = 1; attempt <= 1 + kRetries && made < total; ++attempt) {
            const bool ok = int(random.bounded(100)) >= kFailPercent;
            const Cause &cause = pickCause(random);
            HistoryRow r;
            r.uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
            const QDateTime finished = at.addMSecs(qint64(attempt - 1) * 3500 + 3000);
            r.started = isoTime(finished.addMSecs(-3000));
            r.finished = isoTime(finished);
            r.station = u"station-%1"_s.arg(station + 1, 2, 10, QLatin1Char('0'));
            r.operatorName = u"operator-%1"_s.arg(int(random.bounded(12)) + 1);
            r.unitSerial = serial;
            r.unitRun = run;
            r.lane = u"bay-%1"_s.arg(lane + 1, 2, 10, QLatin1Char('0'));
            r.port = port;
            r.image = images.at(image).first;
            r.imageSha256 = images.at(image).second;
            r.outcome = ok ? u"success"_s : QString::fromLatin1(cause.outcome);
            r.ok = ok;
            r.attempt = attempt;
            r.attempts = 1 + kRetries;
            r.failedLine = ok ? 0 : 212;
            r.message = ok ? u"Update OK"_s : QString::fromLatin1(cause.message);
            r.cause = ok
                ? u"%1: 599 of 599 lines written; the instrument answered the end line with \"OK*\""_s.arg(port)
                : QString::fromLatin1(cause.cause).arg(port);
            r.tool = u"wexel-update-cli"_s;
            r.toolVersion = u"1.0.0"_s;
            const QJsonObject record{
                {u"adapter"_s,
                 QJsonObject{{u"description"_s, u"FT232R USB UART"_s},
                             {u"manufacturer"_s, u"FTDI"_s},
                             {u"serial_number"_s, u"A10K%1"_s.arg(station * 100 + lane)},
                             {u"usb_id"_s, u"0403:6001"_s}}},
                {u"attempt"_s, attempt},
                {u"bytes_discarded"_s, 0},
                {u"cause"_s, r.cause},
                {u"device"_s, u"/dev/ttyUSB%1"_s.arg(lane)},
                {u"erase_sent"_s, true},
                {u"failed_line"_s, r.failedLine},
                {u"finished"_s, r.finished},
                {u"host"_s, r.station},
                {u"image"_s, r.image},
                {u"image_format"_s, u"text"_s},
                {u"image_sha256"_s, r.imageSha256},
                {u"lane"_s, r.lane},
                {u"lines"_s, 599},
                {u"lines_acknowledged"_s, ok ? 599 : 211},
                {u"message"_s, r.message},
                {u"of"_s, r.attempts},
                {u"ok"_s, ok},
                {u"outcome"_s, r.outcome},
                {u"port"_s, port},
                {u"sent_sha256"_s, r.imageSha256},
                {u"started"_s, r.started},
                {u"tool"_s, r.tool},
                {u"tool_version"_s, r.toolVersion},
            };
            r.record = QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact));
            batch << r;
            ++made;
            if (batch.size() == kBatch)
                flush();
            if (ok)
                break;
        }
    }
    flush();
    std::printf("%lld attempts in %s\n", static_cast<long long>(made), qPrintable(args.at(1)));
    return 0;
}
