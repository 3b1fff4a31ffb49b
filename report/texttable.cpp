#include "report/texttable.h"

#include "core/common/printablebytes.h"

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

// What ends a cut cell: plain ASCII, which every terminal shows.
const QString kCut = u"..."_s;

} // namespace

TextTable::TextTable(const QList<Column> &columns)
    : m_columns(columns)
{ }

QString TextTable::cell(const QString &text, int limit)
{
    // Made printable first: an escape cut in half would be neither.
    const QString shown = printableText(text);
    if (shown.size() <= limit)
        return shown;
    return shown.left(std::max<qsizetype>(0, limit - kCut.size())) + kCut;
}

void TextTable::addRow(const QStringList &cells)
{
    QStringList row;
    for (qsizetype i = 0; i < m_columns.size(); ++i)
        row << cell(cells.value(i), m_columns.at(i).limit);
    m_rows << row;
}

QString TextTable::render() const
{
    QList<qsizetype> widths;
    for (const Column &column : m_columns)
        widths << std::min<qsizetype>(cell(column.title, column.limit).size(), column.limit);
    for (const QStringList &row : m_rows) {
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row.at(i).size());
    }
    const auto line = [&](const QStringList &cells) {
        QString text;
        for (qsizetype i = 0; i < cells.size(); ++i) {
            const bool last = i + 1 == cells.size();
            QString c = cells.at(i);
            c = m_columns.at(i).right ? c.rightJustified(widths.at(i)) : last ? c : c.leftJustified(widths.at(i));
            text += c + (last ? u"\n"_s : u"  "_s);
        }
        return text;
    };
    QStringList titles;
    QStringList rules;
    for (qsizetype i = 0; i < m_columns.size(); ++i) {
        titles << cell(m_columns.at(i).title, m_columns.at(i).limit);
        rules << QString(widths.at(i), u'-');
    }
    QString text = line(titles) + line(rules);
    for (const QStringList &row : m_rows)
        text += line(row);
    return text;
}
