#pragma once

#include <QObject>
#include <QPointer>

class QWidget;

// The mark of the control that has the keyboard's focus, the same on every
// control of one window: a station is worked from the keys, and the style's
// own marks are a faint 1-pixel line on some controls and nothing at all on
// others (the lane area). A 2-pixel frame in the palette's highlight colour,
// drawn by a widget laid over the control's edge as its sibling, so that it
// is clipped and scrolled with the control.
class FocusFrame : public QObject
{
    Q_OBJECT

public:
    explicit FocusFrame(QWidget *window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void follow(QWidget *now);
    void place();

    QWidget *m_window;
    QPointer<QWidget> m_target;
    // A child of the target's parent, so it goes when that parent goes: made
    // again when needed.
    QPointer<QWidget> m_mark;
};
