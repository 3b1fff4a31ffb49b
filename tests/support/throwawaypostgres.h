#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// A PostgreSQL server of the test's own (tests/support/pg-throwaway): a
// cluster in a temporary folder that listens only on a Unix socket there,
// so no port is taken and any number of tests run side by side. It goes
// with the object, and with the test process if that dies: the script
// removes it when its input closes. The superuser "owner" logs in without a
// password; other roles need one.
class ThrowawayPostgres
{
public:
    ThrowawayPostgres();
    ~ThrowawayPostgres();
    ThrowawayPostgres(const ThrowawayPostgres &) = delete;
    ThrowawayPostgres &operator=(const ThrowawayPostgres &) = delete;

    // Whether this machine has PostgreSQL's programs; if not, *why says
    // what is missing (for QSKIP).
    static bool available(QString *why);

    // Makes and starts the cluster. False with error() set.
    bool start();
    QString error() const { return m_error; }

    // The server goes as a crash would take it (sessions dropped, what was
    // not committed lost), and comes back on the same data.
    bool stop();
    bool resume();
    bool isUp() const { return m_up; }

    // The socket's folder: the host of a connection string.
    QString host() const { return m_host; }
    QString conninfo(const QString &user = QStringLiteral("owner")) const;

    // Runs `sql` as the superuser; its rows, one a line, columns split by |.
    bool psql(const QString &sql, QStringList *rows = nullptr);
    // The first column of the first row of `sql`, as a number; -1 on error.
    qint64 number(const QString &sql);

    // A session that stays open: statements are sent to it and run in turn,
    // as a person at psql's prompt would (a transaction left open holds its
    // locks). It ends with the object.
    class Session
    {
    public:
        explicit Session(const QString &conninfo);
        ~Session();
        void send(const QString &sql);

    private:
        QProcess m_process;
    };

private:
    bool command(const QByteArray &line, const QByteArray &answer);
    bool readLine(QByteArray *line);

    QProcess m_script;
    QString m_host;
    QString m_error;
    bool m_up = false;
};
