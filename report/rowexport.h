#pragma once

#include "history/historyrow.h"

#include <QByteArray>
#include <QStringList>

// Every attempt as data for other programs: CSV (RFC 4180) and JSON lines.
// Both carry the columns under the history's own names. The CSV leaves out
// the whole record (a JSON text in a cell helps no spreadsheet; the JSON
// lines carry it as an object).
//
// A CSV is exact by default, for programs. The spreadsheet flavour
// (`excel`) is for opening by hand: a spreadsheet runs a cell that begins
// with = + - @ (or a tab or carriage return) as a formula, and a serial or a
// port text is typed by people, so such a cell gets a leading apostrophe,
// which the spreadsheet shows as text and hides; the file then starts with
// the UTF-8 byte order mark by which spreadsheets tell UTF-8.
namespace RowExport {

// The UTF-8 byte order mark.
inline constexpr char kBom[] = "\xEF\xBB\xBF";

QStringList columns();
// The header line, CRLF-ended as every CSV line.
QByteArray csvHeader();
QByteArray csvLine(const HistoryRow &row, bool excel);
// One field, quoted when it must be: a comma, a double quote, CR or LF.
QByteArray csvField(const QString &text, bool excel);
// One compact JSON object and "\n": the columns, and "record" as an object
// (as its text when it is not one).
QByteArray jsonLine(const HistoryRow &row);

} // namespace RowExport
