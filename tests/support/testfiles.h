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
