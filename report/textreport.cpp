#include "report/textreport.h"

#include "core/common/printablebytes.h"
#include "report/texttable.h"

#include <QDateTime>
#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

namespace {

// Wide enough for a serial (64 characters at most) without its end cut off
// on a usual terminal; a cause gets what is left of 120 columns.
constexpr int kLabelWidth = 40;
constexpr int kNameWidth = 24;
constexpr int kExampleWidth = 70;
constexpr int kShaShown = 12;

const QList<std::pair<YieldSummary::Dimension, QString>> &dimensions()
{
    static const QList<std::pair<YieldSummary::Dimension, QString>> list{
        {YieldSummary::Dimension::Day, u"day"_s},
        {YieldSummary::Dimension::Station, u"station"_s},
        {YieldSummary::Dimension::Lane, u"station / lane"_s},
        {YieldSummary::Dimension::Image, u"image"_s},
    };
    return list;
}

QStringList figureCells(const YieldSummary::Figures &f)
{
    return {QString::number(f.units),     QString::number(f.attempts),
            QString::number(f.firstPass), TextReport::percent(f.firstPassYield(), f.units > 0),
            QString::number(f.finalPass), TextReport::percent(f.finalYield(), f.units > 0)};
}

QList<TextTable::Column> figureColumns(const QString &first)
{
    return {{first, kLabelWidth}, {u"units"_s, 12, true},      {u"attempts"_s, 12, true},   {u"first pass"_s, 12, true},
            {u"FPY"_s, 7, true},  {u"final pass"_s, 12, true}, {u"final yield"_s, 11, true}};
}

} // namespace

namespace TextReport {

QString percent(double share, bool any)
{
    return any ? QString::number(share * 100.0, 'f', 1) + u'%' : u"-"_s;
}

QString localTime(const QString &utc)
{
    const QDateTime time = QDateTime::fromString(utc, Qt::ISODateWithMs);
    return time.isValid() ? time.toLocalTime().toString(u"yyyy-MM-dd HH:mm:ss"_s) : utc;
}

QString imageName(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    return name.isEmpty() ? path : name;
}

QString shaPrefix(const QString &sha256)
{
    return sha256.left(kShaShown);
}

QString attemptOf(const HistoryRow &row)
{
    return u"%1/%2"_s.arg(row.attempt).arg(row.attempts);
}

QString summary(const YieldSummary &summary, const QString &heading)
{
    const YieldSummary::Figures all = summary.overall();
    QString text = printableText(heading) + u"\n\n"_s;
    TextTable overall(figureColumns(u"period"_s));
    overall.addRow(QStringList{u"all"_s} + figureCells(all));
    text += overall.render();
    if (all.units == 0)
        return text + u"\nNo attempt in the period.\n"_s;
    for (const auto &[dimension, title] : dimensions()) {
        TextTable table(figureColumns(title));
        for (const YieldSummary::Group &group : summary.groups(dimension))
            table.addRow(QStringList{group.label} + figureCells(group.figures));
        text += u"\n"_s + table.render();
    }
    return text;
}

QString causes(const FailureCauses &causes, const QString &heading)
{
    QString text = printableText(heading) + u"\n\n"_s;
    if (causes.failures() == 0)
        return text + u"No failed attempt in the period.\n"_s;
    text += u"%1 failed attempts by cause, most frequent first:\n\n"_s.arg(causes.failures());
    TextTable table({{u"cause"_s, kNameWidth},
                     {u"failures"_s, 12, true},
                     {u"share"_s, 7, true},
                     {u"cumulative"_s, 10, true},
                     {u"latest"_s, kExampleWidth}});
    for (const FailureCauses::Cause &cause : causes.pareto())
        table.addRow({cause.outcome, QString::number(cause.count), percent(cause.share), percent(cause.cumulative),
                      cause.example});
    return text + table.render();
}

QString unitAttempts(const QList<HistoryRow> &rows, const QString &heading)
{
    QString text = printableText(heading) + u"\n\n"_s;
    if (rows.isEmpty())
        return text + u"No attempt of this unit.\n"_s;
    TextTable table({{u"time"_s, 19},
                     {u"station"_s, kNameWidth},
                     {u"operator"_s, kNameWidth},
                     {u"lane"_s, kNameWidth},
                     {u"image"_s, kNameWidth},
                     {u"sha256"_s, kShaShown},
                     {u"outcome"_s, kNameWidth},
                     {u"attempt"_s, 9, true}});
    for (const HistoryRow &row : rows)
        table.addRow({localTime(row.finished), row.station, row.operatorName, row.lane.isEmpty() ? u"-"_s : row.lane,
                      imageName(row.image), shaPrefix(row.imageSha256), row.outcome, attemptOf(row)});
    return text + table.render();
}

} // namespace TextReport
