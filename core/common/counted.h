#pragma once

#include <QString>
#include <QStringView>

// A count and its noun, the noun singular for one: "1 line", "2 lines",
// "0 units". Every noun counted in the program's words takes an s.
inline QString counted(qint64 count, QStringView noun)
{
    QString text = QString::number(count) + u' ';
    text += noun;
    if (count != 1)
        text += u's';
    return text;
}
