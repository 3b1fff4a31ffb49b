#include "cli/progressreporter.h"

#include "cli/outputchannel.h"
#include "core/common/printablebytes.h"
#include "core/update/updatesequence.h"

#include <algorithm>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Ten redraws a second look smooth and cost nothing next to the link.
constexpr auto kRedrawInterval = 100ms;
// A log gets a line at each tenth of the way, and at least this often while
// an update runs, so a slow or silent instrument still shows in it.
constexpr qint64 kLogIntervalMs = 2000;
// An answer later than this is shown as awaited; the instrument's own work
// takes milliseconds.
constexpr qint64 kLateAnswerMs = 1000;
constexpr int kBarWidth = 12;
// When the terminal does not say.
constexpr int kDefaultWidth = 80;
// A port's column in the rows of several instruments.
constexpr qsizetype kMaxPortColumn = 24;
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

QByteArray seconds(double value, const char *format)
{
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, format, std::max(0.0, value));
    return buffer;
}

} // namespace

ProgressReporter::ProgressReporter(OutputChannel &out, Style style, QObject *parent)
    : QObject(parent)
    , m_out(out)
    , m_style(style)
{
    m_timer.setInterval(kRedrawInterval);
    connect(&m_timer, &QTimer::timeout, this, &ProgressReporter::handleTimer);
}

void ProgressReporter::attach(UpdateSequence *update, const QString &port)
{
    const size_t index = m_units.size();
    m_units.push_back({});
    m_units.back().port = printableText(port);
    m_units.back().update = update;
    const auto unit = [this, index]() -> Unit & { return m_units[index]; };

    connect(update, &UpdateSequence::eraseSent, this, [this, unit] {
        Unit &u = unit();
        u.tickCount = u.update->timings().eraseTickCount;
        u.tickInterval = u.update->timings().eraseTickInterval;
        enter(u, Phase::Erasing);
        if (!m_timer.isActive())
            m_timer.start();
    });
    connect(update, &UpdateSequence::eraseProgress, this, [unit](int tick, int percent) {
        Unit &u = unit();
        u.tick = tick;
        u.erasePercent = percent;
        u.changed = true;
        // The acknowledgement is read on the last tick: from here it is awaited.
        if (tick == u.tickCount)
            u.waiting.start();
    });
    connect(update, &UpdateSequence::eraseAcknowledged, this, [unit] {
        Unit &u = unit();
        u.tick = u.tickCount;
        u.erasePercent = 100;
        u.waiting.invalidate();
        u.changed = true;
    });
    connect(update, &UpdateSequence::stateChanged, this, [this, unit](UpdateSequence::State state) {
        Unit &u = unit();
        if (state == UpdateSequence::State::HandingOver) {
            enter(u, Phase::HandingOver);
        } else if (state == UpdateSequence::State::Writing) {
            u.total = int(u.update->image().lineCount());
            enter(u, Phase::Writing);
        }
    });
    connect(update, &UpdateSequence::lineSent, this, [unit](int count, int total, double, const QByteArray &line) {
        // The one handler run per line: count, and leave the drawing to the timer.
        Unit &u = unit();
        u.count = count;
        u.total = total;
        u.bytes += line.size() + 1; // the line feed goes out too
        u.waiting.start();
        u.changed = true;
    });
    connect(update, &UpdateSequence::lineAcknowledged, this, [unit](int) {
        Unit &u = unit();
        u.waiting.invalidate();
        u.changed = true;
    });
    connect(update, &UpdateSequence::finished, this, [this, unit](const UpdateOutcome &outcome) {
        Unit &u = unit();
        u.result = outcome.message.prompt;
        u.waiting.invalidate();
        if (u.phase != Phase::Idle)
            enter(u, Phase::Done);
    });
}

