#pragma once

#include "firmware/firmwareimage.h"
#include "link/seriallink.h"
#include "update/updateoutcome.h"

#include <QByteArray>
#include <QDateTime>
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
    enum class State { Ready, Erasing, HandingOver, Writing };
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

    // Starts an update of the file on the port text. Ignored unless Ready.
    void start(const QString &fileName, const QString &portText);
    // The same with the file read and checked already (FirmwareImage::load),
    // so that one image read once serves several instruments.
    void start(const FirmwareImage &image, const ImageProblem &problem, const QString &fileName,
               const QString &portText);
    // Each update that ends is appended to this record, when it is open.
    void setRecord(RunRecord *record) { m_record = record; }
    // Stops a running update (Ctrl-C on the command line), ending with Interrupted.
    void abort();

    State state() const { return m_state; }
    bool isRunning() const { return m_state != State::Ready; }
    const FirmwareImage &image() const { return m_image; }

    // An outcome of the kind with its standard message and nothing else known.
    static Outcome outcomeFor(Outcome::Kind kind);

signals:
    void stateChanged(UpdateSequence::State state);
    // A new update begins: indicators pending, bars at 0, controls locked.
    void started();
    // The file has been read whole; lineCount lines will be sent.
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
    // The answer to the end line, shown and not checked.
    void endLineReply(const QByteArray &reply);
    void finished(const UpdateSequence::Outcome &outcome);

private:
    void setState(State state);
    void handleEraseTick();
    void handleHandOver();
    void sendNextLine();
    void handleReply(const QByteArray &reply);
    void handleReadFailed();
    void handleLinkFailed();
    void finish(Outcome::Kind kind, const QByteArray &reply = {});

    SerialLink *m_link;
    Timings m_timings;
    State m_state = State::Ready;
    QTimer Timer1;
    QTimer Timer2;
    int EraseTicks = 0;      // erase wait ticks so far
    FirmwareImage m_image;
    qsizetype m_count = 0;   // lines written so far in this write phase
    bool m_eraseSent = false;
    bool m_awaitingEndReply = false;
    ImageProblem m_fileProblem;
    QByteArray m_endReply;
    QString m_fileName;
    QString m_portText;
    RunRecord *m_record = nullptr;
    QDateTime m_startedAt;
};
