#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>

// For benchmarks (--stats): the longest time the event loop was kept from
// its work. A precise timer asks to be served every kTick; how much later
// than asked it is served is how long a key press or a repaint would have
// waited then. Runs only when asked for: its wake-ups cost a little.
class StallMeter : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kTick{5};

    explicit StallMeter(QObject *parent = nullptr);

    void start();
    // While lanes run: the figure that matters, apart from the window's
    // first show, which builds fonts and tiles once.
    void setLanesRunning(bool running);
    std::chrono::microseconds longest() const { return std::chrono::microseconds(m_longestNs / 1000); }
    std::chrono::microseconds longestWhileRunning() const
    {
        return std::chrono::microseconds(m_longestRunningNs / 1000);
    }

private:
    void handleTick();

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastNs = 0;
    qint64 m_longestNs = 0;
    qint64 m_longestRunningNs = 0;
    bool m_lanesRunning = false;
    qint64 m_runningSinceNs = 0;
};