void ProgressReporter::enter(Unit &unit, Phase phase)
{
    // The phase that ends is shown once more as it ended.
    if (unit.phase != Phase::Idle && unit.phase != Phase::Done) {
        if (m_style == Style::Log)
            logUnit(unit, true);
        else if (m_units.size() == 1)
            drawTerminal(true);
    }
    unit.phase = phase;
    unit.phaseClock.start();
    unit.count = 0;
    unit.bytes = 0;
    unit.changed = true;
    unit.loggedTenth = -1;
    unit.loggedCount = -1;
    if (phase == Phase::Done)
        return;
    if (m_style == Style::Log)
        logUnit(unit, false);
    else
        drawTerminal(false);
}

void ProgressReporter::handleTimer()
{
    if (m_style == Style::Log) {
        for (Unit &unit : m_units)
            logUnit(unit, false);
        return;
    }
    const bool moved = std::any_of(m_units.begin(), m_units.end(), [](const Unit &u) {
        return u.changed || (u.waiting.isValid() && u.waiting.elapsed() > kLateAnswerMs)
            || u.phase == Phase::HandingOver;
    });
    if (moved)
        drawTerminal(false);
}

void ProgressReporter::finish()
{
    m_timer.stop();
    if (m_style == Style::Log) {
        for (Unit &unit : m_units) {
            if (unit.phase != Phase::Idle && unit.phase != Phase::Done)
                logUnit(unit, true);
        }
        return;
    }
    drawTerminal(true);
}

int ProgressReporter::percentDone(const Unit &unit) const
{
    if (unit.phase == Phase::Erasing)
        return unit.erasePercent;
    if (unit.phase == Phase::Writing)
        return unit.total > 0 ? int(qint64(unit.count) * 100 / unit.total) : 0;
    return 0;
}

QByteArray ProgressReporter::statusText(const Unit &unit, bool final, bool compact) const
{
    // The bar is for a terminal with room to spare; a late answer says more
    // than rates that a stall has made stale.
    const bool terminal = m_style == Style::Terminal && !compact;
    const bool late = unit.waiting.isValid() && unit.waiting.elapsed() > kLateAnswerMs;
    const QByteArray lateText
        = late ? seconds(double(unit.waiting.elapsed() / 1000), "waiting for the instrument (%.0f s)") : QByteArray();
    QByteArray text;
    char counts[64];
    switch (unit.phase) {
    case Phase::Idle:
        return QByteArrayLiteral("Starting");
    case Phase::Done:
        return unit.result.toLocal8Bit();
    case Phase::Erasing: {
        const double left
            = double(std::max(0, unit.tickCount - unit.tick)) * double(unit.tickInterval.count()) / 1000.0;
        std::snprintf(counts, sizeof counts, "%3d%%  ", percentDone(unit));
        text
            = (terminal ? QByteArrayLiteral("Erasing ") + bar(percentDone(unit)) + ' ' : QByteArrayLiteral("Erasing: "))
            + counts + (late ? lateText : seconds(left, "%.1f s left"));
        return text;
    }
    case Phase::HandingOver: {
        const double left = double(unit.update->timings().handOverDelay.count() - unit.phaseClock.elapsed()) / 1000.0;
        text = QByteArrayLiteral("Handing over: ") + seconds(final ? 0.0 : left, "%.1f s");
        break;
    }
    case Phase::Writing: {
        const double elapsed = double(unit.phaseClock.nsecsElapsed()) / 1e9;
        QByteArray lineRate = QByteArrayLiteral("-- lines/s");
        QByteArray byteRate = QByteArrayLiteral("-- B/s");
        QByteArray left = QByteArrayLiteral("--:--");
        // The first moments give no meaningful rate; the end gives the overall one.
        if ((elapsed >= 0.05 || (final && elapsed > 0)) && unit.count > 0) {
            const double linesPerSecond = double(unit.count) / elapsed;
            const qint64 secondsLeft = qint64(double(std::max(0, unit.total - unit.count)) / linesPerSecond + 0.5);
            char buffer[48];
            std::snprintf(buffer, sizeof buffer, "%.0f lines/s", linesPerSecond);
            lineRate = buffer;
            byteRate = rateText(double(unit.bytes) / elapsed);
            std::snprintf(buffer, sizeof buffer, "%lld:%02lld", static_cast<long long>(secondsLeft / 60),
                          static_cast<long long>(secondsLeft % 60));
            left = buffer;
        }
        std::snprintf(counts, sizeof counts, "%3d%%  %d/%d", percentDone(unit), unit.count, unit.total);
        if (late && compact)
            // Narrow: what matters first, so that cutting keeps it.
            text = lateText + ", line " + QByteArray::number(unit.count) + '/' + QByteArray::number(unit.total);
        else if (late)
            text = (terminal ? QByteArrayLiteral("Writing ") + bar(percentDone(unit)) + ' '
                             : QByteArrayLiteral("Writing: "))
                + counts + "  " + lateText;
        else if (terminal)
            text = QByteArrayLiteral("Writing ") + bar(percentDone(unit)) + ' ' + counts + "  " + lineRate + "  "
                + byteRate + "  " + left + " left";
        else
            text = QByteArrayLiteral("Writing: ") + counts + " lines, " + lineRate + (compact ? "" : ", " + byteRate)
                + ", " + left + " left";
        break;
    }
    }
    return text;
}

