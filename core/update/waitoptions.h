#pragma once

#include "core/update/updatesequence.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>

#include <chrono>

// The waits that tests and simulators shorten: the erase's ticks, the
// hand-over and the wait for each answer. Every program that updates an
// instrument takes them under the same names, help and ranges, with the
// product's values by default, so a test can run any of them at its own
// speed and a user meets one set of words.
class WaitOptions
{
public:
    // The update's waits as the options give them.
    struct Waits
    {
        UpdateSequence::Timings timings;
        std::chrono::milliseconds readTimeout = SerialLink::kDefaultReadTimeout;
    };

    WaitOptions();

    // In the order they are listed in the help.
    QList<QCommandLineOption> options() const;
    // What the parser found, over *waits. False with *error set when a
    // number is not one or out of its range.
    bool read(const QCommandLineParser &parser, Waits *waits, QString *error) const;

    // The option's number when it was given, in [min, max]; *value stays
    // otherwise. False with *error naming the option when it is not.
    static bool readNumber(const QCommandLineParser &parser, const QCommandLineOption &option, qint64 min, qint64 max,
                           qint64 *value, QString *error);
    // The same for a wait in ms, from min to a day.
    static bool readMs(const QCommandLineParser &parser, const QCommandLineOption &option, qint64 min,
                       std::chrono::milliseconds *value, QString *error);

private:
    QCommandLineOption m_eraseTickMs;
    QCommandLineOption m_eraseTicks;
    QCommandLineOption m_handOverMs;
    QCommandLineOption m_readTimeoutMs;
};
