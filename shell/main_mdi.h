#pragma once

#include "link/class1.h"
#include "update/updatesequence.h"

#include <QMainWindow>

#include <memory>

class Main_Form;
class MessagePresenter;
class QMdiArea;
class QMdiSubWindow;
class Set_Form;
class UpdatePresenter;

// The frame window: holds the settings panel above the main panel, centred
// on the screen, and refuses to close while an update runs.
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

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void place(QMdiSubWindow *window, double left, double top, double width, double height);

    std::unique_ptr<MessagePresenter> m_ownMessages;
    MessagePresenter *m_messages;
    Class1 m_holder;
    QMdiArea *m_area;
    Main_Form *m_mainForm;
    Set_Form *m_setForm;
    QMdiSubWindow *m_mainWindow;
    QMdiSubWindow *m_setWindow;
    UpdatePresenter *m_presenter;
    bool m_sizedForFrame = false;
};
