#include "core/firmware/firmwareline.h"

#include <algorithm>

namespace {

constexpr char kSpace = ' ';
constexpr char kAddressMark = '@';
// A data line of n bytes is 3n - 1 long; (3n - 1 - 5) is a multiple of 6
// exactly when n is even, which is what the instrument needs: whole words.
constexpr qsizetype kWordLineOffset = 5;
constexpr qsizetype kWordLineStride = 6;
// The address lines the instrument takes carry "@" and five digits.
constexpr qsizetype kAddressLineLength = 6;
constexpr char kLeadingZero = '0';

} // namespace

QByteArray trimSpaces(QByteArrayView line)
{
    return spacesTrimmed(line).toByteArray();
}

QByteArrayView spacesTrimmed(QByteArrayView line)
{
    qsizetype begin = 0;
    qsizetype end = line.size();
    while (begin < end && line[begin] == kSpace)
        ++begin;
    while (end > begin && line[end - 1] == kSpace)
        --end;
    return line.sliced(begin, end - begin);
}

QByteArray PrepareLine(QByteArrayView line)
{
    QByteArray s = trimSpaces(line);
    if (s.contains(kAddressMark)) {
        // A six-byte line is taken as a full address already: this rule
        // looks at the length alone, not at where the '@' is nor at the digits.
        if (s.size() == kAddressLineLength)
            return s;
        // A longer address of leading zeros and five digits ("@010000", as
        // TI-TXT writers put 10000) keeps the five: the instrument reads no
        // more. Any other digit there puts it past the instrument's last
        // address, and the check refuses it; it is then left as it was.
        if (s.size() > kAddressLineLength && s.front() == kAddressMark) {
            const QByteArrayView surplus = QByteArrayView(s).sliced(1, s.size() - kAddressLineLength);
            if (std::all_of(surplus.begin(), surplus.end(), [](char c) { return c == kLeadingZero; }))
                return kAddressMark + s.right(kAddressLineLength - 1);
        }
        s.replace(0, 1, QByteArrayView("@0"));
        return s;
    }
    // Lengths 2 to 4 give a negative remainder, not zero either, so a lone
    // byte ("31") gains its pad byte like any other odd data line.
    if (s.size() >= 2 && (s.size() - kWordLineOffset) % kWordLineStride != 0)
        s.append(QByteArrayView(" FF"));
    return s;
}

bool isEndLine(QByteArrayView preparedLine)
{
    return preparedLine == QByteArrayView("q") || preparedLine == QByteArrayView("Q");
}
