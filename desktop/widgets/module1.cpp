#include "desktop/widgets/module1.h"

#include "desktop/widgets/twips.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace Module1 {

QPointF centerPosition(int screenWidthPx, int screenHeightPx, float twipsPerPixelX, float twipsPerPixelY,
                       float formWidth, float formHeight)
{
    // Products and halves of the screen in double precision, the form's
    // halves in single precision; each result stored as a single.
    const float left = float(double(twipsPerPixelX) * double(screenWidthPx) / 2.0 - double(formWidth / 2.0f));
    const float top = float(double(twipsPerPixelY) * double(screenHeightPx) / 2.0 - double(formHeight / 2.0f) - 1750.0);
    return {double(left), double(top)};
}

void CenterForm(QWidget *form)
{
    const QScreen *screen = form->screen() ? form->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QSize pixels = screen->geometry().size();
    const float tppX = float(Twips::perPixelX(form));
    const float tppY = float(Twips::perPixelY(form));
    const QRect frame = form->frameGeometry();
    const QPointF pos = centerPosition(pixels.width(), pixels.height(), tppX, tppY, float(frame.width() * tppX),
                                       float(frame.height() * tppY));
    form->move(screen->geometry().topLeft()
               + QPoint(int(std::lround(pos.x() / tppX)), int(std::lround(pos.y() / tppY))));
}

} // namespace Module1
