#pragma once

#include "history/historystore.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>

// The options that choose which attempts a report covers, the same for
// every command: the period (--since, --until, in local time, as a person
// says it) and the station, lane and image. Checked here once, so that a
// report never runs over a period other than the one that was meant.
class FilterOptions
{
public:
    // An image is named by a path, and a path may be long; one longer than
    // the system's own limit names no file.
    static constexpr int kMaxImage = 4096;
    // Times the history can hold: its rows are compared as text, which
    // orders correctly only with four-digit years, and no unit was updated
    // before 1970.
    static constexpr int kFirstYear = 1970;
    static constexpr int kLastYear = 9999;

    enum class Bound {
        Since, // the first moment included
        Until, // the first moment no longer included; a date means the end of that day
    };

    FilterOptions();

    // In the order they are listed in the help.
    QList<QCommandLineOption> options() const;
    // What the parser found, as the history's filter. False with *error set.
    bool read(const QCommandLineParser &parser, HistoryStore::Filter *filter, QString *error) const;

    // A date (2026-12-09) or a date and time (2026-12-09T08:30, 2026-12-09
    // 08:30:15) in local time, or with Z or an offset, as the UTC time the
    // history's rows are compared with. False with *error naming `option`.
    static bool parseTime(const QString &option, const QString &text, Bound bound, QString *utc, QString *error);
    // The filter in words, its times in local time, for a report's heading:
    // "since 2026-12-08 00:00, station-01"; "all attempts" when it selects all.
    static QString describe(const HistoryStore::Filter &filter);

private:
    QCommandLineOption m_since;
    QCommandLineOption m_until;
    QCommandLineOption m_station;
    QCommandLineOption m_lane;
    QCommandLineOption m_image;
};
