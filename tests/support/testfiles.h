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

// One S-record of type `type` (S0 to S9) of `data`: its checksum is the
// ones' complement of the sum of the bytes after the type. Without a line
// ending.
inline QByteArray sRecordOf(int type, quint32 address, const QByteArray &data)
{
    // S0, S1, S5, S9: 2 bytes; S2, S6, S8: 3; S3, S7: 4.
    const int addressBytes = QList<int>{2, 2, 3, 4, 0, 2, 3, 4, 3, 2}.at(type);
    QByteArray bytes;
    bytes += char(addressBytes + data.size() + 1);
    for (int i = addressBytes - 1; i >= 0; --i)
        bytes += char((address >> (8 * i)) & 0xFF);
    bytes += data;
    quint8 sum = 0;
    for (const char b : std::as_const(bytes))
        sum = quint8(sum + quint8(b));
    bytes += char(quint8(~sum));
    return 'S' + QByteArray::number(type) + bytes.toHex().toUpper();
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
