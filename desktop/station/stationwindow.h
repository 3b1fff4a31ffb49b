#pragma once

#include "desktop/station/elidedlabel.h"

#include <QList>
#include <QMainWindow>

#include <memory>

class FirmwareFileDialog;
class HistoryView;
class LaneWidget;
class MessagePresenter;
class QCheckBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QScrollArea;
class QSpinBox;
struct LaneView;

// The production station's window: the image chosen once for every lane
// (its name, what it holds, its SHA-256 and the one it must have), the
// controls for all lanes (Start, Retry failed, Stop, Watch, Retries; with a
// unit history kept, Serial required and History), the counters, and one
// tile per lane. It shows what it is told and tells what the operator asks
// for; it asks before it closes on lanes that run.
class StationWindow : public QMainWindow
{
    Q_OBJECT

public:
    // messages: where messages go (message boxes when null).
    explicit StationWindow(MessagePresenter *messages, QWidget *parent = nullptr);
    ~StationWindow() override;

    MessagePresenter *messages() const { return m_messages; }

    // A tile for a new lane, at the end; its index.
    int addLane();
    void removeLane(int index);
    void setLaneView(int index, const LaneView &view);
    const QList<LaneWidget *> &laneWidgets() const { return m_laneWidgets; }

    // The image chosen: its name, and its whole path for the tooltip.
    void setImageChosen(const QString &name, const QString &path);
    // What it holds or why it was refused, and its SHA-256 (empty: none).
    void setImageSummary(const QString &summary, const QString &sha256);
    void setExpectedSha(const QString &text);
    // How the released SHA-256 compares with the image, in a style sheet's colour.
    void setExpectedState(const QString &text, const QString &style);
    void setLaneCounts(const QString &passed, const QString &failed, const QString &total);

    struct Controls
    {
        bool running = false; // some lane runs or waits to start: Stop, and no Watch or Retries
        bool canChoose = true;
        bool canStart = false;
        bool canRetry = false;
        bool canAddLane = true;
    };
    void setControls(const Controls &controls);
    // What every lane runs with, taken when it starts.
    void setWatch(bool watch);
    bool watch() const;
    void setRetries(int retries);
    int retries() const;

    // A unit history is kept: the lanes' serial fields, Serial required and
    // History are shown.
    void setHistoryKept(bool kept);
    // "N records waiting for the server", and why they wait; empty: none waits.
    void setServerWaiting(const QString &text, const QString &why);
    void setSerialRequired(bool required);
    bool serialRequired() const;
    // What lane `index`'s serial field holds, typed and not yet entered.
    QString serialText(int index) const;
    void setSerialText(int index, const QString &text);
    // The History view, made at the first call.
    HistoryView *historyView();
    bool historyViewShown() const;

    // A logout, a closed terminal or Ctrl-C: every lane is stopped where it
    // stands (its record written as interrupted) and the program ends with
    // 128 + the signal.
    void endForSignal(int signalNumber);

signals:
    void imageChosen(const QString &path);
    void expectedShaChanged(const QString &text);
    void startAllRequested();
    void retryFailedRequested();
    void stopAllRequested();
    void stopForSignalRequested();
    void addLaneRequested();
    void laneStartStopRequested(int index);
    void laneEditRequested(int index);
    void laneRemoveRequested(int index);
    // Return in lane `index`'s serial field.
    void laneSerialEntered(int index, const QString &text);
    // The operator checked or cleared Serial required.
    void serialRequiredChanged(bool required);
    void historyRequested();

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
    void showDetails(const LaneWidget *widget);

    std::unique_ptr<MessagePresenter> m_ownMessages;
    MessagePresenter *m_messages;
    QPushButton *m_chooseButton;
    ElidedLabel *m_imageName;
    ElidedLabel *m_imageSummary;
    ElidedLabel *m_serverWaiting;
    QLineEdit *m_imageSha;
    QLineEdit *m_expectedSha;
    ElidedLabel *m_expectedState;
    QPushButton *m_startButton;
    QPushButton *m_retryButton;
    QPushButton *m_stopButton;
    QPushButton *m_addLaneButton;
    QCheckBox *m_watchBox;
    QSpinBox *m_retriesBox;
    QCheckBox *m_serialRequiredBox;
    QPushButton *m_historyButton;
    HistoryView *m_historyView = nullptr;
    bool m_historyKept = false;
    QLabel *m_passedLabel;
    QLabel *m_failedLabel;
    QLabel *m_totalLabel;
    // The failed lanes by name, shown while not every lane is in view: a
    // click scrolls to the lane.
    QListWidget *m_failedList;
    // Shown instead of the lanes while there are none.
    QLabel *m_emptyHint;
    FirmwareFileDialog *m_fileDialog;
    QScrollArea *m_scroll;
    QWidget *m_failedStrip;
    QLabel *m_failedTitle;
    QWidget *m_laneArea;
    QGridLayout *m_laneGrid;
    QList<LaneWidget *> m_laneWidgets;
    int m_columns = 0;
    int m_placed = 0; // tiles in the grid as last placed
    bool m_allInView = true;
    bool m_running = false;
    bool m_closeConfirmed = false;
    bool m_asking = false; // within closeEvent's question
};
