#pragma once

#include <QDateTime>
#include <QFrame>
#include <QString>

class LaneStatus;
class QLabel;
class QLineEdit;
class QPushButton;

// What one lane shows, made by the presenter from the lane: texts already
// printable and bounded, so the widget only lays them out.
struct LaneView
{
    enum class Phase {
        Idle,
        Waiting,
        Starting,
        Erasing,
        HandingOver,
        Writing,
        Retrying,
        Passed,
        Failed,
        Stopped, // the operator stopped the unit's update
        NotStarted, // the lane was started, and nothing reached the unit
    };

    QString name;
    QString port;
    QString device; // what the port text stands for now; empty when nothing
    QString serialNumber; // the adapter's, where its driver tells it
    Phase phase = Phase::Idle;
    int erasePercent = 0;
    int linesSent = 0;
    int linesTotal = 0;
    int attempt = 0;
    int attempts = 1;
    // FAIL: its cause in one line; RETRY: the failed attempt's; otherwise a
    // note such as why the lane was not started.
    QString detail;
    QString causes; // the whole of what the detail says in short, one cause a line
    QString recordProblem; // the last record that could not be written, and why
    QString recordNotice; // the record file opened anew after it was moved away
    // The serial of the unit on the lane, or of the next, and what the
    // history says of it; or why a serial was refused or is wanted
    // (serialWarning). Empty while no unit is named.
    QString serialNote;
    bool serialWarning = false;
    QString lastSerial; // the last unit's
    QDateTime lastFinished;
    int passed = 0;
    int failed = 0;
    bool running = false;
    bool canEdit = true;
};

// One lane of the station: its name, port and adapter, a big word for its
// state (PASS and FAIL readable from across the bench, coloured and never by
// colour alone), the erase or write progress, the last result's cause and
// time, and its own start/stop button; with a unit history kept, the field
// a unit's serial is scanned into and what the history says of that unit.
// It shows what it is given and passes on what is clicked or entered; the
// presenter does the rest.
class LaneWidget : public QFrame
{
    Q_OBJECT

public:
    explicit LaneWidget(QWidget *parent = nullptr);

    void setView(const LaneView &view);
    const LaneView &view() const { return m_view; }
    // The big word: "PASS", "FAIL", "WRITING 40 %" ...
    QString verdictText() const;
    // Its letters' height as drawn: made smaller only where a long word
    // would not fit the tile's width.
    int verdictPixelSize() const;
    // The serial's field, shown only where a history keeps serials.
    void setSerialShown(bool shown);

    QLabel *nameLabel;
    QLabel *portLabel;
    // The big word, the progress bar and the detail below it: drawn by one
    // widget of a fixed height, so that ten redraws a second on dozens of
    // lanes neither lay the tiles out again nor go through three widgets.
    LaneStatus *status;
    QLabel *recordLabel;
    // The lane's units and the last one's time; while a unit is named, its
    // serial and what the history says of it.
    QLabel *lastLabel;
    QPushButton *startStopButton;
    // A barcode scanner types into it as a keyboard does and ends with
    // Return: Return here is this lane's, not the window's.
    QLineEdit *serialEdit;

signals:
    // Its name or its phase changed (the window lists the failed lanes).
    void summaryChanged();
    void startStopClicked();
    void editRequested();
    void removeRequested();
    void detailsRequested();
    // Return in the serial's field, with what it holds.
    void serialEntered(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    LaneView m_view;
};
