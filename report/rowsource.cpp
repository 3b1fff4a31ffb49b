#include "report/rowsource.h"

#include <QByteArray>

#include <array>

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
                // The row's fields as UTF-8, in the order of AttemptView::columns().
                const bool read = texts == HistoryStore::AttemptView::Texts::Read;
                const std::array<QByteArray, 10> columns{row.unit().toUtf8(),
                                                         row.finished.toUtf8(),
                                                         row.station.toUtf8(),
                                                         row.lane.toUtf8(),
                                                         row.image.toUtf8(),
                                                         row.imageSha256.toUtf8(),
                                                         row.outcome.toUtf8(),
                                                         QByteArray(), // ok, given as it is
                                                         read ? row.message.toUtf8() : QByteArray(),
                                                         read ? row.cause.toUtf8() : QByteArray()};
                attempt(
                    HistoryStore::AttemptView::of([&columns](int i) { return QByteArrayView(columns.at(size_t(i))); },
                                                  row.ok, texts));
            },
            error);
    };
}
