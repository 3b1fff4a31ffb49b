#include "report/htmlreport.h"

#include "core/common/printablebytes.h"
#include "report/textreport.h"

#include <QLocale>
#include <QtMath>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

// The station's own colours: PASS, FAIL, and its blue for what is neither.
const QString kPass = u"#1b7f2a"_s;
const QString kFail = u"#c0221b"_s;
const QString kBlue = u"#1f5fa8"_s;
const QString kInk = u"#222222"_s;
const QString kGrid = u"#dddddd"_s;

// Two charts side by side in a 1200-pixel window, beside its scroll bar.
constexpr int kChartWidth = 540;
constexpr int kChartHeight = 270;
constexpr int kLeft = 52;
constexpr int kRight = 44;
constexpr int kTop = 30;
constexpr int kBottom = 48;
// Beyond these, labels would run into each other.
constexpr int kMostDayLabels = 8;
constexpr int kMostMarkedDays = 31;
// A cell that would stretch the page is cut, its whole text kept as a
// tooltip; a cell of prose wraps, and is cut only where no one reads on.
constexpr int kCellLength = 60;
constexpr int kProseLength = 300;

QString num(double value)
{
    return QString::number(value, 'f', 1);
}

QString cell(const QString &text, const QString &cssClass = {})
{
    const QString shown = printableText(text);
    const QString open = cssClass.isEmpty() ? u"<td"_s : u"<td class=\"%1\""_s.arg(cssClass);
    const qsizetype limit = cssClass == u"text"_s ? kProseLength : kCellLength;
    if (shown.size() <= limit)
        return u"%1>%2</td>"_s.arg(open, shown.toHtmlEscaped());
    return u"%1 title=\"%2\">%3...</td>"_s.arg(open, shown.toHtmlEscaped(), shown.left(limit - 3).toHtmlEscaped());
}

// Counts with their thousands marked: 901,959.
QString count(qint64 value)
{
    return QLocale(QLocale::English).toString(value);
}

QString numberCell(qint64 value)
{
    return u"<td class=\"n\">%1</td>"_s.arg(count(value));
}

// The least of 1, 2 or 5 times a power of ten at or above `value`: an
// axis that ends there has round marks.
qint64 roundUp(qint64 value)
{
    qint64 power = 1;
    while (true) {
        for (const qint64 step : {1, 2, 5}) {
            if (step * power >= value)
                return step * power;
        }
        power *= 10;
    }
}

QString textCell(const QString &text)
{
    return u"<td class=\"n\">%1</td>"_s.arg(HtmlReport::escaped(text));
}

QString figuresTable(const QString &title, const QString &first, const QList<YieldSummary::Group> &groups)
{
    QString html = u"<section><h2>%1</h2><table><tr><th>%2</th><th class=\"n\">units</th><th "
                   "class=\"n\">attempts</th><th class=\"n\">first-pass yield</th><th class=\"n\">final "
                   "yield</th></tr>\n"_s.arg(title, first);
    for (const YieldSummary::Group &group : groups) {
        const YieldSummary::Figures &f = group.figures;
        html += u"<tr>"_s + cell(group.label) + numberCell(f.units) + numberCell(f.attempts)
            + textCell(TextReport::percent(f.firstPassYield(), f.units > 0))
            + textCell(TextReport::percent(f.finalYield(), f.units > 0)) + u"</tr>\n"_s;
    }
    return html + u"</table></section>\n"_s;
}

QString card(const QString &title, const QString &value, const QString &cssClass = {})
{
    return u"<div class=\"card\"><div class=\"t\">%1</div><div class=\"v%2\">%3</div></div>"_s.arg(
        title, cssClass.isEmpty() ? QString() : u" "_s + cssClass, HtmlReport::escaped(value));
}

const QString kStyle = uR"(
body { font-family: "Liberation Sans", "DejaVu Sans", Arial, sans-serif; color: #222; background: #fff;
       margin: 20px 28px; font-size: 14px; max-width: 1120px; }
