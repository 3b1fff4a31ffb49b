#pragma once

#include <QJsonObject>
#include <QString>

// One attempt in the unit history: the columns reports and the server read,
// and the whole record as the record file holds it. Times are UTC in ISO
// 8601 with milliseconds ("2026-12-09T08:15:02.250Z"), so that they sort as
// text.
struct HistoryRow
{
    QString uuid; // the attempt's own, made when it is kept
    QString started;
    QString finished;
    QString station;
    QString operatorName;
    QString unitSerial; // empty when none was given
    // The attempts of one unit at one lane share it (retries); a new unit, a
    // new one. Counts units that have no serial.
    QString unitRun;
    QString lane;
    QString port;
    QString image;
    QString imageSha256;
    QString outcome;
    bool ok = false;
    int attempt = 1;
    int attempts = 1;
    int failedLine = 0;
    QString message;
    QString cause;
    QString tool;
    QString toolVersion;
    QString record; // the record's JSON, compact

    // The unit the attempt belongs to: its serial, or its lane's run.
    QString unit() const { return unitSerial.isEmpty() ? unitRun : unitSerial; }
    // The local day the attempt ended, "yyyy-MM-dd".
    QString day() const;
};
