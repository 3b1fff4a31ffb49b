#include "desktop/station/historyview.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTextDocument>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace {

QTableWidget *table(QWidget *parent, const QString &name, const QStringList &headers)
{
    auto *t = new QTableWidget(0, int(headers.size()), parent);
    t->setObjectName(name);
    t->setHorizontalHeaderLabels(headers);
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->setSelectionMode(QAbstractItemView::NoSelection);
    t->setWordWrap(false);
    t->setTextElideMode(Qt::ElideMiddle);
    t->verticalHeader()->hide();
    t->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    return t;
}

void fill(QTableWidget *t, const QList<QStringList> &rows)
{
    t->setRowCount(int(rows.size()));
    for (int r = 0; r < rows.size(); ++r) {
        for (int c = 0; c < t->columnCount() && c < rows.at(r).size(); ++c) {
            // A table item is never read as markup; a tooltip would be,
            // were the text not made into a paragraph of plain text.
            auto *item = new QTableWidgetItem(rows.at(r).at(c));
            item->setToolTip(Qt::convertFromPlainText(rows.at(r).at(c)));
            t->setItem(r, c, item);
        }
    }
}

} // namespace

HistoryView::HistoryView(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(u"historyView"_s);
    setWindowTitle(tr("Unit history"));
    auto *column = new QVBoxLayout(this);
    problemLabel = new QLabel(this);
    problemLabel->setObjectName(u"historyProblem"_s);
    problemLabel->setTextFormat(Qt::PlainText);
    problemLabel->setWordWrap(true);
    problemLabel->hide();
    column->addWidget(problemLabel);
    column->addWidget(
        new QLabel(tr("Today, per lane (units by their last attempt; first pass: at their first)"), this));
    countsTable = table(this, u"historyCounts"_s,
                        {tr("Lane"), tr("Attempts"), tr("Passed"), tr("Failed"), tr("First-pass yield")});
    column->addWidget(countsTable, 1);
    column->addWidget(new QLabel(tr("The last attempts, the newest first"), this));
    recentTable = table(this, u"historyRecent"_s, {tr("Time"), tr("Lane"), tr("Serial"), tr("Outcome")});
    column->addWidget(recentTable, 2);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    reportButton = buttons->addButton(tr("Report..."), QDialogButtonBox::ActionRole);
    reportButton->setObjectName(u"reportButton"_s);
    reportButton->setToolTip(tr("The whole history as one page (wexel-report.html beside the history), opened "
                                "in the browser"));
    // Return and Enter press no button: a scan that lands here does nothing.
    for (QAbstractButton *button : buttons->buttons()) {
        if (auto *push = qobject_cast<QPushButton *>(button)) {
            push->setAutoDefault(false);
            push->setDefault(false);
        }
    }
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    column->addWidget(buttons);
    resize(640, 560);
}

void HistoryView::setContent(const Content &content)
{
    problemLabel->setText(content.problem);
    problemLabel->setVisible(!content.problem.isEmpty());
    fill(countsTable, content.counts);
    fill(recentTable, content.recent);
}
