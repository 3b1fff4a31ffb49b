#include "desktop/widgets/indicator.h"

#include "desktop/widgets/colours.h"

#include <QPainter>

Indicator::Indicator(QWidget *parent)
    : QWidget(parent)
    , m_colour(PendingColour)
{ }

void Indicator::setColour(quint32 value)
{
    if (m_colour == value)
        return;
    m_colour = value;
    update();
}

void Indicator::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(fromPlatformColour(m_colour));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
