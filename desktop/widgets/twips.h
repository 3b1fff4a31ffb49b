#pragma once

#include <QFont>
#include <QRect>
#include <QString>
#include <QWidget>

#include <cmath>

// The window layout is given in twips (1/1440 inch), converted with the
// screen's logical resolution: 15 twips a pixel at 96 dpi.
namespace Twips {

constexpr double kPerInch = 1440.0;

inline double perPixelX(const QWidget *w)
{
    return kPerInch / (w ? w->logicalDpiX() : 96);
}
inline double perPixelY(const QWidget *w)
{
    return kPerInch / (w ? w->logicalDpiY() : 96);
}
inline int toPixelsX(const QWidget *w, double twips)
{
    return int(std::lround(twips / perPixelX(w)));
}
inline int toPixelsY(const QWidget *w, double twips)
{
    return int(std::lround(twips / perPixelY(w)));
}
// Places a widget at left, top, width, height given in twips (of its parent's client area).
inline void place(QWidget *w, double left, double top, double width, double height)
{
    w->setGeometry(toPixelsX(w, left), toPixelsY(w, top), toPixelsX(w, width), toPixelsY(w, height));
}

} // namespace Twips

// Arial at a point size; Debian's Liberation Sans stands in with the same metrics.
inline QFont arialFont(double pointSize, bool bold)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}
