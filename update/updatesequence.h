#pragma once

#include "firmware/firmwareimage.h"
#include "link/seriallink.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

// One firmware update from the press of "Upload firmware" to its end: the
// checks, the erase command and its wait, the hand-over and the write phase.
// Shared by the desktop program and the command-line front end; it knows
// nothing of widgets and reports every observable step as a signal.
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

    // How an update ended. The message is the one the user sees; the rest is
    // detail for front ends that show more.
    struct Outcome
    {
        enum class Kind {
            Success,
            NoFile,         // no firmware file chosen
            NoPort,         // port text empty
            FileError,      // the file cannot be read or has no lines (nothing sent)
            PortError,      // the port cannot be opened or "KILL" not written (nothing sent)
            EraseRefused,   // the erase answer was not "*"
            EraseFailed,    // no answer to the erase, or the link failed while erasing
            WriteRefused,   // a line was answered with something other than "*"
            WriteFailed,    // the link failed or stayed silent while writing
            Interrupted,    // stopped by abort()
        };
        enum class Icon { Critical, Information };

        Kind kind = Kind::Success;
        QString prompt;
        QString title;
        Icon icon = Icon::Critical;
        // True once "KILL" has been written: the instrument may now be erased.
        bool eraseSent = false;
        int linesAcknowledged = 0;
        int failedLine = 0;         // 1-based number of the line that failed, 0 if none
        QByteArray reply;           // what the instrument answered when it refused
        SerialLink::Error linkError;
        // Why the file was refused (FileError); None for an empty file.
        FirmwareImage::LoadError fileError = FirmwareImage::LoadError::None;

        bool succeeded() const { return kind == Kind::Success; }
    };

    explicit UpdateSequence(SerialLink *link, QObject *parent = nullptr);

    void setTimings(const Timings &timings) { m_timings = timings; }
    const Timings &timings() const { return m_timings; }

    // Starts an update of the file on the port text. Ignored unless Ready.
    void start(const QString &fileName, const QString &portText);
    // Stops a running update (Ctrl-C on the command line), ending with Interrupted.
    void abort();

    State state() const { return m_state; }
    bool isRunning() const { return m_state != State::Ready; }
    const FirmwareImage &image() const { return m_image; }

    // The standard message of each outcome kind.
    static Outcome outcomeFor(Outcome::Kind kind);

signals:
    void stateChanged(UpdateSequence::State state);
    // A new update begins: indicators pending, bars at 0, controls locked.
    void started();
    // The file has been read whole; lineCount lines will be sent.
    void imageLoaded(int lineCount);
    // "KILL" has gone out; the instrument is erasing.
    void eraseSent();
    // Erase wait tick 1..eraseTickCount.
    void eraseProgress(int tick);
    void eraseAcknowledged();
    // Line 'count' (1-based) of 'total' has been written; percent is count/total*100.
    void lineSent(int count, int total, double percent, const QByteArray &line);
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
    FirmwareImage::LoadError m_fileError = FirmwareImage::LoadError::None;
};
