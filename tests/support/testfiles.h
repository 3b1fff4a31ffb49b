#pragma once

// Files the tests write and read back: firmware images in a temporary
// directory, and the JSON Lines record files the programs leave.
#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace TestFiles {

// One Intel HEX record of `data`, written apart from the reader under test:
// the sum of its bytes and its checksum is 0. Without a line ending.
inline QByteArray intelHexRecord(quint8 type, quint16 offset, const QByteArray &data)
{
    QByteArray bytes;
    bytes += char(data.size());
    bytes += char(offset >> 8);
    bytes += char(offset & 0xFF);
    bytes += char(type);
    bytes += data;
    quint8 sum = 0;
    for (const char b : std::as_const(bytes))
        sum = quint8(sum + quint8(b));
    bytes += char(quint8(-sum));
    return ':' + bytes.toHex().toUpper();
}

// Writes the whole of `data` to `path`; false if any of it is missing.
inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

// Each non-empty line of a record file as an object (an empty object for a
// line that is none), in file order; nothing when the file cannot be read.
inline QList<QJsonObject> recordLines(const QString &path)
{
    QList<QJsonObject> records;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return records;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            records += QJsonDocument::fromJson(line).object();
    }
    return records;
}

} // namespace TestFiles
