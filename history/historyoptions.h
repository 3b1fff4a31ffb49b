#pragma once

#include "history/historyforwarder.h"
#include "history/historystore.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>

#include <chrono>

// The unit history's options, the same in every program that updates:
// where the history is (--history FILE, --no-history), who keeps it
// (--station-id, --operator) and the server it is forwarded to
// (--history-server, --history-server-timeout-ms). One place for their
// names, help and checks.
class HistoryOptions
{
public:
    // A serial, station id or operator longer than this is no label of a
    // unit or a person, and is refused.
    static constexpr int kMaxText = 64;
    // A run that has ended waits no longer than an hour for the server.
    static constexpr qint64 kMaxServerTimeoutMs = 3600000;

    struct Settings
    {
        bool enabled = true;
        QString path = HistoryStore::defaultPath();
        HistoryStore::Keeper keeper = HistoryStore::defaultKeeper();
        QString server; // a connection string; empty: none
        // How long the end of a run waits for the server to take what waits.
        std::chrono::milliseconds serverTimeout = HistoryForwarder::kPushTimeout;
    };

    HistoryOptions();

    // In the order they are listed in the help.
    QList<QCommandLineOption> options() const;
    // What the parser found, over the defaults. False with *error set.
    bool read(const QCommandLineParser &parser, Settings *settings, QString *error) const;
    // Whether any of them was given.
    bool given(const QCommandLineParser &parser) const;

    // A unit's serial as a scanner or a person types it: 1 to 64 printable
    // characters. False with *error naming what is wrong.
    static bool checkText(const QString &what, const QString &text, QString *error);

private:
    QCommandLineOption m_history;
    QCommandLineOption m_noHistory;
    QCommandLineOption m_stationId;
    QCommandLineOption m_operator;
    QCommandLineOption m_server;
    QCommandLineOption m_serverTimeout;
};
