#include "core/link/portnumber.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QtGlobal>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

// Lengths and positions in the port text were always 16-bit counters; a text
// longer than this could never be a port.
constexpr qsizetype kMaxPortTextLength = 32767;

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

// Whether a number that a double cannot hold is too large rather than too
// small: by the place of its first significant digit and its exponent.
bool beyondLargest(const std::string &number)
{
    const std::string::size_type e = number.find('e');
    const std::string mantissa = number.substr(0, e);
    const std::string::size_type point = std::min(mantissa.find('.'), mantissa.size());
    const std::string::size_type firstDigit = mantissa.find_first_of("123456789");
    if (firstDigit == std::string::npos)
        return false; // zero, however written
    // The power of ten of the first significant digit, bounded: a text of
    // at most 32,767 characters never comes near these limits.
    long long magnitude = firstDigit < point ? static_cast<long long>(point - firstDigit) - 1
                                             : -static_cast<long long>(firstDigit - point);
    if (e != std::string::npos) {
        long long exponent = 0;
        std::from_chars(number.data() + e + 1 + (number[e + 1] == '+' ? 1 : 0), number.data() + number.size(),
                        exponent);
        magnitude += std::clamp(exponent, -100000LL, 100000LL);
    }
    return magnitude > 0;
}

// Reads the number a text begins with, the way the instrument tools' number
// conversion always has: blanks anywhere are skipped, then an optional sign,
// digits with at most one decimal point, and an optional exponent (E or D).
// Reading stops at the first character that cannot continue the number.
// A number too large for a double is an overflow, as it always was (nullopt);
// one too small reads as 0.
std::optional<double> leadingNumber(const QString &s)
{
    std::string number;
    enum class Stage { Sign, Mantissa, ExponentSign, Exponent } stage = Stage::Sign;
    bool seenPoint = false;
    bool seenDigit = false;
    bool seenExponentDigit = false;
    std::string::size_type beforeExponent = 0;

    for (const QChar c : s) {
        if (isBlank(c))
            continue;
        const char16_t u = c.unicode();
        if (stage == Stage::Sign) {
            stage = Stage::Mantissa;
            if (u == u'+' || u == u'-') {
                number += char(u);
                continue;
            }
        }
        if (stage == Stage::Mantissa) {
            if (u >= u'0' && u <= u'9') {
                number += char(u);
                seenDigit = true;
                continue;
            }
            if (u == u'.' && !seenPoint) {
                number += '.';
                seenPoint = true;
                continue;
            }
            if ((u == u'e' || u == u'E' || u == u'd' || u == u'D') && seenDigit) {
                beforeExponent = number.size();
                number += 'e';
                stage = Stage::ExponentSign;
                continue;
            }
            break;
        }
        if (stage == Stage::ExponentSign) {
            stage = Stage::Exponent;
            if (u == u'+' || u == u'-') {
                number += char(u);
                continue;
            }
        }
        if (stage == Stage::Exponent) {
            if (u >= u'0' && u <= u'9') {
                number += char(u);
                seenExponentDigit = true;
                continue;
            }
            break;
        }
    }
    if (!seenDigit)
        return 0.0;
    if ((stage == Stage::ExponentSign || stage == Stage::Exponent) && !seenExponentDigit)
        number.resize(beforeExponent); // "3E" reads as 3
    // from_chars reads the C format whatever the user's locale: a German
    // desktop must not read "COM 2.5" as 2.
    // It takes no leading '+', which the number may carry.
    const char *first = number.data() + (number.front() == '+' ? 1 : 0);
    double value = 0;
    const auto [end, error] = std::from_chars(first, number.data() + number.size(), value);
    if (error == std::errc::result_out_of_range)
        return beyondLargest(std::string(first, static_cast<const char *>(number.data() + number.size())))
            ? std::nullopt
            : std::optional<double>(0.0);
    if (error != std::errc() || end == first)
        return 0.0;
    if (!std::isfinite(value))
        return std::nullopt;
    return value;
}

} // namespace

std::optional<double> ParsePortNumber(const QString &text)
{
    if (text.size() > kMaxPortTextLength)
        return std::nullopt;
    // Capitals one character at a time, so that positions stay those of the text.
    QString upper = text;
    for (QChar &c : upper)
        c = c.toUpper();
    const qsizetype p = upper.indexOf(u"COM");
    if (p < 0)
        return 0.0;
    QString s = text.mid(p + 3);
    qsizetype first = 0;
    while (first < s.size() && s.at(first) == u' ')
        ++first;
    qsizetype last = s.size();
    while (last > first && s.at(last - 1) == u' ')
        --last;
    return leadingNumber(s.mid(first, last - first));
}

bool isDevicePath(const QString &text)
{
    const QString t = text.trimmed();
#ifdef Q_OS_WIN
    return t.startsWith(u"\\\\.\\") || t.startsWith(u"//./");
#else
    return t.startsWith(u'/') || t.startsWith(u"./") || t.startsWith(u"../");
#endif
}

bool hasComNumber(const QString &text)
{
    return text.contains(u"COM", Qt::CaseInsensitive);
}

QString deviceForPortNumber(double number)
{
    if (!(number >= 1) || number != std::floor(number) || number > std::numeric_limits<int>::max())
        return {};
    const int n = int(number);
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(n);
#else
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
#endif
}

QString suggestedDevice(const QString &portText)
{
#ifdef Q_OS_WIN
    Q_UNUSED(portText);
    return {};
#else
    static const QRegularExpression named(QStringLiteral("^(?:/?dev/)?(tty[A-Za-z]+[0-9]+)$"));
    static const QRegularExpression bare(QStringLiteral("^(USB|ACM|AMA|S)([0-9]+)$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QString text = portText.trimmed();
    // An absolute path is what its writer meant; a missing one is answered
    // "no such port", never with itself as the hint.
    if (text.isEmpty() || text.startsWith(u'/') || isDevicePath(text))
        return {};
    if (QFileInfo::exists(text))
        return QStringLiteral("./") + text;
    // A guess at a device is worth giving only when the device is there.
    QString guess;
    if (const QRegularExpressionMatch device = named.match(text); device.hasMatch())
        guess = QStringLiteral("/dev/") + device.captured(1);
    else if (const QRegularExpressionMatch adapter = bare.match(text); adapter.hasMatch())
        guess = QStringLiteral("/dev/tty") + adapter.captured(1).toUpper() + adapter.captured(2);
    return !guess.isEmpty() && QFileInfo::exists(guess) ? guess : QString();
#endif
}
