#include "history/historyoptions.h"

#include "core/common/printablebytes.h"
#include "core/update/waitoptions.h"
#include "history/serverstore.h"

using namespace Qt::Literals::StringLiterals;

HistoryOptions::HistoryOptions()
    : m_history(u"history"_s,
                u"Keep the unit history (every attempt, with the station, the operator and the unit's serial) "
                "in the SQLite database FILE (default: %1)."_s.arg(HistoryStore::defaultPlace()),
                u"FILE"_s)
    , m_noHistory(u"no-history"_s, u"Keep no unit history."_s)
    , m_stationId(u"station-id"_s, u"The station's name in the history (default: the host name)."_s, u"ID"_s)
    , m_operator(u"operator"_s, u"The operator's name in the history (default: the login name)."_s, u"NAME"_s)
    , m_server(u"history-server"_s,
               u"Forward the unit history to the PostgreSQL database CONNINFO, a libpq connection string "
               "(\"host=db.example dbname=wexel user=station\") or service=NAME. Records the server cannot take "
               "yet wait in the history and go when it can; the end of a run says how many wait. The "
               "password goes in ~/.pgpass, the file PGPASSFILE names or the service file: a CONNINFO "
               "holding one is refused."_s,
               u"CONNINFO"_s)
    , m_serverTimeout(u"history-server-timeout-ms"_s,
                      u"How long the end of a run waits for the history server to take the records that wait "
                      "(default %1); those it has not taken go with a later run."_s.arg(
                          HistoryForwarder::kPushTimeout.count()),
                      u"MS"_s)
{ }

QList<QCommandLineOption> HistoryOptions::options() const
{
    return {m_history, m_noHistory, m_stationId, m_operator, m_server, m_serverTimeout};
}

bool HistoryOptions::given(const QCommandLineParser &parser) const
{
    return parser.isSet(m_history) || parser.isSet(m_noHistory) || parser.isSet(m_stationId) || parser.isSet(m_operator)
        || parser.isSet(m_server) || parser.isSet(m_serverTimeout);
}

bool HistoryOptions::checkText(const QString &what, const QString &text, QString *error)
{
    if (text.isEmpty()) {
        *error = u"%1 is empty"_s.arg(what);
        return false;
    }
    if (text.size() > kMaxText) {
        *error = u"%1 is %2 characters long; at most %3"_s.arg(what).arg(text.size()).arg(kMaxText);
        return false;
    }
    for (const QChar c : text) {
        if (!c.isPrint()) {
            *error = u"%1 %2 holds a character that cannot be printed"_s.arg(what, printableText(text));
            return false;
        }
    }
    return true;
}

bool HistoryOptions::read(const QCommandLineParser &parser, Settings *settings, QString *error) const
{
    Settings s = *settings;
    if (parser.isSet(m_noHistory) && parser.isSet(m_history)) {
        *error = u"--history and --no-history cannot be combined"_s;
        return false;
    }
    s.enabled = !parser.isSet(m_noHistory);
    if (parser.isSet(m_history)) {
        s.path = parser.value(m_history);
        if (s.path.isEmpty()) {
            *error = u"--history needs a file name"_s;
            return false;
        }
    }
    if (parser.isSet(m_stationId)) {
        s.keeper.station = parser.value(m_stationId);
        if (!checkText(u"--station-id"_s, s.keeper.station, error))
            return false;
    }
    if (parser.isSet(m_operator)) {
        s.keeper.operatorName = parser.value(m_operator);
        if (!checkText(u"--operator"_s, s.keeper.operatorName, error))
            return false;
    }
    if (parser.isSet(m_server)) {
        if (!s.enabled) {
            *error = u"--history-server forwards the history; --no-history keeps none"_s;
            return false;
        }
        s.server = parser.value(m_server);
        QString why;
        if (s.server.trimmed().isEmpty() || !ServerStore::checkConninfo(s.server, &why)) {
            *error = u"--history-server: %1"_s.arg(why.isEmpty() ? u"needs a connection string"_s : why);
            return false;
        }
    }
    qint64 timeoutMs = s.serverTimeout.count();
    if (!WaitOptions::readNumber(parser, m_serverTimeout, 0, kMaxServerTimeoutMs, &timeoutMs, error))
        return false;
    if (parser.isSet(m_serverTimeout) && s.server.isEmpty()) {
        *error = u"--history-server-timeout-ms goes with --history-server only"_s;
        return false;
    }
    s.serverTimeout = std::chrono::milliseconds(timeoutMs);
    *settings = s;
    return true;
}
