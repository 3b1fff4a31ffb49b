#include "firmware/firmwareimage.h"

#include "firmware/firmwareline.h"
#include "firmware/linereader.h"

#include <QFile>

FirmwareImage FirmwareImage::load(const QString &fileName, LoadError *error)
{
    const auto report = [error](LoadError e) {
        if (error)
            *error = e;
    };
    QFile file(fileName);
    // Not QIODevice::Text: that would drop every CR, and the line endings,
    // like the bytes, are ours to read.
    if (!file.open(QIODevice::ReadOnly)) {
        report(LoadError::CannotOpen);
        return {};
    }
    FirmwareImage image;
    // Preparing moves a line's length by a few bytes at most, so the file's
    // size is a close guess for the block; devices without a size report 0.
    if (const qint64 size = file.size(); size > 0)
        image.m_data.reserve(qsizetype(size));
    LineReader reader(&file);
    QByteArray raw;
    while (reader.readLine(raw))
        image.append(PrepareLine(raw));
    if (reader.hasError()) {
        report(LoadError::CannotRead);
        return {};
    }
    report(LoadError::None);
    return image;
}

FirmwareImage FirmwareImage::fromLines(const QList<QByteArray> &rawLines)
{
    FirmwareImage image;
    for (const QByteArray &raw : rawLines)
        image.append(PrepareLine(raw));
    return image;
}

QByteArrayView FirmwareImage::line(qsizetype i) const
{
    if (i < 0 || i >= lineCount())
        return {};
    const qsizetype begin = i == 0 ? 0 : m_ends[size_t(i - 1)];
    return QByteArrayView(m_data.constData() + begin, m_ends[size_t(i)] - begin);
}

void FirmwareImage::append(QByteArrayView preparedLine)
{
    m_data.append(preparedLine);
    m_ends.push_back(m_data.size());
}
