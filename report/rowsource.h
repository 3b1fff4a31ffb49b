#pragma once

#include "history/historyrow.h"
#include "history/historystore.h"

#include <QString>

#include <functional>

// Where a report's rows come from, whatever holds them: the station's own
// history or a central one. Calls `row` for each row the filter selects,
// oldest first (by finished time, then in the order they were kept); false
// with *error set, naming the history, when they cannot be read. The
// reports count on that order: a unit's first attempt comes first.
using RowSource = std::function<bool(const HistoryStore::Filter &filter,
                                     const std::function<void(const HistoryRow &)> &row, QString *error)>;

// The same rows as the columns the tallies read (summary, causes), for a
// source that can give them faster than whole rows. The views are valid
// only during the call.
using AttemptSource
    = std::function<bool(const HistoryStore::Filter &filter, HistoryStore::AttemptView::Texts texts,
                         const std::function<void(const HistoryStore::AttemptView &)> &attempt, QString *error)>;

// The rows of a store the caller has opened and keeps open while the source is used.
RowSource storeRowSource(HistoryStore &store);
// The same store's scan, read without Qt SQL.
AttemptSource storeAttemptSource(HistoryStore &store);
// The tallies' columns of any row source's rows.
AttemptSource attemptsOf(RowSource rows);
