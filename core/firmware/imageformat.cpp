#include "core/firmware/imageformat.h"

#include "core/firmware/firmwareline.h"

namespace ImageFormat {

namespace {

constexpr char kIntelHexMark = ':';
constexpr char kSRecordMark = 'S';

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

bool isBlank(QByteArrayView line)
{
    return spacesTrimmed(line).isEmpty();
}

Kind detect(QByteArrayView firstLine)
{
    const QByteArrayView text = spacesTrimmed(firstLine);
    if (text.startsWith(kIntelHexMark))
        return Kind::IntelHex;
    // No text image line begins so: 'S' is no hexadecimal digit, and prose
    // ("Some notes") has no digit after it.
    if (text.size() >= 2 && text.front() == kSRecordMark && isDigit(text.at(1)))
        return Kind::SRecord;
    return Kind::Text;
}

QString displayName(Kind kind)
{
    switch (kind) {
    case Kind::Text:
        return QObject::tr("text");
    case Kind::IntelHex:
        return QObject::tr("Intel HEX");
    case Kind::SRecord:
        return QObject::tr("Motorola S-record");
    }
    return {};
}

} // namespace ImageFormat
