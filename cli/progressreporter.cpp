#include "cli/progressreporter.h"

#include "update/updatesequence.h"

#include <algorithm>

using namespace std::chrono_literals;

namespace {

// Ten redraws a second look smooth and cost nothing next to the link.
constexpr auto kRedrawInterval = 100ms;
// A log gets a line at each tenth of the way, and at least this often while
// something moves, so a slow instrument still shows signs of life.
constexpr qint64 kLogIntervalMs = 2000;
constexpr int kBarWidth = 12;
// Erases the rest of a longer line drawn before.
constexpr char kClearToEnd[] = "\033[K";

QByteArray bar(int percent)
{
    const int filled = std::clamp(percent, 0, 100) * kBarWidth / 100;
    QByteArray text(kBarWidth + 2, '-');
    text[0] = '[';
    text[kBarWidth + 1] = ']';
    for (int i = 0; i < filled; ++i)
        text[i + 1] = '#';
    return text;
}

QByteArray rateText(double bytesPerSecond)
{
    char buffer[32];
    if (bytesPerSecond >= 1000.0 * 1000.0)
        std::snprintf(buffer, sizeof buffer, "%.1f MB/s", bytesPerSecond / 1e6);
    else if (bytesPerSecond >= 1000.0)
        std::snprintf(buffer, sizeof buffer, "%.1f kB/s", bytesPerSecond / 1e3);
    else
        std::snprintf(buffer, sizeof buffer, "%.0f B/s", bytesPerSecond);
    return buffer;
}

} // namespace

ProgressReporter::ProgressReporter(std::FILE *out, Style style, QObject *parent)
    : QObject(parent)
    , m_out(out)
    , m_style(style)
{
    m_timer.setInterval(kRedrawInterval);
    connect(&m_timer, &QTimer::timeout, this, &ProgressReporter::handleTimer);
}

void ProgressReporter::attach(UpdateSequence *update)
{
    m_update = update;
    connect(update, &UpdateSequence::eraseSent, this, &ProgressReporter::handleEraseSent);
    connect(update, &UpdateSequence::eraseProgress, this, &ProgressReporter::handleEraseTick);
    connect(update, &UpdateSequence::eraseAcknowledged, this, &ProgressReporter::handleEraseAcknowledged);
    connect(update, &UpdateSequence::lineSent, this, &ProgressReporter::handleLineSent);
}

void ProgressReporter::handleEraseSent()
{
    m_phase = Phase::Erasing;
    m_tick = 0;
    m_erasePercent = 0;
    m_tickCount = m_update->timings().eraseTickCount;
    m_tickInterval = m_update->timings().eraseTickInterval;
    m_changed = true;
    m_sinceLogLine.start();
    m_loggedTenth = -1;
    m_loggedCount = -1;
    draw(false);
    m_timer.start();
}

void ProgressReporter::handleEraseTick(int tick, int percent)
{
    m_tick = tick;
    m_erasePercent = percent;
    m_changed = true;
}

void ProgressReporter::handleEraseAcknowledged()
{
    m_tick = m_tickCount;
    m_erasePercent = 100;
    m_changed = true;
    draw(true);
    if (m_style == Style::Log)
        put(QByteArrayLiteral("Erase acknowledged\n"));
    m_phase = Phase::HandingOver;
}

void ProgressReporter::handleLineSent(int count, int total, double, const QByteArray &line)
{
    // The one handler run per line: count, and leave the drawing to the timer.
    if (m_phase != Phase::Writing) {
        m_phase = Phase::Writing;
        m_total = total;
        m_bytes = 0;
        m_writeClock.start();
        m_sinceLogLine.start();
        m_loggedTenth = -1;
        m_loggedCount = -1;
    }
    m_count = count;
    m_bytes += line.size() + 1;  // the line feed goes out too
    m_changed = true;
}

void ProgressReporter::handleTimer()
{
    if (!m_changed)
        return;
    if (m_style == Style::Log) {
        const int tenth = percentDone() / 10;
        if (tenth == m_loggedTenth && m_sinceLogLine.elapsed() < kLogIntervalMs)
            return;
    }
    draw(false);
}

void ProgressReporter::finish()
{
    m_timer.stop();
    if (m_phase == Phase::Erasing || m_phase == Phase::Writing)
        draw(true);
    m_phase = Phase::Idle;
}

int ProgressReporter::percentDone() const
{
    if (m_phase == Phase::Erasing)
        return m_erasePercent;
    if (m_phase == Phase::Writing)
        return m_total > 0 ? int(qint64(m_count) * 100 / m_total) : 0;
    return 0;
}

QByteArray ProgressReporter::eraseText() const
{
    const double secondsLeft =
        double(std::max(0, m_tickCount - m_tick)) * double(m_tickInterval.count()) / 1000.0;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%3d%%  %.1f s left", percentDone(), secondsLeft);
    if (m_style == Style::Terminal)
        return QByteArrayLiteral("Erasing ") + bar(percentDone()) + ' ' + buffer;
    return QByteArrayLiteral("Erasing: ") + buffer;
}

QByteArray ProgressReporter::writeText(bool final) const
{
    const double seconds = double(m_writeClock.nsecsElapsed()) / 1e9;
    QByteArray lineRate = QByteArrayLiteral("-- lines/s");
    QByteArray byteRate = QByteArrayLiteral("-- B/s");
    QByteArray left = QByteArrayLiteral("--:--");
    // The first moments give no meaningful rate; the end gives the overall one.
    if ((seconds >= 0.05 || (final && seconds > 0)) && m_count > 0) {
        const double linesPerSecond = double(m_count) / seconds;
        const qint64 secondsLeft = qint64(double(std::max(0, m_total - m_count)) / linesPerSecond + 0.5);
        char buffer[48];
        std::snprintf(buffer, sizeof buffer, "%.0f lines/s", linesPerSecond);
        lineRate = buffer;
        byteRate = rateText(double(m_bytes) / seconds);
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld", static_cast<long long>(secondsLeft / 60),
                      static_cast<long long>(secondsLeft % 60));
        left = buffer;
    }
    char counts[64];
    std::snprintf(counts, sizeof counts, "%3d%%  %d/%d", percentDone(), m_count, m_total);
    if (m_style == Style::Terminal)
        return QByteArrayLiteral("Writing ") + bar(percentDone()) + ' ' + counts + "  " + lineRate + "  "
            + byteRate + "  " + left + " left";
    return QByteArrayLiteral("Writing: ") + counts + " lines, " + lineRate + ", " + byteRate + ", " + left
        + " left";
}

void ProgressReporter::draw(bool final)
{
    const QByteArray text = m_phase == Phase::Erasing ? eraseText() : writeText(final);
    m_changed = false;
    if (m_style == Style::Terminal) {
        QByteArray out = '\r' + text + kClearToEnd;
        if (final)
            out += '\n';
        put(out);
        return;
    }
    // A final line that repeats the last one says nothing new.
    const int marker = m_phase == Phase::Erasing ? m_tick : m_count;
    if (final && marker == m_loggedCount)
        return;
    m_loggedCount = marker;
    m_loggedTenth = percentDone() / 10;
    m_sinceLogLine.start();
    put(text + '\n');
}

void ProgressReporter::put(const QByteArray &text)
{
    // One write per drawing; standard error is unbuffered, so it shows at once.
    std::fwrite(text.constData(), 1, size_t(text.size()), m_out);
}
