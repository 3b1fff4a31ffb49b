#pragma once

#include "desktop/panels/class1.h"
#include "core/update/updatesequence.h"
#include "history/historyoptions.h"

#include <QList>
#include <QMainWindow>

#include <chrono>

#include <memory>

class LinkTest;
class HistoryStore;
class Main_Form;
class MessagePresenter;
class QMdiArea;
class QMdiSubWindow;
class RunRecord;
class SerialLink;
class Set_Form;
class UpdatePresenter;

// The frame window: makes the serial link, the update sequence and the link
// test, hands them to the two panels, holds the settings panel above the
// main panel, centred on the screen, and refuses to close while an update
// runs.
class Main_MDI : public QMainWindow
{
    Q_OBJECT

public:
    // messages: where messages go (a modal box when null). timings: the
    // update's timer settings.
    explicit Main_MDI(MessagePresenter *messages = nullptr, const UpdateSequence::Timings &timings = {},
                      QWidget *parent = nullptr);
    ~Main_MDI() override;

    Main_Form *mainForm() const { return m_mainForm; }
    Set_Form *setForm() const { return m_setForm; }
    QMdiSubWindow *mainFormWindow() const { return m_mainWindow; }
    QMdiSubWindow *setFormWindow() const { return m_setWindow; }
    UpdatePresenter *presenter() const { return m_presenter; }
    Class1 &holder() { return m_holder; }
    // How long the update and the link test wait for each answer.
    void setReadTimeout(std::chrono::milliseconds timeout);
    // Each update appends its record to this file (JSON Lines); empty: none.
    void setRecordFile(const QString &path);
    // And keeps it in the unit history, unless that is disabled.
    void setHistory(const HistoryOptions::Settings &settings);
    // A logout, a closed terminal or Ctrl-C: a running update is stopped
    // where it stands and ends as an interrupted one (its record written),
    // the port is closed, and the program ends with 128 + the signal.
    void endForSignal(int signalNumber);

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void place(QMdiSubWindow *window, double left, double top, double width, double height);
    void fitOuterSize();

    std::unique_ptr<MessagePresenter> m_ownMessages;
    MessagePresenter *m_messages;
    Class1 m_holder;
    SerialLink *m_link;
    UpdateSequence *m_update;
    LinkTest *m_linkTest;
    std::unique_ptr<RunRecord> m_record;
    std::unique_ptr<HistoryStore> m_history;
    QMdiArea *m_area;
    Main_Form *m_mainForm;
    Set_Form *m_setForm;
    QMdiSubWindow *m_mainWindow;
    QMdiSubWindow *m_setWindow;
    UpdatePresenter *m_presenter;
    bool m_shown = false;
    bool m_fittedToFrame = false;
};
