#pragma once

#include <QMetaEnum>
#include <QString>

// The name of an enum value as scripts read it: WriteRefused becomes
// "write-refused", NoSuchPort "no-such-port". Taken from the enum itself, so
// a new value needs no new text.
template<typename Enum> QString enumName(Enum value)
{
    const char *key = QMetaEnum::fromType<Enum>().valueToKey(int(value));
    QString name;
    for (const char *c = key; c && *c; ++c) {
        const QChar ch = QLatin1Char(*c);
        if (ch.isUpper() && c != key)
            name += u'-';
        name += ch.toLower();
    }
    return name;
}
