#pragma once

#include <QByteArray>
#include <QByteArrayView>

// Bringing a firmware line into the shape the instrument takes: five-digit
// addresses and data lines of whole 16-bit words. Pure byte processing.

// Removes leading and trailing spaces (code 32 only; tabs and others stay).
QByteArray trimSpaces(QByteArrayView line);
// The same without a copy: the part of `line` between its outer spaces.
QByteArrayView spacesTrimmed(QByteArrayView line);

// The prepared line, trimmed:
// - a line with '@' anywhere is an address line: kept when exactly 6 bytes
//   long; when longer, starting with '@' and with nothing but '0' before
//   its last five bytes, those five after the '@' (@010000 -> @10000,
//   @0000F000 -> @0F000); otherwise its first byte is replaced by "@0"
//   (@F000 -> @0F000);
// - otherwise a line of at least 2 bytes whose length minus 5 is not a
//   multiple of 6 (a data line with an odd number of bytes) gains " FF";
// - anything else (empty, one byte, the end line) is kept.
QByteArray PrepareLine(QByteArrayView line);

// The end line: a prepared line that is exactly "q" or "Q".
bool isEndLine(QByteArrayView preparedLine);
