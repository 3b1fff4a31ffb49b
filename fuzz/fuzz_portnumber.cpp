// Fuzzes the port text rule: the input is what the user typed into the port
// box, read as UTF-8 and as Latin-1, since the box takes any text.
#include "fuzzcheck.h"
#include "core/link/portnumber.h"

#include <QByteArray>
#include <QHashFunctions>
#include <QString>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace {

// The longest port text taken; longer ones are refused.
constexpr qsizetype kMaxPortTextLength = 32767;

bool isAsciiLetter(QChar c, char16_t upper)
{
    return c == upper || c == char16_t(upper + (u'a' - u'A'));
}

// Where the first "COM" in any mix of case ends, or -1: searched plainly,
// letter by letter.
qsizetype referenceEndOfCom(const QString &text)
{
    for (qsizetype i = 0; i + 3 <= text.size(); ++i) {
        if (isAsciiLetter(text.at(i), u'C') && isAsciiLetter(text.at(i + 1), u'O')
            && isAsciiLetter(text.at(i + 2), u'M'))
            return i + 3;
    }
    return -1;
}

// The number after "COM" when that rest holds nothing but digits and spaces:
// the spaces are skipped ("COM 1 0" is port 10). Empty for any other rest.
std::optional<double> referenceDigitsOnly(const QString &rest)
{
    double value = 0;
    int digits = 0;
    for (const QChar c : rest) {
        if (c == u' ')
            continue;
        if (c < u'0' || c > u'9')
            return std::nullopt;
        // Past 15 digits a double no longer holds every whole number exactly.
        if (++digits > 15)
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value;
}

// Whether the rest after COM could hold a number past the largest double:
// an exponent, or more digits than the largest double has.
bool mayOverflow(const QString &text)
{
    const qsizetype end = referenceEndOfCom(text);
    if (end < 0)
        return false;
    int digits = 0;
    for (const QChar c : text.mid(end)) {
        if (c == u'e' || c == u'E' || c == u'd' || c == u'D')
            return true;
        digits += c >= u'0' && c <= u'9';
    }
    return digits > 308;
}

void checkPortText(const QString &text)
{
    const std::optional<double> port = ParsePortNumber(text);
    if (text.size() > kMaxPortTextLength)
        fuzzCheck(!port.has_value(), "a text longer than 32,767 characters is refused");
    if (!port) {
        fuzzCheck(text.size() > kMaxPortTextLength || mayOverflow(text),
                  "only a text too long or a number past the largest double is refused");
        return;
    }
    fuzzCheck(std::isfinite(*port), "a port number is finite");

    const qsizetype end = referenceEndOfCom(text);
    if (end < 0) {
        fuzzCheck(*port == 0, "a text without COM is port 0");
        return;
    }
    if (const std::optional<double> digits = referenceDigitsOnly(text.mid(end)))
        fuzzCheck(*port == *digits, "the digits after COM, spaces skipped, are the port");

    // Spaces at the end are trimmed off, so padding the text with them up to
    // the longest text taken changes nothing; one more and it is refused.
    // A padded text costs as much as a dozen plain inputs, so only short
    // texts are padded, and of those one in 32, picked by content so that a
    // saved input replays the same way.
    if (text.size() < 16 && qHash(text) % 32 == 0) {
        QString padded = text;
        padded.append(QString(kMaxPortTextLength - text.size(), u' '));
        const std::optional<double> paddedPort = ParsePortNumber(padded);
        fuzzCheck(paddedPort.has_value() && *paddedPort == *port,
                  "trailing spaces up to the longest text change nothing");
        padded.append(u' ');
        fuzzCheck(!ParsePortNumber(padded).has_value(), "one character more is refused");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArrayView data(bytes, qsizetype(size));
    checkPortText(QString::fromUtf8(data));
    checkPortText(QString::fromLatin1(data));
    return 0;
}
