#pragma once

#include <QDialog>
#include <QList>
#include <QString>
#include <QStringList>

class QLabel;
class QPushButton;
class QTableWidget;

// The station's unit history at a glance: today's counts per lane and the
// last attempts, as the presenter gives them (texts already printable),
// each cell plain text cut in the middle with its whole text in the
// tooltip. Shown beside the window, never modal: lanes go on meanwhile.
class HistoryView : public QDialog
{
    Q_OBJECT

public:
    struct Content
    {
        QString problem; // why the history cannot be shown; empty when it can
        QList<QStringList> counts; // lane, attempts, passed, failed, first-pass yield
        QList<QStringList> recent; // time, lane, serial, outcome; the newest first
    };

    explicit HistoryView(QWidget *parent = nullptr);

    void setContent(const Content &content);

    QLabel *problemLabel;
    QTableWidget *countsTable;
    QTableWidget *recentTable;
    QPushButton *reportButton;
};
