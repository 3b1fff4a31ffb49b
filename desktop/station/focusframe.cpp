#include "desktop/station/focusframe.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>
#include <QWidget>

namespace {

// Thick enough to be seen from a step back, thin enough to fit in the
// spacing of the layouts.
constexpr int kFrameWidth = 2;

class FocusMark : public QWidget
{
public:
    explicit FocusMark(QWidget *parent)
        : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        const QBrush highlight = palette().brush(QPalette::Active, QPalette::Highlight);
        const QRect r = rect();
        painter.fillRect(QRect(r.left(), r.top(), r.width(), kFrameWidth), highlight);
        painter.fillRect(QRect(r.left(), r.bottom() - kFrameWidth + 1, r.width(), kFrameWidth), highlight);
        painter.fillRect(QRect(r.left(), r.top(), kFrameWidth, r.height()), highlight);
        painter.fillRect(QRect(r.right() - kFrameWidth + 1, r.top(), kFrameWidth, r.height()), highlight);
    }
};

} // namespace

FocusFrame::FocusFrame(QWidget *window)
    : QObject(window)
    , m_window(window)
{
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget *, QWidget *now) { follow(now); });
}

void FocusFrame::follow(QWidget *now)
{
    if (m_target)
        m_target->removeEventFilter(this);
    m_target = nullptr;
    if (!now || now->isWindow() || now->window() != m_window || !now->parentWidget()) {
        // Kept by the window meanwhile, not by a tile that may go.
        if (m_mark) {
            m_mark->hide();
            m_mark->setParent(m_window);
        }
        return;
    }
    m_target = now;
    m_target->installEventFilter(this);
    if (!m_mark) {
        m_mark = new FocusMark(now->parentWidget());
        m_mark->setObjectName(QStringLiteral("focusFrame"));
    } else if (m_mark->parentWidget() != now->parentWidget())
        m_mark->setParent(now->parentWidget());
    place();
}

void FocusFrame::place()
{
    if (!m_target || !m_mark)
        return;
    if (!m_target->isVisible()) {
        m_mark->hide();
        return;
    }
    // Around the control, not over its text: just outside its edge.
    m_mark->setGeometry(m_target->geometry().adjusted(-kFrameWidth, -kFrameWidth, kFrameWidth, kFrameWidth));
    m_mark->raise();
    m_mark->show();
}

bool FocusFrame::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_target) {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
        case QEvent::Hide:
        case QEvent::ZOrderChange:
            place();
            break;
        case QEvent::ParentChange:
            follow(m_target);
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}
