#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// A table for a terminal: columns padded to their widest cell, each cut to
// its own limit, every cell made printable first (core/common's
// printableText), so that a serial or a cause holding control characters
// can neither move the cursor nor stretch a line past reading.
class TextTable
{
public:
    struct Column
    {
        QString title;
        int limit = 40; // characters; a longer cell ends in "..."
        bool right = false; // numbers
    };

    explicit TextTable(const QList<Column> &columns);

    void addRow(const QStringList &cells);
    bool isEmpty() const { return m_rows.isEmpty(); }
    // The header, a rule and the rows, each line ending in "\n".
    QString render() const;

    // A text as a cell of at most `limit` characters shows it.
    static QString cell(const QString &text, int limit);

private:
    QList<Column> m_columns;
    QList<QStringList> m_rows; // cut already
};
