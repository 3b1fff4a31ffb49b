#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

// Store-and-forward: the rows of a station's history that the central
// server has not taken yet are sent to it in batches, and marked sent only
// once the server has committed them. Sending runs on a thread of its own
// with its own connections (the history's and the server's), so an update
// or a window never waits for the network. A server that is down, cannot be
// reached or refuses the login is tried again, 1 s later and then twice as
// long each time, up to a minute; the rows wait in the history meanwhile,
// and how many is told.
class HistoryForwarder : public QObject
{
    Q_OBJECT

public:
    // The waits between tries while the server cannot be reached.
    static constexpr std::chrono::milliseconds kFirstRetry{1000};
    static constexpr std::chrono::milliseconds kLastRetry{60000};
    // With nothing to send, the history is looked at again this often: other
    // programs of the station keep rows in it too.
    static constexpr std::chrono::milliseconds kIdleCheck{30000};
    // A server that has not answered a batch by then is taken as gone.
    static constexpr std::chrono::milliseconds kServerTimeout{30000};
    // What the end of a run waits for, at most, by default.
    static constexpr std::chrono::milliseconds kPushTimeout{10000};
    // Rows a transaction: a batch the server takes in well under a second.
    static constexpr int kBatchRows = 2000;

    // What a push came to.
    struct Result
    {
        qint64 sent = 0; // rows the server took (committed), now marked sent
        qint64 waiting = -1; // rows still not on the server; -1: the history could not be read
        QString error; // why some wait; empty when none does
    };

    HistoryForwarder(const QString &historyPath, const QString &conninfo, QObject *parent = nullptr);
    ~HistoryForwarder() override;

    // Before start(): shorter waits, for tests.
    void setRetryDelays(std::chrono::milliseconds first, std::chrono::milliseconds last);

    // Sending begins, on its own thread, with what waits already.
    void start();
    bool isRunning() const;
    // Sending ends: a batch on its way is dropped (it stays unsent and is
    // sent again later; the server keeps a row once however often it comes).
    void stop();

    // Rows not yet on the server as last counted; -1 until counted.
    qint64 waiting() const { return m_waiting; }
    // Why rows wait, as last seen; empty while the server takes them.
    QString lastError() const { return m_error; }

    // Sends what waits now, on this thread, until nothing waits or `timeout`
    // has passed, and ends the sending on its own thread: for the end of a
    // run and the history's push command.
    Result pushNow(std::chrono::milliseconds timeout = kPushTimeout);
    // The same for a history and a server named: the push command.
    static Result push(const QString &historyPath, const QString &conninfo,
                       std::chrono::milliseconds timeout = kPushTimeout);

public slots:
    // A row has been kept: it is sent soon (once the server can be reached,
    // if it cannot now).
    void forwardSoon();

signals:
    // The rows that wait for the server, counted again.
    void waitingChanged(qint64 rows);
    // Why rows wait; an empty text once the server takes them again.
    void errorChanged(const QString &error);

private:
    struct Sender;
    void apply(qint64 waiting, const QString &error);

    QString m_historyPath;
    QString m_conninfo;
    std::chrono::milliseconds m_firstRetry = kFirstRetry;
    std::chrono::milliseconds m_lastRetry = kLastRetry;
    std::unique_ptr<Sender> m_sender;
    qint64 m_waiting = -1;
    QString m_error;
};