int ProgressReporter::width() const
{
    winsize size{};
    if (::ioctl(m_out.fd(), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return kDefaultWidth;
}

void ProgressReporter::drawTerminal(bool final)
{
    // The last column stays free: writing into it makes some terminals wrap.
    const qsizetype columns = std::max(1, width() - 1);
    // The full text where it fits, else the compact one, else its start.
    const auto fit = [this, columns, final](const QByteArray &prefix, const Unit &unit) {
        const QByteArray full = prefix + statusText(unit, final, false);
        return full.size() <= columns ? full : (prefix + statusText(unit, final, true)).left(columns);
    };
    if (m_units.size() == 1) {
        Unit &unit = m_units.front();
        // Done: its last phase's line was ended when it was left.
        if (unit.phase == Phase::Idle || unit.phase == Phase::Done)
            return;
        QByteArray out = '\r' + fit({}, unit) + kClearToEnd;
        if (final)
            out += '\n';
        unit.changed = false;
        put(out);
        return;
    }
    qsizetype portColumn = 0;
    for (const Unit &unit : m_units)
        portColumn = std::max(portColumn, std::min(kMaxPortColumn, unit.port.size()));
    QByteArray out;
    if (m_rowsDrawn > 0)
        out += "\033[" + QByteArray::number(m_rowsDrawn) + 'A';
    for (Unit &unit : m_units) {
        const QByteArray port = unit.port.left(kMaxPortColumn).leftJustified(portColumn).toLocal8Bit() + "  ";
        out += '\r' + fit(port, unit) + kClearToEnd + '\n';
        unit.changed = false;
    }
    m_rowsDrawn = int(m_units.size());
    put(out);
}

void ProgressReporter::logUnit(Unit &unit, bool final)
{
    if (unit.phase == Phase::Idle || unit.phase == Phase::Done)
        return;
    const int marker = unit.phase == Phase::Erasing ? unit.tick : unit.count;
    if (!final && unit.sinceLogLine.isValid()) {
        const bool newTenth = percentDone(unit) / 10 != unit.loggedTenth && marker != unit.loggedCount;
        if (!newTenth && unit.sinceLogLine.elapsed() < kLogIntervalMs)
            return;
    }
    // A final line that repeats the last one says nothing new; the
    // hand-over's end is the write's start, which has a line of its own.
    if (final && (marker == unit.loggedCount || unit.phase == Phase::HandingOver))
        return;
    unit.loggedCount = marker;
    unit.loggedTenth = percentDone(unit) / 10;
    unit.sinceLogLine.start();
    unit.changed = false;
    QByteArray line = statusText(unit, final, false);
    if (m_units.size() > 1)
        line = unit.port.toLocal8Bit() + ": " + line;
    put(line + '\n');
}

void ProgressReporter::put(const QByteArray &text)
{
    // One write per drawing, so a drawing is shown whole or not at all.
    m_out.write(text);
}
