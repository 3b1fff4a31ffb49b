#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <array>

// The lines the instrument takes, stated once for the whole tool: the check
// before the erase refuses every line that does not fit, and what the
// instrument stores of the lines that do (--check's ranges and bytes) is
// read from them here. The simulated instrument keeps its own reading of the
// same rules (sim/memoryimage.cpp); a fuzz target holds the two together.
//
// A line, without the spaces (code 32) around it, which PrepareLine removes:
// - empty: goes out as the line feed alone;
// - the end line, "q" or "Q";
// - an address line: "@" and four or five hexadecimal digits, nothing else
//   ("@F000", "@1F000"), or more digits whose value still fits the
//   instrument's five, the rest leading zeros ("@010000", as TI-TXT writers
//   put an address of 10000 and above, with an even count of digits).
//   Preparation makes each of them "@" and the five digits the instrument
//   reads: four gain their leading 0, surplus leading zeros are dropped;
// - a data line: bytes of two hexadecimal digits each, separated by single
//   spaces ("31 40 00 24"), at most kMaxDataBytes of them as the line goes
//   out, after an odd line has gained its pad byte.
// Digits of either case. A tab is no blank to the instrument: it takes
// spaces only, so a tab in or around an address or data line is refused.
namespace LineGrammar {

// The instrument's line buffer holds 32 data bytes; TI-TXT writers put 16 or
// 32 bytes on a line.
constexpr qsizetype kMaxDataBytes = 32;
// The instrument's addresses have five hexadecimal digits, 00000 to FFFFF:
// data may run up to the last of them and no further.
constexpr quint32 kAddressSpace = 0x100000;
// A line as it stands in the file, spaces around it included. The longest
// line the instrument takes is 95 characters (32 bytes); the rest is room
// for an editor's indentation and trailing blanks. A longer line is refused,
// and only this much of it is ever kept.
constexpr qsizetype kMaxLineLength = 256;

// The value of each byte as a hexadecimal digit of either case, -1 for any
// other byte: one look-up a byte, as every byte of an image is read twice.
// The readers of record files take their digits by the same table.
inline constexpr std::array<qint8, 256> kHexValues = [] {
    std::array<qint8, 256> values{};
    values.fill(-1);
    for (int i = 0; i < 10; ++i)
        values['0' + i] = qint8(i);
    for (int i = 0; i < 6; ++i) {
        values['A' + i] = qint8(10 + i);
        values['a' + i] = qint8(10 + i);
    }
    return values;
}();

inline int hexValue(char c)
{
    return kHexValues[static_cast<unsigned char>(c)];
}

enum class Kind { Empty, End, Address, Data, Refused };

// Where a line stands: as the file has it, or prepared, as it goes out and
// the instrument reads it, an address with exactly five digits.
enum class Form { InFile, Prepared };

// Why a line is refused.
enum class Fault {
    None,
    NotALine, // no address, data, end or empty line: prose, a letter that is no digit
    Tab, // a tab in or around an address or data line
    BadAddress, // an '@' without four or more hexadecimal digits after it, or with anything else
    AddressPastLast, // an address of more than five digits whose value is past FFFFF
    ByteNotTwoDigits, // a run of digits in a data line of other than two
    TwoBlanks, // two blanks in a row in a data line
    TooManyBytes, // more than kMaxDataBytes bytes on a data line
};

struct Line
{
    Kind kind = Kind::Empty;
    Fault fault = Fault::None; // Refused: why
    qsizetype position = 0; // Refused: 0-based index of the fault in the line given
    quint32 address = 0; // Address: its value
    qsizetype byteCount = 0; // Data: the bytes on the line as given
};

// Reads one line in the given form. A line that fits as it stands in the
// file fits once prepared, and its prepared form is what the instrument
// stores: its address, or its bytes with the pad byte of an odd line.
// `bytes`, when given, receives a data line's byte values.
Line parse(QByteArrayView line, Form form, QByteArray *bytes = nullptr);

} // namespace LineGrammar
