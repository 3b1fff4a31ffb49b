#pragma once

#include "core/firmware/firmwareimage.h"
#include "core/link/seriallink.h"
#include "core/update/imageloader.h"
#include "core/update/updateoutcome.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

// One firmware update from the press of "Upload firmware" to its end: the
// checks, the erase command and its wait, the hand-over and the write phase.
// Shared by the desktop program and the command-line front end; it knows
// nothing of widgets and reports every observable step as a signal.
class RunRecord;

class UpdateSequence : public QObject
{
    Q_OBJECT

public:
    // Loading: the file is read and checked on a worker thread; nothing has
    // been sent yet.
    enum class State { Ready, Loading, Erasing, HandingOver, Writing };
    Q_ENUM(State)

    // The instrument's timings. The defaults are the product's; tests shorten them.
    struct Timings
    {
        // Timer1: the erase wait ticks this often...
        std::chrono::milliseconds eraseTickInterval{50};
        // ...this many times; the acknowledgement is read on the last tick.
        int eraseTickCount = 100;
        // Timer2: the pause between the acknowledged erase and the first line.
        std::chrono::milliseconds handOverDelay{1000};
    };

    using Outcome = UpdateOutcome;

    explicit UpdateSequence(SerialLink *link, QObject *parent = nullptr);

    void setTimings(const Timings &timings) { m_timings = timings; }
    const Timings &timings() const { return m_timings; }
    // The erase wait's ticker and the hand-over's timer, as the sequence set
    // them: the instrument's erase time rests on their intervals and type.
    const QTimer &eraseTimer() const { return Timer1; }
    const QTimer &handOverTimer() const { return Timer2; }

    // Starts an update of the file on the port text. Ignored unless Ready.
    // The file is read off the event loop's thread; "KILL" goes out once it
    // has been read and checked.
    void start(const QString &fileName, const QString &portText);
    // The same with the file read by a loader that several updates share, so
    // that one image read once serves several instruments. The caller starts
    // the loader's load() of the same file, before or after.
    void start(ImageLoader &loader, const QString &fileName, const QString &portText);
    // The same with an image read and checked already (a station's, shared
    // by every lane and every attempt).
    void start(const FirmwareImage &image, const ImageProblem &problem, const QString &fileName,
               const QString &portText);
    // Each update that ends is appended to this record, when it is open.
    void setRecord(RunRecord *record) { m_record = record; }
    // Fields each record of this sequence carries besides its own.
    void setRecordExtra(const QJsonObject &extra) { m_recordExtra = extra; }
    // Stops a running update (Ctrl-C on the command line, Escape at the
    // station), ending with Interrupted; also from a slot of imageLoaded(),
    // before "KILL" goes out.
    void abort(UpdateOutcome::StoppedBy by = UpdateOutcome::StoppedBy::Signal);

    State state() const { return m_state; }
    bool isRunning() const { return m_state != State::Ready; }
    const FirmwareImage &image() const { return m_image; }

    // An outcome of the kind with its standard message and nothing else known.
    static Outcome outcomeFor(Outcome::Kind kind);

signals:
    void stateChanged(UpdateSequence::State state);
    // A new update begins: indicators pending, bars at 0, controls locked.
    void started();
    // The file has been read whole and holds lineCount lines (those after
    // the end line included); "KILL" is next.
    void imageLoaded(int lineCount);
    // "KILL" has gone out; the instrument is erasing.
    void eraseSent();
    // Erase wait tick 1..eraseTickCount, and the share of the wait gone by
    // in whole percent (the erase bar's value).
    void eraseProgress(int tick, int percent);
    void eraseAcknowledged();
    // Line 'count' (1-based) of 'total' has been written; percent is count/total*100.
    void lineSent(int count, int total, double percent, const QByteArray &line);
    // Line 'count' has been answered: with "*", or the end line with
    // whatever the instrument says to it.
    void lineAcknowledged(int count);
    // The answer to the end line, shown; "NG*" refuses the image.
    void endLineReply(const QByteArray &reply);
    // Bytes from the instrument that answered no command, dropped in `phase`
    // after the answer to line `afterLine` (0: the erase's). `start` holds
    // at most a few KiB of them; `count` is how many came.
    void bytesDiscarded(UpdateSequence::State phase, int afterLine, const QByteArray &start, qint64 count);
    void finished(const UpdateSequence::Outcome &outcome);

private:
    void setState(State state);
    // The checks before anything is read or sent; false when the update has ended.
    bool begin(const QString &fileName, const QString &portText);
    void awaitImage(ImageLoader &loader);
    void handleLoaded(const ImageLoader::Result &result);
    void sendErase(const FirmwareImage &image, const ImageProblem &problem);
    void sendKill();
    void handleDiscarded(const QByteArray &start, qint64 count, qint64 replies);
    void handleEraseTick();
    void handleHandOver();
    void sendNextLine();
    void handleReply(const QByteArray &reply);
    // The end line is answered: the update ends once the link stayed quiet.
    void settle();
    void handleSettled();
    void endSettled();
    void handleReadFailed();
    void handleLinkFailed();
    void finish(Outcome::Kind kind, const QByteArray &reply = {});

    SerialLink *m_link;
    ImageLoader m_loader; // for an update that reads its file itself
    QMetaObject::Connection m_imageConnection;
    Timings m_timings;
    State m_state = State::Ready;
    // Told to the outcome of the abort() under way.
    UpdateOutcome::StoppedBy m_stoppedBy = UpdateOutcome::StoppedBy::Signal;
    QTimer Timer1; // the erase wait's tick (Timings::eraseTickInterval)
    QTimer Timer2; // the hand-over pause after the erase (Timings::handOverDelay)
    QTimer m_settleTimer;
    int EraseTicks = 0; // Timer1's ticks so far in this erase wait
    FirmwareImage m_image;
    qsizetype m_count = 0; // lines written so far in this write phase
    bool m_eraseSent = false;
    bool m_awaitingEndReply = false;
    bool m_awaitingLateAnswer = false; // before "KILL": an earlier command's answer may still come
    bool m_settling = false; // the end line is answered; a reply now is one too many
    bool m_outOfStep = false; // a whole reply came that answered no command
    qsizetype m_acknowledged = 0; // lines answered "*" (the end line: anything but a refusal)
    ImageProblem m_fileProblem;
    LinkError m_portProblem; // a refusal of ours before "KILL" (the port held by another program)
    // What the last update that failed after "KILL" left, until one succeeds.
    UpdateOutcome::EarlierState m_earlier;
    qint64 m_discarded = 0; // bytes dropped because they answered no command
    QByteArray m_endReply;
    QString m_fileName;
    QString m_portText;
    QString m_resolvedDevice; // the port's device, links followed, once it opened
    RunRecord *m_record = nullptr;
    QJsonObject m_recordExtra;
    QDateTime m_startedAt;
};
