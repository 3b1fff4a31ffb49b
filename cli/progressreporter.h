#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <vector>

class OutputChannel;
class UpdateSequence;
struct UpdateOutcome;

// Shows the erase wait, the hand-over and the write phase of one or more
// updates on standard error. On a terminal one instrument gets a line per
// phase and several get a row each, redrawn in place and cut to the
// terminal's width (read anew at every drawing, so a resize is followed).
// In a log (a file or a pipe) each instrument gets a plain line at each
// tenth of the way and at least every 2 s while it runs, stalls included.
// An answer more than a second late shows as "waiting for the instrument".
// The per-line handlers only count; drawing runs off a timer at most ten
// times a second, so a fast instrument is not slowed by its own display.
class ProgressReporter : public QObject
{
    Q_OBJECT

public:
    enum class Style {
        Terminal, // redrawn in place
        Log, // plain lines, for files and pipes
    };

    ProgressReporter(OutputChannel &out, Style style, QObject *parent = nullptr);

    // Follows one instrument's update from now on; `port` names its row.
    void attach(UpdateSequence *update, const QString &port);
    // Draws the last state and ends the open lines, so that what follows
    // starts on a line of its own.
    void finish();

private:
    enum class Phase { Idle, Erasing, HandingOver, Writing, Done };

    struct Unit
    {
        QString port;
        UpdateSequence *update = nullptr;
        Phase phase = Phase::Idle;
        bool changed = false; // something moved since the last drawing
        // Erase wait and hand-over.
        int tick = 0;
        int tickCount = 0;
        int erasePercent = 0;
        std::chrono::milliseconds tickInterval{0};
        QElapsedTimer phaseClock;
        // Write phase.
        int count = 0;
        int total = 0;
        qint64 bytes = 0;
        // An answer is awaited since this started.
        QElapsedTimer waiting;
        QString result;
        // Log style: when and at which tenth the last line was printed.
        QElapsedTimer sinceLogLine;
        int loggedTenth = -1;
        int loggedCount = -1;
    };

    void enter(Unit &unit, Phase phase);
    void handleTimer();
    void drawTerminal(bool final);
    void logUnit(Unit &unit, bool final);
    // compact: no bar, no byte rate, for a narrow terminal.
    QByteArray statusText(const Unit &unit, bool final, bool compact) const;
    int percentDone(const Unit &unit) const;
    int width() const;
    void put(const QByteArray &text);

    OutputChannel &m_out;
    Style m_style;
    QTimer m_timer;
    std::vector<Unit> m_units;
    int m_rowsDrawn = 0; // several instruments: rows on the screen
};
