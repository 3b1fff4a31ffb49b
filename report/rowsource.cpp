#include "report/rowsource.h"

#include <QByteArray>

RowSource storeRowSource(HistoryStore &store)
{
    return [&store](const HistoryStore::Filter &filter, const std::function<void(const HistoryRow &)> &row,
                    QString *error) {
        if (store.read(filter, row))
            return true;
        if (error)
            *error = store.error();
        return false;
    };
}

AttemptSource storeAttemptSource(HistoryStore &store)
{
    return [&store](const HistoryStore::Filter &filter, HistoryStore::AttemptView::Texts texts,
                    const std::function<void(const HistoryStore::AttemptView &)> &attempt, QString *error) {
        if (store.scan(filter, texts, attempt))
            return true;
        if (error)
            *error = store.error();
        return false;
    };
}

AttemptSource attemptsOf(RowSource rows)
{
    return [rows = std::move(rows)](const HistoryStore::Filter &filter, HistoryStore::AttemptView::Texts texts,
                                    const std::function<void(const HistoryStore::AttemptView &)> &attempt,
                                    QString *error) {
        return rows(
            filter,
            [&attempt, texts](const HistoryRow &row) {
                const QByteArray unit = row.unit().toUtf8();
                const QByteArray finished = row.finished.toUtf8();
                const QByteArray station = row.station.toUtf8();
                const QByteArray lane = row.lane.toUtf8();
                const QByteArray image = row.image.toUtf8();
                const QByteArray sha = row.imageSha256.toUtf8();
                const QByteArray outcome = row.outcome.toUtf8();
                const QByteArray message = row.message.toUtf8();
                const QByteArray cause = row.cause.toUtf8();
                HistoryStore::AttemptView view;
                view.unit = unit;
                view.finished = finished;
                view.station = station;
                view.lane = lane;
                view.image = image;
                view.imageSha256 = sha;
                view.outcome = outcome;
                view.ok = row.ok;
                if (texts == HistoryStore::AttemptView::Texts::Read) {
                    view.message = message;
                    view.cause = cause;
                }
                attempt(view);
            },
            error);
    };
}