h1 { font-size: 22px; margin: 0 0 2px; }
h2 { font-size: 16px; margin: 18px 0 6px; }
.sub { color: #555; margin-bottom: 14px; overflow-wrap: anywhere; }
.cards { display: flex; gap: 14px; flex-wrap: wrap; }
.card { border: 1px solid #ccc; border-radius: 6px; padding: 8px 16px; min-width: 150px; }
.card .t { color: #555; font-size: 13px; }
.card .v { font-size: 26px; font-weight: bold; }
.pass { color: #1b7f2a; } .fail { color: #c0221b; }
.row { display: flex; gap: 24px; flex-wrap: wrap; align-items: flex-start; }
.chart { border: 1px solid #ddd; border-radius: 6px; }
svg text { font-family: inherit; font-size: 11px; fill: #222; }
table { border-collapse: collapse; font-size: 13px; }
th, td { border-bottom: 1px solid #ddd; padding: 3px 8px; text-align: left; white-space: nowrap; }
td.text { white-space: normal; }
table.wide { width: 100%; }
th { background: #f2f2f2; }
.n { text-align: right; font-variant-numeric: tabular-nums; }
td.ok, td.bad { color: #fff; font-weight: bold; text-align: center; }
td.ok { background: #1b7f2a; } td.bad { background: #c0221b; }
.none { color: #555; }
)"_s;

} // namespace

QString HtmlReport::escaped(const QString &text)
{
    return printableText(text).toHtmlEscaped();
}

QString HtmlReport::yieldChart(const YieldSummary &summary)
{
    const QList<YieldSummary::Group> days = summary.groups(YieldSummary::Dimension::Day);
    const int plotWidth = kChartWidth - kLeft - kRight;
    const int plotHeight = kChartHeight - kTop - kBottom;
    // From the tens below the lowest yield to 100 %: a line's dips show.
    double lowest = 1.0;
    for (const YieldSummary::Group &day : days)
        lowest = std::min(lowest, day.figures.firstPassYield());
    const int floorPercent = std::clamp(int(qFloor(lowest * 10.0)) * 10, 0, 90);
    const auto y = [&](double share) {
        return kTop + plotHeight * (1.0 - (share * 100.0 - floorPercent) / (100.0 - floorPercent));
    };
    const auto x = [&](qsizetype i) {
        return days.size() <= 1 ? kLeft + plotWidth / 2.0 : kLeft + plotWidth * double(i) / double(days.size() - 1);
    };
    QString svg = u"<svg class=\"chart\" width=\"%1\" height=\"%2\" viewBox=\"0 0 %1 %2\" role=\"img\">"
                  "<title>First-pass and final yield per day</title>\n"_s.arg(kChartWidth)
                      .arg(kChartHeight);
    const int span = 100 - floorPercent;
    const int step = span > 40 ? 20 : span > 20 ? 10 : 2;
    for (int p = floorPercent; p <= 100; p += step) {
        svg += u"<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%2\" stroke=\"%4\"/>"
               "<text x=\"%5\" y=\"%6\" text-anchor=\"end\">%7%</text>\n"_s.arg(kLeft)
                   .arg(num(y(p / 100.0)))
                   .arg(kLeft + plotWidth)
                   .arg(kGrid)
                   .arg(kLeft - 6)
                   .arg(num(y(p / 100.0) + 4))
                   .arg(p);
    }
    const qsizetype labelEvery = std::max<qsizetype>(1, (days.size() + kMostDayLabels - 1) / kMostDayLabels);
    for (qsizetype i = 0; i < days.size(); i += labelEvery) {
        svg += u"<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">%3</text>\n"_s.arg(num(x(i)))
                   .arg(kTop + plotHeight + 16)
                   .arg(escaped(days.at(i).label.mid(5)));
    }
    const auto series = [&](const QString &colour, double (YieldSummary::Figures::*yield)() const) {
        QStringList points;
        QString marks;
        for (qsizetype i = 0; i < days.size(); ++i) {
            const QString px = num(x(i));
            const QString py = num(y((days.at(i).figures.*yield)()));
            points << px + u',' + py;
            if (days.size() <= kMostMarkedDays)
                marks += u"<circle cx=\"%1\" cy=\"%2\" r=\"3\" fill=\"%3\"><title>%4: %5</title></circle>"_s.arg(
                    px, py, colour, escaped(days.at(i).label), TextReport::percent((days.at(i).figures.*yield)()));
        }
        return u"<polyline fill=\"none\" stroke=\"%1\" stroke-width=\"2\" points=\"%2\"/>%3\n"_s.arg(colour,
                                                                                                     points.join(u' '),
                                                                                                     marks);
    };
    if (!days.isEmpty()) {
        svg += series(kBlue, &YieldSummary::Figures::firstPassYield);
        svg += series(kPass, &YieldSummary::Figures::finalYield);
    } else {
        svg += u"<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">no attempt in the period</text>"_s
                   .arg(kLeft + plotWidth / 2)
                   .arg(kTop + plotHeight / 2);
    }
    // The legend, above the plot.
    svg += u"<rect x=\"%1\" y=\"10\" width=\"14\" height=\"4\" fill=\"%2\"/><text x=\"%3\" y=\"16\">first-pass "
           "yield</text><rect x=\"%4\" y=\"10\" width=\"14\" height=\"4\" fill=\"%5\"/><text x=\"%6\" "
           "y=\"16\">final yield</text>\n"_s.arg(kLeft)
               .arg(kBlue)
               .arg(kLeft + 18)
               .arg(kLeft + 130)
               .arg(kPass)
               .arg(kLeft + 148);
    return svg + u"</svg>\n"_s;
}

QString HtmlReport::paretoChart(const FailureCauses &causes)
{
    const QList<FailureCauses::Cause> pareto = causes.pareto();
    const int plotWidth = kChartWidth - kLeft - kRight;
    const int plotHeight = kChartHeight - kTop - kBottom;
    QString svg = u"<svg class=\"chart\" width=\"%1\" height=\"%2\" viewBox=\"0 0 %1 %2\" role=\"img\">"
                  "<title>Failures by cause</title>\n"_s.arg(kChartWidth)
                      .arg(kChartHeight);
    if (pareto.isEmpty()) {
        svg += u"<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">no failed attempt in the period</text>"_s
                   .arg(kLeft + plotWidth / 2)
                   .arg(kTop + plotHeight / 2);
        return svg + u"</svg>\n"_s;
    }
    const qint64 most = roundUp(pareto.constFirst().count);
    // Whole counts on the left, at most five steps of them.
    const qint64 step = most <= 5 ? 1 : QString::number(most).startsWith(u'2') ? most / 4 : most / 5;
    const double slot = double(plotWidth) / double(pareto.size());
    for (qint64 c = 0; c <= most; c += step) {
        const double gy = kTop + plotHeight * (1.0 - double(c) / double(most));
        svg += u"<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%2\" stroke=\"%4\"/>"
               "<text x=\"%5\" y=\"%6\" text-anchor=\"end\">%7</text>\n"_s.arg(kLeft)
                   .arg(num(gy))
                   .arg(kLeft + plotWidth)
                   .arg(kGrid)
                   .arg(kLeft - 6)
                   .arg(num(gy + 4))
                   .arg(count(c));
    }
    // The cumulative share on the right, in quarters.
    for (int p = 0; p <= 100; p += 25) {
        const double gy = kTop + plotHeight * (1.0 - p / 100.0);
        svg += u"<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%2\" stroke=\"%4\"/><text x=\"%5\" y=\"%6\">%7%</text>\n"_s
                   .arg(kLeft + plotWidth)
                   .arg(num(gy))
                   .arg(kLeft + plotWidth + 4)
                   .arg(kInk)
                   .arg(kLeft + plotWidth + 7)
                   .arg(num(gy + 4))
                   .arg(p);
    }
    const bool slanted = pareto.size() > 5;
    QStringList line;
    for (qsizetype i = 0; i < pareto.size(); ++i) {
        const FailureCauses::Cause &cause = pareto.at(i);
        const double height = plotHeight * double(cause.count) / double(most);
        const double bx = kLeft + slot * double(i) + slot * 0.15;
        const double cx = kLeft + slot * (double(i) + 0.5);
        // One arg() for all: a text from the history may hold "%1" itself.
        svg += u"<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"><title>%6: %7 (%8)</title></rect>"_s
                   .arg(num(bx), num(kTop + plotHeight - height), num(slot * 0.7), num(height), kFail,
                        escaped(cause.outcome), QString::number(cause.count), TextReport::percent(cause.share));
        const QString label = escaped(cause.outcome.left(kCellLength));
        const double ly = kTop + plotHeight + 14;
        svg += slanted
            ? u"<text x=\"%1\" y=\"%2\" text-anchor=\"end\" transform=\"rotate(-30 %1 %2)\">%3</text>\n"_s.arg(num(cx),
                                                                                                               num(ly),
                                                                                                               label)
            : u"<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">%3</text>\n"_s.arg(num(cx), num(ly), label);
        line << num(cx) + u',' + num(kTop + plotHeight * (1.0 - cause.cumulative));
    }
    svg += u"<polyline fill=\"none\" stroke=\"%1\" stroke-width=\"2\" points=\"%2\"/>\n"_s.arg(kInk, line.join(u' '));
    svg += u"<rect x=\"%1\" y=\"10\" width=\"14\" height=\"8\" fill=\"%2\"/><text x=\"%3\" y=\"18\">failed "
           "attempts</text><rect x=\"%4\" y=\"12\" width=\"14\" height=\"3\" fill=\"%5\"/><text x=\"%6\" "
           "y=\"18\">cumulative share</text>\n"_s.arg(kLeft)
               .arg(kFail)
               .arg(kLeft + 18)
               .arg(kLeft + 130)
               .arg(kInk)
               .arg(kLeft + 148);
    return svg + u"</svg>\n"_s;
}

QString HtmlReport::page(const Content &content)
{
    const YieldSummary &summary = *content.summary;
    const FailureCauses &causes = *content.causes;
    const YieldSummary::Figures all = summary.overall();
    QString html
        = u"<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
          "<title>Unit history: %1</title>\n<style>%2</style>\n</head>\n<body>\n"_s.arg(escaped(content.filter),
                                                                                        kStyle);
    html += u"<h1>Unit history</h1>\n<div class=\"sub\">%1 &middot; %2 &middot; made %3</div>\n"_s.arg(
        escaped(content.history), escaped(content.filter), escaped(content.made));

    const bool any = all.units > 0;
    html += u"<div class=\"cards\">"_s + card(u"units"_s, count(all.units)) + card(u"attempts"_s, count(all.attempts))
        + card(u"first-pass yield"_s, TextReport::percent(all.firstPassYield(), any))
        + card(u"final yield"_s, TextReport::percent(all.finalYield(), any), u"pass"_s)
        + card(u"failed attempts"_s, count(causes.failures()), causes.failures() ? u"fail"_s : QString())
        + u"</div>\n"_s;

    html += u"<div class=\"row\"><section><h2>Yield per day</h2>\n"_s + yieldChart(summary)
        + u"</section><section><h2>Failures by cause</h2>\n"_s + paretoChart(causes) + u"</section></div>\n"_s;

    if (causes.failures() > 0) {
        html += u"<section><h2>Causes, most frequent first</h2><table class=\"wide\"><tr><th>cause</th><th "
                "class=\"n\">failures</th><th class=\"n\">share</th><th class=\"n\">cumulative</th><th>latest"
                "</th></tr>\n"_s;
        for (const FailureCauses::Cause &cause : causes.pareto()) {
            html += u"<tr>"_s + cell(cause.outcome) + numberCell(cause.count)
                + textCell(TextReport::percent(cause.share)) + textCell(TextReport::percent(cause.cumulative))
                + cell(cause.example, u"text"_s) + u"</tr>\n"_s;
        }
        html += u"</table></section>\n"_s;
    }

    if (any) {
        html += u"<div class=\"row\">"_s
            + figuresTable(u"Per station"_s, u"station"_s, summary.groups(YieldSummary::Dimension::Station))
            + figuresTable(u"Per lane"_s, u"station / lane"_s, summary.groups(YieldSummary::Dimension::Lane))
            + figuresTable(u"Per image"_s, u"image"_s, summary.groups(YieldSummary::Dimension::Image))
            + figuresTable(u"Per day"_s, u"day"_s, summary.groups(YieldSummary::Dimension::Day)) + u"</div>\n"_s;
    }

    html += u"<section><h2>Latest attempts, newest first</h2>\n"_s;
    if (content.latest.isEmpty()) {
        html += u"<p class=\"none\">No attempt in the period.</p>\n"_s;
    } else {
        html
            += u"<table class=\"wide\"><tr><th>time</th><th>unit</th><th>station</th><th>operator</th><th>lane</th><th>image</th>"
               "<th>sha256</th><th>result</th><th>outcome</th><th class=\"n\">attempt</th><th>message</th></tr>\n"_s;
        for (auto it = content.latest.crbegin(); it != content.latest.crend(); ++it) {
            const HistoryRow &row = *it;
            html += u"<tr>"_s + cell(TextReport::localTime(row.finished)) + cell(row.unit()) + cell(row.station)
                + cell(row.operatorName) + cell(row.lane.isEmpty() ? u"-"_s : row.lane)
                + cell(TextReport::imageName(row.image)) + cell(TextReport::shaPrefix(row.imageSha256))
                + (row.ok ? u"<td class=\"ok\">PASS</td>"_s : u"<td class=\"bad\">FAIL</td>"_s) + cell(row.outcome)
                + textCell(TextReport::attemptOf(row)) + cell(row.message, u"text"_s) + u"</tr>\n"_s;
        }
        html += u"</table>\n"_s;
    }
    return html + u"</section>\n</body>\n</html>\n"_s;
}
