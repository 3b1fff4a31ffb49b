#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>

#include <chrono>
#include <functional>
#include <optional>

class QSocketNotifier;

// Standard output or standard error of wexel-update-cli, written so that the
// reader can never hold up an instrument. What the reader does not take at
// once waits here, up to kMaxPending bytes, and goes out as it is taken;
// beyond that, whole writes are dropped and a note says so once the reader
// takes bytes again. A reader that goes away (`... --json | head`) only ends
// the output: the update goes on to its end, and its record is written.
class OutputChannel : public QObject
{
    Q_OBJECT

public:
    // Enough for every event of a long update at the pace of a slow reader,
    // and small next to the image itself.
    static constexpr qsizetype kMaxPending = 1024 * 1024;
    // At exit, what still waits gets this long to go out.
    static constexpr std::chrono::milliseconds kExitDrainTime{2000};

    // The program's standard output and standard error.
    static OutputChannel &standardOutput();
    static OutputChannel &standardError();

    explicit OutputChannel(int fd, QObject *parent = nullptr);
    ~OutputChannel() override;

    // How a piece of output is handed over.
    enum class Delivery {
        // Dropped whole when kMaxPending bytes already wait: progress, events.
        MayDrop,
        // Queued whatever waits, never dropped: a unit's result while other
        // instruments still need the event loop. Bounded by its callers.
        Kept,
        // Kept, and the program waits until everything queued has gone out
        // or the reader has gone: the command's answer, once no instrument
        // needs the program any more.
        Awaited,
    };

    // Queues the bytes as one piece: they go out whole or are dropped whole.
    void write(QByteArrayView bytes, Delivery delivery = Delivery::MayDrop);
    // The note written once dropped output can be followed again; it is
    // given the number of bytes dropped. Without one nothing is said.
    void setDropNote(std::function<QByteArray(qint64 dropped)> note) { m_dropNote = std::move(note); }

    // The descriptor as the program got it, for questions such as the
    // terminal's width.
    int fd() const { return m_fd; }
    bool isTerminal() const;
    qint64 droppedBytes() const { return m_dropped; }
    bool readerGone() const { return m_gone; }

    // Before the program ends: what still waits goes out, for at most
    // kExitDrainTime. Both standard channels.
    static void drainAtExit();

private:
    void flushPending();
    // Waits for the reader until nothing is pending, for at most wait
    // (std::nullopt: for as long as it takes).
    bool drain(std::optional<std::chrono::milliseconds> wait);

    int m_fd;
    int m_writeFd; // ours, non-blocking, where the system lets us have one
    bool m_ownWriteFd = false;
    bool m_socket = false;
    QByteArray m_pending;
    qint64 m_dropped = 0;
    qint64 m_droppedUnnoted = 0;
    bool m_gone = false;
    QSocketNotifier *m_notifier = nullptr;
    std::function<QByteArray(qint64)> m_dropNote;
};
