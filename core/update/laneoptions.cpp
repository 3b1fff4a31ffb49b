#include "core/update/laneoptions.h"

#include "core/common/printablebytes.h"

using namespace Qt::Literals::StringLiterals;

namespace {

// A day: longer waits are typing mistakes, not test set-ups.
constexpr qint64 kMaxMs = 24 * 60 * 60 * 1000;
// The instruments' tools counted erase ticks in a signed 16-bit number.
constexpr qint64 kMaxEraseTicks = 32767;
// A lane's link test looks for a unit once a second; tests and simulators
// may look more often, never in a tight loop.
constexpr qint64 kMinProbeIntervalMs = 100;
// How much of a mistyped number the message repeats.
constexpr qsizetype kShownLength = 40;

const Lane::Settings kDefaults;

// The option's number when it was given, in [min, max]; the default
// otherwise.
bool readNumber(const QCommandLineParser &parser, const QCommandLineOption &option, qint64 min, qint64 max,
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

bool readMs(const QCommandLineParser &parser, const QCommandLineOption &option, qint64 min,
            std::chrono::milliseconds *value, QString *error)
{
    qint64 n = value->count();
    if (!readNumber(parser, option, min, kMaxMs, &n, error))
        return false;
    *value = std::chrono::milliseconds(n);
    return true;
}

} // namespace

LaneOptions::LaneOptions(const QString &watchHelp, const QString &retriesHelp)
    : m_watch(u"watch"_s, watchHelp)
    , m_retries(u"retries"_s, retriesHelp, u"N"_s)
    , m_goneAfterMs(u"gone-after-ms"_s,
                    u"In watch mode: a unit whose link test stays unanswered N ms has gone (default %1). "
                    "A unit is bound to its device (the node, its device number, a USB adapter's serial "
                    "number): a hang-up, a vanished port or another device on the port ends it at once, but "
                    "behind an adapter that stays, a unit swapped in less than N ms is taken for the one "
                    "before and not updated."_s.arg(kDefaults.goneAfter.count()),
                    u"N"_s)
    , m_eraseTickMs(u"erase-tick-ms"_s,
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
    , m_probeIntervalMs(u"probe-interval-ms"_s,
                        u"For testing and simulators, in watch mode: look for a unit every N ms (default %1, "
                        "at least %2)."_s.arg(kDefaults.probeInterval.count())
                            .arg(kMinProbeIntervalMs),
                        u"N"_s)
{ }

QList<QCommandLineOption> LaneOptions::options() const
{
    return {m_watch,      m_retries,    m_goneAfterMs,   m_eraseTickMs,
            m_eraseTicks, m_handOverMs, m_readTimeoutMs, m_probeIntervalMs};
}

bool LaneOptions::read(const QCommandLineParser &parser, Lane::Settings *settings, QString *error) const
{
    Lane::Settings s = *settings;
    qint64 ticks = s.timings.eraseTickCount;
    qint64 retries = s.retries;
    if (!readNumber(parser, m_retries, 0, kMaxRetries, &retries, error)
        || !readMs(parser, m_goneAfterMs, 1, &s.goneAfter, error)
        || !readMs(parser, m_eraseTickMs, 0, &s.timings.eraseTickInterval, error)
        || !readNumber(parser, m_eraseTicks, 1, kMaxEraseTicks, &ticks, error)
        || !readMs(parser, m_handOverMs, 0, &s.timings.handOverDelay, error)
        || !readMs(parser, m_readTimeoutMs, 1, &s.readTimeout, error)
        || !readMs(parser, m_probeIntervalMs, kMinProbeIntervalMs, &s.probeInterval, error))
        return false;
    s.watch = parser.isSet(m_watch);
    // Only watching looks for units: without --watch they would be taken
    // and silently do nothing.
    for (const QCommandLineOption *option : {&m_goneAfterMs, &m_probeIntervalMs}) {
        if (!s.watch && parser.isSet(*option)) {
            *error = u"--%1 goes with --watch only"_s.arg(option->names().constFirst());
            return false;
        }
    }
    s.timings.eraseTickCount = int(ticks);
    s.retries = int(retries);
    *settings = s;
    return true;
}

bool LaneOptions::updatesAsked(const QCommandLineParser &parser) const
{
    return parser.isSet(m_watch) || parser.isSet(m_retries);
}
