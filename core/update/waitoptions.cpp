#include "core/update/waitoptions.h"

#include "core/common/printablebytes.h"

using namespace Qt::Literals::StringLiterals;

namespace {

// A day: longer waits are typing mistakes, not test set-ups.
constexpr qint64 kMaxMs = 24 * 60 * 60 * 1000;
// The instruments' tools counted erase ticks in a signed 16-bit number.
constexpr qint64 kMaxEraseTicks = 32767;

const WaitOptions::Waits kDefaults;

} // namespace

WaitOptions::WaitOptions()
    : m_eraseTickMs(u"erase-tick-ms"_s,
                    u"For testing and simulators: the erase wait ticks every N ms (default %1)."_s.arg(
                        kDefaults.timings.eraseTickInterval.count()),
                    u"N"_s)
    , m_eraseTicks(u"erase-ticks"_s,
                   u"For testing and simulators: the erase is acknowledged on tick N (default %1)."_s.arg(
                       kDefaults.timings.eraseTickCount),
                   u"N"_s)
    , m_handOverMs(u"hand-over-ms"_s,
                   u"For testing and simulators: N ms between the acknowledged erase and the first line "
                   "(default %1)."_s.arg(kDefaults.timings.handOverDelay.count()),
                   u"N"_s)
    , m_readTimeoutMs(u"read-timeout-ms"_s,
                      u"For testing and simulators: wait N ms for each answer of the instrument "
                      "(default %1)."_s.arg(kDefaults.readTimeout.count()),
                      u"N"_s)
{ }

QList<QCommandLineOption> WaitOptions::options() const
{
    return {m_eraseTickMs, m_eraseTicks, m_handOverMs, m_readTimeoutMs};
}

bool WaitOptions::read(const QCommandLineParser &parser, Waits *waits, QString *error) const
{
    Waits w = *waits;
    qint64 ticks = w.timings.eraseTickCount;
    if (!readMs(parser, m_eraseTickMs, 0, &w.timings.eraseTickInterval, error)
        || !readNumber(parser, m_eraseTicks, 1, kMaxEraseTicks, &ticks, error)
        || !readMs(parser, m_handOverMs, 0, &w.timings.handOverDelay, error)
        || !readMs(parser, m_readTimeoutMs, 1, &w.readTimeout, error))
        return false;
    w.timings.eraseTickCount = int(ticks);
    *waits = w;
    return true;
}

bool WaitOptions::readNumber(const QCommandLineParser &parser, const QCommandLineOption &option, qint64 min, qint64 max,
                             qint64 *value, QString *error)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const QString text = parser.value(option);
    const qint64 n = text.trimmed().toLongLong(&ok);
    if (!ok || n < min || n > max) {
        *error = u"--%1: not a number from %2 to %3: %4"_s.arg(option.names().constFirst())
                     .arg(min)
                     .arg(max)
                     .arg(printableText(text.left(kShownLength)));
        return false;
    }
    *value = n;
    return true;
}

bool WaitOptions::readMs(const QCommandLineParser &parser, const QCommandLineOption &option, qint64 min,
                         std::chrono::milliseconds *value, QString *error)
{
    qint64 n = value->count();
    if (!readNumber(parser, option, min, kMaxMs, &n, error))
        return false;
    *value = std::chrono::milliseconds(n);
    return true;
}
