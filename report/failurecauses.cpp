#include "report/failurecauses.h"

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

QString FailureCauses::firstClause(const QString &cause)
{
    const qsizetype end = cause.indexOf(u"; "_s);
    return end < 0 ? cause : cause.left(end);
}

void FailureCauses::add(const HistoryStore::AttemptView &attempt)
{
    if (attempt.ok)
        return;
    ++m_failures;
    Tally &tally = m_tallies[attempt.outcome.isEmpty() ? QByteArray("(none)") : attempt.outcome.toByteArray()];
    ++tally.count;
    tally.message = attempt.message.toByteArray();
    tally.cause = attempt.cause.toByteArray();
}

QList<FailureCauses::Cause> FailureCauses::pareto() const
{
    QList<Cause> causes;
    for (auto it = m_tallies.constBegin(); it != m_tallies.constEnd(); ++it) {
        const QString message = QString::fromUtf8(it.value().message);
        const QString clause = firstClause(QString::fromUtf8(it.value().cause));
        const QString example = message.isEmpty() ? clause : clause.isEmpty() ? message : message + u": "_s + clause;
        causes.append({QString::fromUtf8(it.key()), it.value().count, 0, 0, example});
    }
    std::sort(causes.begin(), causes.end(), [](const Cause &a, const Cause &b) {
        return a.count != b.count ? a.count > b.count : a.outcome < b.outcome;
    });
    qint64 above = 0;
    for (Cause &cause : causes) {
        above += cause.count;
        cause.share = double(cause.count) / double(m_failures);
        cause.cumulative = double(above) / double(m_failures);
    }
    return causes;
}
