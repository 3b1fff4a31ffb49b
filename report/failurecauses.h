#pragma once

#include "history/historystore.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

// The failed attempts of a period by cause, most frequent first: the
// Pareto a quality engineer starts from. A cause is the outcome the tool
// gave the attempt ("write-refused", "erase-failed"), not its worded
// cause: the words carry the port, the line and the reply, so grouping by
// them would split one fault into as many causes as there are ports and
// lines, and they change with the tool's wording between versions. The
// outcomes are few, named by the tool itself and stable; each cause shows
// the latest failure's message and the first clause of its cause, so the
// engineer has the words to look for.
class FailureCauses
{
public:
    struct Cause
    {
        QString outcome;
        qint64 count = 0;
        double share = 0; // of all failures, 0 to 1
        double cumulative = 0; // of this cause and those above it
        QString example; // the latest failure's message and the first clause of its cause
    };

    // Takes the attempts oldest first; those that passed are not failures.
    void add(const HistoryStore::AttemptView &attempt);

    qint64 failures() const { return m_failures; }
    // Most frequent first; causes as frequent in the order of their names.
    QList<Cause> pareto() const;

    // The first of the causes the tool joined with "; ".
    static QString firstClause(const QString &cause);

private:
    struct Tally
    {
        qint64 count = 0;
        QByteArray message; // the latest's
        QByteArray cause;
    };
    QHash<QByteArray, Tally> m_tallies;
    qint64 m_failures = 0;
};
