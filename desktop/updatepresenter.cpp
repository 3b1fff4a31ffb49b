#include "desktop/updatepresenter.h"

#include "core/link/linktest.h"
#include "desktop/panels/portlist.h"
#include "desktop/panels/set_form.h"
#include "desktop/widgets/colours.h"
#include "desktop/widgets/indicator.h"
#include "desktop/panels/main_form.h"
#include "core/update/runrecord.h"
#include "desktop/widgets/messagepresenter.h"
#include "history/historystore.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

UpdatePresenter::UpdatePresenter(Main_Form *mainForm, Set_Form *setForm, UpdateSequence *update,
                                 MessagePresenter *messages, QObject *parent)
    : QObject(parent)
    , m_main(mainForm)
    , m_settings(setForm)
    , m_messages(messages)
    , m_update(update)
    , m_lockSet{mainForm->Doownload_BUTT, mainForm->OPEN_BUTT, mainForm->QUIT_BUTT, setForm->TSET,
                setForm->COM_PORT_LIST}
{
    connect(m_main->Doownload_BUTT, &QPushButton::clicked, this, &UpdatePresenter::handleUploadClicked);
    connect(m_update, &UpdateSequence::started, this, &UpdatePresenter::handleStarted);
    connect(m_update, &UpdateSequence::imageLoaded, this,
            [this](int lines) { m_main->Code_line->setText(QString::number(lines)); });
    connect(m_update, &UpdateSequence::eraseProgress, this,
            [this](int, int percent) { m_main->Erase_Bar->setValue(percent); });
    connect(m_update, &UpdateSequence::eraseAcknowledged, this, [this] { m_main->Show_Erase->setColour(DoneColour); });
    connect(m_update, &UpdateSequence::lineSent, this, [this](int, int, double percent, const QByteArray &) {
        // Whole percent only: the bar shows 100 when the last line has gone.
        m_main->Download_Bar->setValue(int(percent));
    });
    connect(m_update, &UpdateSequence::endLineReply, m_settings, &Set_Form::showReply);
    connect(m_update, &UpdateSequence::finished, this, &UpdatePresenter::handleFinished);
    connect(m_settings->linkTest(), &LinkTest::started, this, &UpdatePresenter::handleLinkTestStarted);
    connect(m_settings->linkTest(), &LinkTest::finished, this, &UpdatePresenter::handleLinkTestFinished);
}

void UpdatePresenter::handleLinkTestStarted()
{
    // The window waits with the link test, as it always did: an update
    // started now would take the test's late answer for the erase's, and a
    // new port or file would not be the one tested.
    m_beforeLinkTest.clear();
    for (QWidget *w : {static_cast<QWidget *>(m_main->Doownload_BUTT), static_cast<QWidget *>(m_main->OPEN_BUTT),
                       static_cast<QWidget *>(m_settings->COM_PORT_LIST)}) {
        m_beforeLinkTest.append({w, w->isEnabled()});
        w->setEnabled(false);
    }
}

void UpdatePresenter::handleLinkTestFinished()
{
    for (const auto &[widget, enabled] : std::as_const(m_beforeLinkTest))
        widget->setEnabled(enabled);
    m_beforeLinkTest.clear();
}

void UpdatePresenter::setLocked(bool locked)
{
    for (QWidget *w : std::as_const(m_lockSet))
        w->setEnabled(!locked);
}

void UpdatePresenter::setRecord(RunRecord *record, const QString &path)
{
    m_record = record;
    m_recordPath = path;
}

void UpdatePresenter::setHistory(RunRecord *record, HistoryStore *history, const QString &path,
                                 const HistoryStore::Keeper &keeper)
{
    m_record = record;
    m_history = history;
    m_historyPath = path;
    m_keeper = keeper;
}

void UpdatePresenter::handleUploadClicked()
{
    // An update that could not be recorded is not started: nothing is sent.
    const auto refuse = [this](UpdateOutcome::Kind kind, const QString &error) {
        UpdateOutcome outcome = UpdateSequence::outcomeFor(kind);
        outcome.recordError = error;
        m_messages->show(m_main, outcome.message, outcome.causes());
    };
    if (m_record && !m_recordPath.isEmpty() && !m_record->open(m_recordPath))
        return refuse(UpdateOutcome::Kind::RecordError, m_record->error());
    if (m_history && !m_history->isOpen()) {
        if (!m_history->open(m_historyPath))
            return refuse(UpdateOutcome::Kind::HistoryError, m_history->error());
        m_history->setKeeper(m_keeper);
        m_record->setKeeper(m_history);
    }
    if (m_record && m_record->isActive())
        m_update->setRecord(m_record);
    m_update->start(m_main->fileChoice().fullName(), m_settings->portText());
}

void UpdatePresenter::handleStarted()
{
    // Every update starts again with the erase, whatever the colours were.
    m_main->Show_Erase->setColour(PendingColour);
    m_main->Show_Load->setColour(PendingColour);
    m_main->Erase_Bar->setValue(0);
    m_main->Download_Bar->setValue(0);
    setLocked(true);
}

void UpdatePresenter::handleFinished(const UpdateSequence::Outcome &outcome)
{
    using Kind = UpdateSequence::Outcome::Kind;
    const Message &message = outcome.message;
    // Why, and whether the instrument was touched: the causes the command
    // line prints, below the prompt the box has always shown. A success
    // tells its count, the end line's answer (or that there was none),
    // bytes that answered nothing and a record that was not written.
    const QStringList causes = outcome.causes();
    if (outcome.succeeded()) {
        m_main->Show_Load->setColour(DoneColour);
        // The controls come back once the user has seen the result.
        m_messages->show(m_main, message, causes, [this] { setLocked(false); });
        return;
    }
    if (!outcome.eraseSent) {
        // Nothing reached the instrument this time: what is needed to put a
        // missing or mistyped port or file right comes back. QUIT stays
        // locked while an earlier update may have left the instrument erased.
        const auto unlock = [this, mayBeErased = outcome.earlier.mayBeErased] {
            setLocked(false);
            if (mayBeErased)
                m_main->QUIT_BUTT->setEnabled(false);
        };
        if (outcome.kind == Kind::NoFile || outcome.kind == Kind::NoPort) {
            m_messages->show(m_main, message, causes, unlock);
        } else {
            unlock();
            m_messages->show(m_main, message, causes);
        }
        return;
    }
    // The instrument may be erased: only another upload is offered until one
    // succeeds. An erase that got no answer at all most often means the
    // wrong port or cable: the port box and the link test come back too, so
    // the technician can do what the message advises.
    m_main->Doownload_BUTT->setEnabled(true);
    if (outcome.kind == Kind::EraseFailed && outcome.linkError.kind == LinkError::Kind::Timeout
        && outcome.bytesDiscarded == 0) {
        m_settings->TSET->setEnabled(true);
        m_settings->COM_PORT_LIST->setEnabled(true);
    }
    m_messages->show(m_main, message, causes);
}
