#include "throwawaypostgres.h"

#include "eventwait.h"

#include <QFileInfo>

namespace {

QString binDir()
{
    const QString given = qEnvironmentVariable("PG_BIN");
    return given.isEmpty() ? QStringLiteral("/usr/lib/postgresql/15/bin") : given;
}

QString psqlPath()
{
    return binDir() + QStringLiteral("/psql");
}

// initdb on a loaded machine takes seconds; a stuck one shows as a failure.
constexpr int kScriptTimeoutMs = 120000;
constexpr int kPsqlTimeoutMs = 60000;

} // namespace

ThrowawayPostgres::ThrowawayPostgres()
{
    m_script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

ThrowawayPostgres::~ThrowawayPostgres()
{
    if (m_script.state() == QProcess::NotRunning)
        return;
    // The end of its input: the script stops the server and removes it all.
    m_script.closeWriteChannel();
    if (!m_script.waitForFinished(kScriptTimeoutMs))
        m_script.kill();
    m_script.waitForFinished(kScriptTimeoutMs);
}

bool ThrowawayPostgres::available(QString *why)
{
    for (const QString &program : {QStringLiteral("initdb"), QStringLiteral("pg_ctl"), QStringLiteral("psql")}) {
        if (!QFileInfo(binDir() + u'/' + program).isExecutable()) {
            *why = QStringLiteral("PostgreSQL's %1 is not in %2 (Debian: the postgresql package)")
                       .arg(program, binDir());
            return false;
        }
    }
    return true;
}

bool ThrowawayPostgres::readLine(QByteArray *line)
{
    if (!EventWait::until([this] { return m_script.canReadLine() || m_script.state() == QProcess::NotRunning; },
                          kScriptTimeoutMs)
        || !m_script.canReadLine()) {
        m_error = QStringLiteral("pg-throwaway ended or did not answer");
        return false;
    }
    *line = m_script.readLine().trimmed();
    return true;
}

bool ThrowawayPostgres::start()
{
    m_script.start(QStringLiteral("bash"), {QStringLiteral(WEXEL_PG_THROWAWAY)});
    QByteArray line;
    if (!readLine(&line))
        return false;
    if (!line.startsWith("ready ")) {
        m_error = QString::fromUtf8(line);
        return false;
    }
    m_host = QString::fromUtf8(line.mid(6));
    m_up = true;
    return true;
}

bool ThrowawayPostgres::command(const QByteArray &line, const QByteArray &answer)
{
    m_script.write(line + '\n');
    QByteArray reply;
    if (!readLine(&reply))
        return false;
    if (reply != answer) {
        m_error = QString::fromUtf8(reply);
        return false;
    }
    return true;
}

bool ThrowawayPostgres::stop()
{
    if (!m_up)
        return true;
    m_up = !command("stop", "stopped");
    return !m_up;
}

bool ThrowawayPostgres::resume()
{
    if (m_up)
        return true;
    m_up = command("start", "started");
    return m_up;
}

QString ThrowawayPostgres::conninfo(const QString &user) const
{
    return QStringLiteral("host=%1 dbname=postgres user=%2").arg(m_host, user);
}

bool ThrowawayPostgres::psql(const QString &sql, QStringList *rows)
{
    QProcess p;
    p.start(psqlPath(),
            {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-A"), QStringLiteral("-t"),
             QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-d"), conninfo(),
             QStringLiteral("-c"), sql});
    if (!p.waitForFinished(kPsqlTimeoutMs) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = QString::fromUtf8(p.readAllStandardError()).trimmed();
        return false;
    }
    if (rows)
        *rows = QString::fromUtf8(p.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    return true;
}

qint64 ThrowawayPostgres::number(const QString &sql)
{
    QStringList rows;
    bool ok = false;
    const qint64 n = psql(sql, &rows) && !rows.isEmpty() ? rows.constFirst().section(u'|', 0, 0).toLongLong(&ok) : -1;
    return ok ? n : -1;
}

ThrowawayPostgres::Session::Session(const QString &conninfo)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.start(psqlPath(), {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-d"), conninfo});
}

ThrowawayPostgres::Session::~Session()
{
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(kPsqlTimeoutMs))
        m_process.kill();
    m_process.waitForFinished(kPsqlTimeoutMs);
}

void ThrowawayPostgres::Session::send(const QString &sql)
{
    m_process.write(sql.toUtf8() + '\n');
}
