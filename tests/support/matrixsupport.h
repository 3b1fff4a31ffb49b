// What the fault matrices and the soak need to judge a run: the lines the
// instrument must receive of a file, worked out apart from the product's line
// reader, and the descriptors the test process holds.
#pragma once

#include "core/firmware/firmwareline.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QDir>
#include <QFile>
#include <QStringList>

namespace MatrixSupport {

// A firmware file of count lines: an address line, then 16-byte data lines,
// the address given again every 4096 lines so that the data stays within
// the instrument's memory however many lines there are.
inline QByteArray lines(int count, const QByteArray &ending = "\n")
{
    QByteArray data;
    for (int i = 0; i < count; ++i)
        data += (i % 4096 == 0 ? QByteArray("@F000") : "31 40 00 24 B2 40 80 5A 20 01 41 42 43 44 45 46") + ending;
    return data;
}

// The reading rule, restated plainly: CR, CR LF or LF end a line.
inline QByteArrayList splitLines(const QByteArray &data)
{
    QByteArrayList out;
    QByteArray current;
    bool any = false;
    for (qsizetype i = 0; i < data.size(); ++i) {
        const char c = data.at(i);
        if (c == '\r' || c == '\n') {
            out << current;
            current.clear();
            any = false;
            if (c == '\r' && i + 1 < data.size() && data.at(i + 1) == '\n')
                ++i;
        } else {
            current += c;
            any = true;
        }
    }
    if (any)
        out << current;
    return out;
}

// What the instrument must receive of a file: its lines prepared, up to and
// including the end line.
inline QByteArrayList sentLines(const QByteArray &file)
{
    QByteArrayList out;
    for (const QByteArray &raw : splitLines(file)) {
        out << PrepareLine(raw);
        if (isEndLine(out.last()))
            break;
    }
    return out;
}

// Each open descriptor of this process with what it refers to; files,
// devices and pipes, not the wake-up descriptor each of Qt's threads keeps
// (the image is read on a pooled thread that lives on for a while).
inline QStringList openDescriptors()
{
    QStringList targets;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        if (!target.endsWith(QStringLiteral("anon_inode:[eventfd]")))
            targets << fd + QStringLiteral(" -> ") + target;
    }
    return targets;
}

} // namespace MatrixSupport
