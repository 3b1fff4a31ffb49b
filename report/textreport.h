#pragma once

#include "history/historyrow.h"
#include "report/failurecauses.h"
#include "report/yieldsummary.h"

#include <QList>
#include <QString>

// The reports as a terminal shows them: plain tables, every text from the
// history made printable and cut to its column (TextTable). The HTML page
// words its figures the same way.
namespace TextReport {

// A share as a person reads it: "97.5%"; "-" when there is nothing to share.
QString percent(double share, bool any = true);
// A row's UTC time in local time: "2026-12-09 08:15:02".
QString localTime(const QString &utc);
// The file name of an image path; the path itself when it has none.
QString imageName(const QString &path);
// The start of a SHA-256, enough to tell images apart by eye.
QString shaPrefix(const QString &sha256);
// Attempt N of M: "2/3".
QString attemptOf(const HistoryRow &row);

// The figures of the period, then per day, station, lane and image.
QString summary(const YieldSummary &summary, const QString &heading);
// The failures by cause, most frequent first.
QString causes(const FailureCauses &causes, const QString &heading);
// One unit's attempts, oldest first.
QString unitAttempts(const QList<HistoryRow> &rows, const QString &heading);

} // namespace TextReport
