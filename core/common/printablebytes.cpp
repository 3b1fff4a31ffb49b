#include "core/common/printablebytes.h"

#include <QList>

#include <algorithm>

QByteArray printableBytes(QByteArrayView bytes)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u == '\\') {
            out += "\\\\";
        } else if (u >= 0x20 && u < 0x7F) {
            out += c;
        } else {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 0x0F];
        }
    }
    return out;
}

namespace {

QString cutNote(qint64 size, qsizetype limit)
{
    return size > limit ? QStringLiteral("... (%1 bytes)").arg(size) : QString();
}

} // namespace

QString shownBytes(QByteArrayView bytes, qsizetype limit)
{
    return QString::fromLatin1(printableBytes(bytes.first(std::min(limit, bytes.size()))))
        + cutNote(bytes.size(), limit);
}

QString quotedBytes(QByteArrayView bytes, qsizetype limit)
{
    return quotedStart(bytes, bytes.size(), limit);
}

QString quotedStart(QByteArrayView start, qint64 size, qsizetype limit)
{
    return u'"' + QString::fromLatin1(printableBytes(start.first(std::min(limit, start.size())))) + u'"'
        + cutNote(std::max<qint64>(size, start.size()), limit);
}

QString printableText(const QString &text)
{
    const auto unsafe = [](char32_t c) {
        return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
    };
    QString out;
    out.reserve(text.size());
    for (const uint u : text.toUcs4()) {
        const char32_t c = u;
        if (!unsafe(c))
            out += QString::fromUcs4(&c, 1);
        else if (c <= 0xFF)
            out += QStringLiteral("\\x") + QString::number(uint(c), 16).toUpper().rightJustified(2, u'0');
        else
            out += QStringLiteral("\\u{") + QString::number(uint(c), 16).toUpper() + u'}';
    }
    return out;
}

QString quotedText(const QString &text, qsizetype limit)
{
    QString shown = u'"' + printableText(text.left(limit)) + u'"';
    if (text.size() > limit)
        shown += QStringLiteral("... (%1 characters)").arg(text.size());
    return shown;
}
