#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// How bytes and texts from outside (the instrument's replies, firmware
// lines, port texts) are shown to a person or put into JSON.

// Printable ASCII stays as it is, a backslash becomes "\\" and every other
// byte "\xHH", so a reply of control characters or stray high bytes can
// neither upset a terminal nor make the JSON invalid, and can still be read
// back.
QByteArray printableBytes(QByteArrayView bytes);

// A firmware line or a reply may be thousands of bytes, a port text
// thousands of characters; the start is enough to tell which one it is.
constexpr qsizetype kShownLength = 40;

// The bytes printable, cut to their first `limit` bytes with their full size
// when longer: AF 87 A7 ...... (60000 bytes).
QString shownBytes(QByteArrayView bytes, qsizetype limit = kShownLength);
// The same in quotes, cut to their first kShownLength bytes
// with their full size when longer: "AF 87 A7 ..."... (60000 bytes).
QString quotedBytes(QByteArrayView bytes, qsizetype limit = kShownLength);
// The same for bytes of which only the start was kept, `size` bytes in all
// (a line longer than any line kept): "31 40 00 24 ..."... (90000 bytes).
QString quotedStart(QByteArrayView start, qint64 size, qsizetype limit = kShownLength);
// A text from outside (a file name, a port text) as it may be shown on a
// terminal or in a window: control characters and the marks that turn the
// direction of text become \xHH or \u{HHHH}, so a name cannot move the
// cursor, retitle the terminal or hide its end. Nothing else changes, so a
// Windows path keeps its backslashes.
QString printableText(const QString &text);
// The same in quotes, cut to its first `limit` characters with its full
// size when longer: "COM 3     "... (32768 characters).
QString quotedText(const QString &text, qsizetype limit = kShownLength);
