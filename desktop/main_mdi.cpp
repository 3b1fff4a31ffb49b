#include "desktop/main_mdi.h"

#include "core/link/linktest.h"
#include "core/link/seriallink.h"
#include "desktop/panels/set_form.h"
#include "desktop/panels/main_form.h"
#include "desktop/widgets/module1.h"
#include "desktop/updatepresenter.h"
#include "core/update/runrecord.h"
#include "desktop/widgets/messagepresenter.h"
#include "desktop/widgets/twips.h"
#include "history/historystore.h"

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
    m_area = new QMdiArea(this); // its background is the desktop's workspace colour
    setCentralWidget(m_area);

    // The core, made here and handed to the panels, so that neither panel
    // depends on the other having been built first.
    m_link = new SerialLink(this);
    m_link->setObjectName(QStringLiteral("CWSerial"));
    m_holder.CWSerial = m_link;
    m_update = new UpdateSequence(m_link, this);
    m_linkTest = new LinkTest(m_link, this);

    m_mainForm = new Main_Form(&m_holder, m_update, m_messages);
    m_update->setTimings(timings);

    resize(Twips::toPixelsX(this, kFrameWidth), Twips::toPixelsY(this, kFrameHeight));

    m_setForm = new Set_Form(m_linkTest, m_messages);
    m_setWindow = m_area->addSubWindow(m_setForm, Qt::FramelessWindowHint);
    place(m_setWindow, 30, 30, 5310, 800);
    m_mainWindow = m_area->addSubWindow(m_mainForm, Qt::FramelessWindowHint);
    place(m_mainWindow, 30, 860, 5310, 4700);

    m_presenter = new UpdatePresenter(m_mainForm, m_setForm, m_update, m_messages, this);
    connect(m_mainForm, &Main_Form::quitRequested, this, [] { QCoreApplication::quit(); });

    Module1::CenterForm(this);
}

Main_MDI::~Main_MDI() = default;

void Main_MDI::setReadTimeout(std::chrono::milliseconds timeout)
{
    m_link->setReadTimeout(timeout);
}

void Main_MDI::setRecordFile(const QString &path)
{
    if (!m_record)
        m_record = std::make_unique<RunRecord>();
    m_presenter->setRecord(m_record.get(), path);
}

void Main_MDI::setHistory(const HistoryOptions::Settings &settings)
{
    if (!settings.enabled)
        return;
    if (!m_record)
        m_record = std::make_unique<RunRecord>();
    if (!m_history)
        m_history = std::make_unique<HistoryStore>();
    m_presenter->setHistory(m_record.get(), m_history.get(), settings.path, settings.keeper);
}

void Main_MDI::place(QMdiSubWindow *window, double left, double top, double width, double height)
{
    Twips::place(window, left, top, width, height);
    window->widget()->show();
}

void Main_MDI::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    m_shown = true;
    fitOuterSize();
}

void Main_MDI::moveEvent(QMoveEvent *event)
{
    QMainWindow::moveEvent(event);
    fitOuterSize();
}

void Main_MDI::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    fitOuterSize();
}

void Main_MDI::fitOuterSize()
{
    if (!m_shown || m_fittedToFrame)
        return;
    // The frame's size is its outer size: the window manager's border and
    // title bar come off the client area. They are known only once the
    // window manager has framed the window, which is after the first show;
    // a move or resize follows, so the correction waits for them.
    const QSize margins = frameGeometry().size() - geometry().size();
    if (margins.width() <= 0 && margins.height() <= 0)
        return;
    m_fittedToFrame = true;
    resize(size() - margins);
}

void Main_MDI::endForSignal(int signalNumber)
{
    if (m_update->isRunning())
        m_update->abort();
    m_link->close();
    QCoreApplication::exit(128 + signalNumber);
}

void Main_MDI::closeEvent(QCloseEvent *event)
{
    // Closing now would cut an update off half way, leaving the instrument
    // erased or half written.
    if (m_update->isRunning()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}
