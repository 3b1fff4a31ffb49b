#pragma once

// srecord's srec_cat as the tests' independent writer and reader of image
// formats: the files real writers make, and which byte each of them puts
// where, read by a program that shares no code with the tool. CI installs it
// (packages.txt), so a missing srec_cat fails the tests that need it.
#include "sim/memoryimage.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <map>

namespace SRecordReading {

// srec_cat reads and writes a few small files: anything longer is a hang.
constexpr int kSrecCatTimeoutMs = 20000;

using Bytes = std::map<quint32, quint8>;

inline QString srecCatPath()
{
    return QStandardPaths::findExecutable(QStringLiteral("srec_cat"));
}

// srec_cat's standard output for `arguments`; `error` says why there is none.
inline QByteArray srecCat(const QStringList &arguments, QString *error)
{
    const QString program = srecCatPath();
    if (program.isEmpty()) {
        *error = QStringLiteral("srec_cat not found: install srecord (packages.txt), the independent reader of "
                                "image formats");
        return {};
    }
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(kSrecCatTimeoutMs) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        *error = QStringLiteral("srec_cat %1 failed: %2")
                     .arg(arguments.join(u' '), QString::fromLocal8Bit(process.readAllStandardError()));
        return {};
    }
    error->clear();
    return process.readAllStandardOutput();
}

// srec_cat's reading of `file` in `format` ("-Intel", "-Motorola",
// "-Texas_Instruments_TeXT"): written out as TI-TXT, the plainest of them,
// "@" and an address of any length, then bytes from there on.
inline Bytes srecCatReading(const QString &file, const QString &format, QString *error)
{
    const QByteArray text
        = srecCat({file, format, QStringLiteral("-o"), QStringLiteral("-"), QStringLiteral("-Texas_Instruments_TeXT")},
                  error);
    Bytes bytes;
    quint32 address = 0;
    for (const QByteArray &line : text.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.startsWith('@')) {
            address = trimmed.mid(1).toUInt(nullptr, 16);
            continue;
        }
        if (trimmed.isEmpty() || trimmed == "q")
            continue;
        for (const QByteArray &byte : trimmed.split(' '))
            bytes[address++] = quint8(byte.toUInt(nullptr, 16));
    }
    return bytes;
}

// What the simulated instrument stores.
inline Bytes storedBytes(const MemoryImage &instrument)
{
    Bytes bytes;
    for (const MemoryImage::Range &range : instrument.ranges()) {
        for (quint32 at = range.start; at < range.start + range.length; ++at)
            bytes[at] = *instrument.byteAt(at);
    }
    return bytes;
}

// One line a contiguous run, "0FFF0: 01 02 03": a readable difference when two readings part.
inline QByteArray dump(const Bytes &bytes)
{
    QByteArray text;
    qint64 next = -1;
    for (const auto &[address, value] : bytes) {
        if (qint64(address) != next)
            text += (text.isEmpty() ? "" : "\n") + QByteArray::number(address, 16).toUpper().rightJustified(5, '0')
                + ':';
        text += ' ' + QByteArray::number(value, 16).toUpper().rightJustified(2, '0');
        next = qint64(address) + 1;
    }
    return text;
}

} // namespace SRecordReading
