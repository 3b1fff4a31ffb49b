#pragma once

#include <QString>

#include <algorithm>

// The SHA-256 an operator gives for the released image, in the forms it
// comes in: the hash alone, in either case, or sha256sum's line with the
// file name after it.
namespace Sha256Text {

constexpr qsizetype kDigits = 64;

inline QString hashOf(const QString &text)
{
    return text.trimmed().section(u' ', 0, 0).toLower();
}

inline bool isHash(const QString &hash)
{
    return hash.size() == kDigits && std::all_of(hash.begin(), hash.end(), [](QChar c) {
               return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
           });
}

} // namespace Sha256Text
