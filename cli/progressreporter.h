#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdio>

class UpdateSequence;

// Shows an update's erase wait and write phase on standard error: bars
// redrawn in place on a terminal, a plain line now and then in a log. The
// per-line handler only counts; drawing runs off a timer at most ten times a
// second, so a fast instrument is not slowed by its own progress display.
class ProgressReporter : public QObject
{
    Q_OBJECT

public:
    enum class Style {
        Terminal,  // one line per phase, redrawn with '\r'
        Log,       // plain lines every 10% or every 2 s, for files and pipes
    };

    ProgressReporter(std::FILE *out, Style style, QObject *parent = nullptr);

    // Follows the update's signals from now on.
    void attach(UpdateSequence *update);
    // Draws the last state and ends the open line, so that the result that
    // follows starts on a line of its own.
    void finish();

private:
    enum class Phase { Idle, Erasing, HandingOver, Writing };

    void handleEraseSent();
    void handleEraseTick(int tick, int percent);
    void handleEraseAcknowledged();
    void handleLineSent(int count, int total, double percent, const QByteArray &line);
    void handleTimer();
    void draw(bool final);
    QByteArray eraseText() const;
    QByteArray writeText(bool final) const;
    int percentDone() const;
    void put(const QByteArray &text);

    std::FILE *m_out;
    Style m_style;
    UpdateSequence *m_update = nullptr;
    QTimer m_timer;
    Phase m_phase = Phase::Idle;
    bool m_changed = false;  // something moved since the last drawing
    // Erase wait.
    int m_tick = 0;
    int m_erasePercent = 0;
    int m_tickCount = 0;
    std::chrono::milliseconds m_tickInterval{0};
    // Write phase.
    int m_count = 0;
    int m_total = 0;
    qint64 m_bytes = 0;
    QElapsedTimer m_writeClock;
    // Log style: when and at which tenth the last line was printed.
    QElapsedTimer m_sinceLogLine;
    int m_loggedTenth = -1;
    int m_loggedCount = -1;
};
