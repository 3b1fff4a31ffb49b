#include "desktop/station/elidedlabel.h"

#include <QPainter>

#include <algorithm>

namespace {

// A label's preferred width, whatever its text: a name or path longer than
// this is better cut than allowed to push the boxes beside it aside.
constexpr int kPreferredChars = 48;
// Its narrowest: enough to see that something is there and where it starts.
constexpr int kMinimumChars = 8;

// Break at spaces where there are any, anywhere in a path that has none.
constexpr int kWrapFlags = Qt::TextWordWrap;

} // namespace

ElidedLabel::ElidedLabel(QWidget *parent, int maxLines)
    : QLabel(parent)
    , m_maxLines(std::max(1, maxLines))
{
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    if (m_maxLines > 1)
        setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void ElidedLabel::setText(const QString &text)
{
    QLabel::setText(text);
    setToolTip(text);
}

bool ElidedLabel::fits(const QString &text, int width) const
{
    const QFontMetrics fm = fontMetrics();
    if (m_maxLines == 1)
        return fm.horizontalAdvance(text) <= width;
    const QRect needed = fm.boundingRect(QRect(0, 0, width, fm.lineSpacing() * (m_maxLines + 1)), kWrapFlags, text);
    return needed.width() <= width && needed.height() <= fm.lineSpacing() * m_maxLines;
}

QString ElidedLabel::shownText() const
{
    const int width = contentsRect().width();
    const QString full = text();
    if (width <= 0 || fits(full, width))
        return full;
    if (m_maxLines == 1)
        return fontMetrics().elidedText(full, Qt::ElideMiddle, width);
    // The most characters kept, half from each end, that still fit the lines.
    const auto cut = [&full](qsizetype kept) { return full.left((kept + 1) / 2) + u'…' + full.right(kept / 2); };
    qsizetype low = 0;
    qsizetype high = full.size() - 1;
    while (low < high) {
        const qsizetype mid = (low + high + 1) / 2;
        if (fits(cut(mid), width))
            low = mid;
        else
            high = mid - 1;
    }
    return cut(low);
}

QSize ElidedLabel::sizeHint() const
{
    const QFontMetrics fm = fontMetrics();
    const int wanted = std::min(fm.horizontalAdvance(text()) / m_maxLines + 1, fm.averageCharWidth() * kPreferredChars);
    const QMargins m = contentsMargins();
    return {std::max(wanted, fm.averageCharWidth() * kMinimumChars) + m.left() + m.right(),
            fm.lineSpacing() * m_maxLines + m.top() + m.bottom()};
}

QSize ElidedLabel::minimumSizeHint() const
{
    const QFontMetrics fm = fontMetrics();
    const QMargins m = contentsMargins();
    return {fm.averageCharWidth() * kMinimumChars + m.left() + m.right(),
            fm.lineSpacing() * m_maxLines + m.top() + m.bottom()};
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    drawFrame(&painter);
    painter.setPen(palette().color(foregroundRole()));
    const int flags = int(alignment()) | (m_maxLines > 1 ? kWrapFlags : 0);
    painter.drawText(contentsRect(), flags, shownText());
}
