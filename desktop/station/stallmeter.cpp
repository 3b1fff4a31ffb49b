#include "desktop/station/stallmeter.h"

#include <algorithm>

StallMeter::StallMeter(QObject *parent)
    : QObject(parent)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(kTick);
    connect(&m_timer, &QTimer::timeout, this, &StallMeter::handleTick);
}

void StallMeter::start()
{
    m_clock.start();
    m_lastNs = 0;
    m_timer.start();
}

void StallMeter::handleTick()
{
    const qint64 now = m_clock.nsecsElapsed();
    const qint64 late = now - m_lastNs - std::chrono::nanoseconds(kTick).count();
    // A wait that began before the lanes started (the window's first
    // paint) is start-up's, not theirs.
    if (m_lanesRunning && m_lastNs >= m_runningSinceNs)
        m_longestRunningNs = std::max(m_longestRunningNs, late);
    m_longestNs = std::max(m_longestNs, late);
    m_lastNs = now;
}

void StallMeter::setLanesRunning(bool running)
{
    m_lanesRunning = running;
    if (running && m_clock.isValid())
        m_runningSinceNs = m_clock.nsecsElapsed();
}
