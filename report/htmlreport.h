#pragma once

#include "history/historyrow.h"
#include "report/failurecauses.h"
#include "report/yieldsummary.h"

#include <QList>
#include <QString>

// The reports as one page to keep or mail: the summary, the yield per day
// and the causes' Pareto as inline SVG, the figures per station, lane, image
// and day, and the latest attempts. Self-contained: no script, no style
// sheet, font or picture from elsewhere, so it opens the same offline and
// years later. Every text from the history is escaped (and made printable),
// so a serial holding markup shows as the text it is.
class HtmlReport
{
public:
    // How many of the latest attempts the page lists.
    static constexpr int kLatest = 50;

    struct Content
    {
        QString history; // where the rows come from, as shown
        QString filter; // FilterOptions::describe()
        QString made; // when the page was made, local time
        const YieldSummary *summary = nullptr;
        const FailureCauses *causes = nullptr;
        QList<HistoryRow> latest; // oldest first, as a RowSource gives them
    };

    static QString page(const Content &content);

    // A text from the history as it may stand in the page's text or in an
    // attribute in double quotes.
    static QString escaped(const QString &text);
    // The yield per day: first-pass and final, one point a day.
    static QString yieldChart(const YieldSummary &summary);
    // Failures by cause: a bar each, most frequent first, and the
    // cumulative share as a line.
    static QString paretoChart(const FailureCauses &causes);
};
