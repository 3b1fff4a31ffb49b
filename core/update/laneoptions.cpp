#include "core/update/laneoptions.h"

using namespace Qt::Literals::StringLiterals;

namespace {

// A lane's link test looks for a unit once a second; tests and simulators
// may look more often, never in a tight loop.
constexpr qint64 kMinProbeIntervalMs = 100;

const Lane::Settings kDefaults;

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
    , m_probeIntervalMs(u"probe-interval-ms"_s,
                        u"For testing and simulators, in watch mode: look for a unit every N ms (default %1, "
                        "at least %2)."_s.arg(kDefaults.probeInterval.count())
                            .arg(kMinProbeIntervalMs),
                        u"N"_s)
{ }

QList<QCommandLineOption> LaneOptions::options() const
{
    return QList<QCommandLineOption>{m_watch, m_retries, m_goneAfterMs} + m_waits.options()
        + QList<QCommandLineOption>{m_probeIntervalMs};
}

bool LaneOptions::read(const QCommandLineParser &parser, Lane::Settings *settings, QString *error) const
{
    Lane::Settings s = *settings;
    WaitOptions::Waits waits{s.timings, s.readTimeout};
    qint64 retries = s.retries;
    if (!WaitOptions::readNumber(parser, m_retries, 0, kMaxRetries, &retries, error)
        || !WaitOptions::readMs(parser, m_goneAfterMs, 1, &s.goneAfter, error) || !m_waits.read(parser, &waits, error)
        || !WaitOptions::readMs(parser, m_probeIntervalMs, kMinProbeIntervalMs, &s.probeInterval, error))
        return false;
    s.timings = waits.timings;
    s.readTimeout = waits.readTimeout;
    s.watch = parser.isSet(m_watch);
    // Only watching looks for units: without --watch they would be taken
    // and silently do nothing.
    for (const QCommandLineOption *option : {&m_goneAfterMs, &m_probeIntervalMs}) {
        if (!s.watch && parser.isSet(*option)) {
            *error = u"--%1 goes with --watch only"_s.arg(option->names().constFirst());
            return false;
        }
    }
    s.retries = int(retries);
    *settings = s;
    return true;
}

bool LaneOptions::updatesAsked(const QCommandLineParser &parser) const
{
    return parser.isSet(m_watch) || parser.isSet(m_retries);
}
