#pragma once

#include <QColor>
#include <QWidget>

// A filled square whose colour shows whether a phase of the update is done.
class Indicator : public QWidget
{
    Q_OBJECT

public:
    explicit Indicator(QWidget *parent = nullptr);

    // The colour as a platform colour value (PendingColour, DoneColour).
    quint32 colour() const { return m_colour; }
    void setColour(quint32 value);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    quint32 m_colour;
};
