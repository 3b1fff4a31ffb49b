#include "core/firmware/linegrammar.h"

#include "core/firmware/firmwareline.h"

#include <algorithm>

namespace LineGrammar {

namespace {

constexpr char kSpace = ' ';
constexpr char kTab = '\t';
constexpr char kAddressMark = '@';
// "@F000" as most files write it, "@0F000" or "@1F000" as the instrument
// reads it; fewer digits are no address any writer makes.
constexpr qsizetype kShortAddressDigits = 4;
constexpr qsizetype kAddressDigits = 5;
constexpr qsizetype kDigitsPerByte = 2;

// Bytes are counted as the line stands; an odd count gains its pad byte in
// preparation, which an even limit always has room for. So a line within
// the limit as it stands is within it as it goes out.
static_assert(kMaxDataBytes % 2 == 0, "the pad byte of an odd line must fit within the limit");

bool isHexDigit(char c)
{
    return hexValue(c) >= 0;
}

Line refused(Fault fault, qsizetype position)
{
    Line line;
    line.kind = Kind::Refused;
    line.fault = fault;
    line.position = position;
    return line;
}

// `text` has no tab and at least one '@'; `offset` is where it starts in the line.
Line parseAddress(QByteArrayView text, qsizetype offset, Form form)
{
    if (text.front() != kAddressMark)
        return refused(Fault::BadAddress, offset);
    const QByteArrayView digits = text.sliced(1);
    const auto bad = std::find_if_not(digits.begin(), digits.end(), isHexDigit);
    if (bad != digits.end())
        return refused(Fault::BadAddress, offset + 1 + (bad - digits.begin()));
    if (form == Form::Prepared ? digits.size() != kAddressDigits : digits.size() < kShortAddressDigits)
        return refused(Fault::BadAddress, offset);
    // Digits before the last five are leading zeros or the address lies past
    // the instrument's: only the five it reads go out.
    const QByteArrayView surplus = digits.first(std::max<qsizetype>(0, digits.size() - kAddressDigits));
    const auto nonZero = std::find_if(surplus.begin(), surplus.end(), [](char c) { return c != '0'; });
    if (nonZero != surplus.end())
        return refused(Fault::AddressPastLast, offset + 1 + (nonZero - surplus.begin()));
    Line line;
    line.kind = Kind::Address;
    for (const char c : digits.sliced(surplus.size()))
        line.address = (line.address << 4) | quint32(hexValue(c));
    return line;
}

// `text` has no '@', begins and ends with no space; `offset` is where it
// starts in the line. A byte that is neither digit nor space is refused
// here as NotALine, for the caller to tell what it is.
Line parseData(QByteArrayView text, qsizetype offset, QByteArray *bytes)
{
    Line line;
    line.kind = Kind::Data;
    qsizetype at = 0;
    for (;;) {
        if (text[at] == kSpace)
            return refused(Fault::TwoBlanks, offset + at - 1);
        const qsizetype start = at;
        while (at < text.size() && isHexDigit(text[at]))
            ++at;
        if (at - start != kDigitsPerByte)
            return refused(Fault::ByteNotTwoDigits, offset + start);
        if (++line.byteCount > kMaxDataBytes)
            return refused(Fault::TooManyBytes, offset + start);
        if (bytes)
            bytes->append(char(hexValue(text[start]) << 4 | hexValue(text[start + 1])));
        if (at == text.size())
            return line;
        if (text[at] != kSpace)
            return refused(Fault::NotALine, offset + at);
        ++at; // the one space between two bytes
    }
}

} // namespace

Line parse(QByteArrayView line, Form form, QByteArray *bytes)
{
    if (bytes)
        bytes->clear();
    // The spaces around a line are no part of it: PrepareLine removes them.
    const QByteArrayView text = spacesTrimmed(line);
    const qsizetype begin = text.data() - line.data();
    Line result;
    if (text.isEmpty())
        return result;
    if (isEndLine(text)) {
        result.kind = Kind::End;
        return result;
    }
    const qsizetype tab = text.indexOf(kTab);
    // Any '@' makes an address line, as it does for PrepareLine.
    if (text.contains(kAddressMark))
        return tab >= 0 ? refused(Fault::Tab, begin + tab) : parseAddress(text, begin, form);
    const Line data = parseData(text, begin, bytes);
    if (data.kind != Kind::Refused)
        return data;
    // What is wrong, first of all: a byte that belongs in no data line
    // (prose), then a tab, then the data line's own fault.
    const auto other
        = std::find_if(text.begin(), text.end(), [](char c) { return !isHexDigit(c) && c != kSpace && c != kTab; });
    if (other != text.end())
        return refused(Fault::NotALine, begin + (other - text.begin()));
    if (tab >= 0)
        return refused(Fault::Tab, begin + tab);
    return data;
}

} // namespace LineGrammar
