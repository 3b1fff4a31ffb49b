#pragma once

#include "core/update/lane.h"
#include "desktop/station/elidedlabel.h"

#include <QList>
#include <QMainWindow>

#include <memory>

class FirmwareFileDialog;
class LaneStore;
class LaneWidget;
class MessagePresenter;
class QCheckBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QScrollArea;
class QSettings;
class QSpinBox;
class StationPresenter;

// The production station's window: the image chosen once for every lane
// (its name, what it holds, its SHA-256 and the one it must have), the
// controls for all lanes (Start, Retry failed, Stop, Watch, Retries), the
// counters, and one tile per lane. It makes the presenter, which owns the
// lanes and wires these widgets to them, and asks before it closes on
// lanes that run.
class StationWindow : public QMainWindow
{
    Q_OBJECT

public:
    // messages: where messages go (message boxes when null). settings: where
    // the lanes are kept (none when null). laneSettings: the timings every
    // lane runs with; Watch and Retries come from the window.
    StationWindow(MessagePresenter *messages, QSettings *settings, const Lane::Settings &laneSettings,
                  QWidget *parent = nullptr);
    ~StationWindow() override;

    StationPresenter *presenter() const { return m_presenter; }
    MessagePresenter *messages() const { return m_messages; }

    // A tile for a new lane, at the end; the presenter fills it in.
    LaneWidget *addLaneWidget();
    void removeLaneWidget(LaneWidget *widget);
    const QList<LaneWidget *> &laneWidgets() const { return m_laneWidgets; }

    // A logout, a closed terminal or Ctrl-C: every lane is stopped where it
    // stands (its record written as interrupted) and the program ends with
    // 128 + the signal.
    void endForSignal(int signalNumber);

    QPushButton *chooseButton;
    ElidedLabel *imageName;
    ElidedLabel *imageSummary;
    QLineEdit *imageSha;
    QLineEdit *expectedSha;
    ElidedLabel *expectedState;
    QPushButton *startButton;
    QPushButton *retryButton;
    QPushButton *stopButton;
    QPushButton *addLaneButton;
    QCheckBox *watchBox;
    QSpinBox *retriesBox;
    QLabel *passedLabel;
    QLabel *failedLabel;
    QLabel *totalLabel;
    // The failed lanes by name, shown while not every lane is in view: a
    // click scrolls to the lane.
    QListWidget *failedList;
    // Shown instead of the lanes while there are none.
    QLabel *emptyHint;
    FirmwareFileDialog *fileDialog;

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *buildImageBox();
    QWidget *buildCounters();
    QWidget *buildControls();
    QWidget *buildFailedStrip();
    void placeLanes();
    void listFailed();
    void showLane(int index);

    std::unique_ptr<MessagePresenter> m_ownMessages;
    MessagePresenter *m_messages;
    std::unique_ptr<LaneStore> m_store;
    QScrollArea *m_scroll;
    QWidget *m_failedStrip;
    QLabel *m_failedTitle;
    QWidget *m_laneArea;
    QGridLayout *m_laneGrid;
    QList<LaneWidget *> m_laneWidgets;
    int m_columns = 0;
    int m_placed = 0; // tiles in the grid as last placed
    bool m_allInView = true;
    bool m_closeConfirmed = false;
    bool m_asking = false; // within closeEvent's question
    StationPresenter *m_presenter;
};
