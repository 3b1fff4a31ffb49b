#include "shell/main_mdi.h"

#include "link/set_form.h"
#include "shell/main_form.h"
#include "shell/messagepresenter.h"
#include "shell/module1.h"
#include "shell/twips.h"
#include "update/updatepresenter.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMdiArea>
#include <QMdiSubWindow>

namespace {
// Outer size of the frame, in twips.
constexpr double kFrameWidth = 5580;
constexpr double kFrameHeight = 6100;
} // namespace

Main_MDI::Main_MDI(MessagePresenter *messages, const UpdateSequence::Timings &timings, QWidget *parent)
    : QMainWindow(parent)
    , m_ownMessages(messages ? nullptr : std::make_unique<MessagePresenter>())
    , m_messages(messages ? messages : m_ownMessages.get())
{
    setObjectName(QStringLiteral("Main_MDI"));
    setWindowTitle(QStringLiteral("Wexel_Update Program"));
    m_area = new QMdiArea(this);  // its background is the desktop's workspace colour
    setCentralWidget(m_area);

    // The main panel comes first: it binds the serial link that the settings
    // panel reaches through the holder.
    m_mainForm = new Main_Form(&m_holder, m_messages);
    m_mainForm->update()->setTimings(timings);

    resize(Twips::toPixelsX(this, kFrameWidth), Twips::toPixelsY(this, kFrameHeight));

    m_setForm = new Set_Form(&m_holder, m_messages);
    m_setWindow = m_area->addSubWindow(m_setForm, Qt::FramelessWindowHint);
    place(m_setWindow, 30, 30, 5310, 800);
    m_mainWindow = m_area->addSubWindow(m_mainForm, Qt::FramelessWindowHint);
    place(m_mainWindow, 30, 860, 5310, 4700);

    m_presenter = new UpdatePresenter(m_mainForm, m_setForm, m_messages, this);
    connect(m_mainForm, &Main_Form::quitRequested, this, [] { QCoreApplication::quit(); });

    Module1::CenterForm(this);
}

Main_MDI::~Main_MDI() = default;

void Main_MDI::place(QMdiSubWindow *window, double left, double top, double width, double height)
{
    Twips::place(window, left, top, width, height);
    window->widget()->show();
}

void Main_MDI::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_sizedForFrame)
        return;
    m_sizedForFrame = true;
    // The frame's size is its outer size: take the window manager's border
    // and title bar off the client area once they are known.
    const QSize margins = frameGeometry().size() - geometry().size();
    if (!margins.isEmpty() && (margins.width() > 0 || margins.height() > 0))
        resize(size() - margins);
}

void Main_MDI::closeEvent(QCloseEvent *event)
{
    // Closing now would cut an update off half way, leaving the instrument
    // erased or half written.
    if (m_mainForm->update()->isRunning()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}
