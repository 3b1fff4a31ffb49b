#pragma once

#include "core/update/updatesequence.h"
#include "history/historystore.h"

#include <QList>
#include <QPair>
#include <QObject>

class Main_Form;
class MessagePresenter;
class QWidget;
class RunRecord;
class Set_Form;

// Connects the upload button and the two panels to the update sequence:
// starts an update on a click and shows each of its steps on the bars,
// indicators, reply box and message boxes, locking and unlocking the controls.
class UpdatePresenter : public QObject
{
    Q_OBJECT

public:
    UpdatePresenter(Main_Form *mainForm, Set_Form *setForm, UpdateSequence *update, MessagePresenter *messages,
                    QObject *parent = nullptr);

    // Each update appends its record to the file at `path` (opened at every
    // start); an empty path keeps no record.
    void setRecord(RunRecord *record, const QString &path);
    // And keeps it in the unit history at `path` as `keeper`'s (opened at
    // the first start, then kept open), through `record`.
    void setHistory(RunRecord *record, HistoryStore *history, const QString &path, const HistoryStore::Keeper &keeper);

private:
    void handleUploadClicked();
    void handleStarted();
    void handleFinished(const UpdateSequence::Outcome &outcome);
    void handleLinkTestStarted();
    void handleLinkTestFinished();
    void setLocked(bool locked);

    Main_Form *m_main;
    Set_Form *m_settings;
    MessagePresenter *m_messages;
    UpdateSequence *m_update;
    QList<QWidget *> m_lockSet;
    RunRecord *m_record = nullptr;
    QString m_recordPath;
    HistoryStore *m_history = nullptr;
    QString m_historyPath;
    HistoryStore::Keeper m_keeper;
    // What a running link test took from the user, to give back when it ends.
    QList<QPair<QWidget *, bool>> m_beforeLinkTest;
};
