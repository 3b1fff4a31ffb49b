#pragma once

#include <QLabel>

// A label for texts that come from outside (a file's name, a refusal that
// names a path, a cause): it never widens its window, whatever it is given.
// What does not fit its width is cut in the middle, where a path's folders
// are, so that both the beginning and the file's own name stay in view; the
// whole text is in its tooltip. It is always maxLines lines high, so that
// the box it is in keeps its height whatever the text.
class ElidedLabel : public QLabel
{
    Q_OBJECT
    Q_PROPERTY(QString shownText READ shownText)

public:
    explicit ElidedLabel(QWidget *parent = nullptr, int maxLines = 1);

    // Hides QLabel's: the tooltip is the whole text. A caller may set
    // another tooltip afterwards (the whole path of a file, say).
    void setText(const QString &text);
    // What is drawn: the text, or as much of it as fits with "…" in its middle.
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool fits(const QString &text, int width) const;

    int m_maxLines;
};
