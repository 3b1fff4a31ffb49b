#include "firmware/firmwareimage.h"

#include "firmware/firmwarefile.h"
#include "firmware/firmwareline.h"
#include "firmware/linegrammar.h"
#include "firmware/linereader.h"

#include <QCryptographicHash>
#include <QFile>

FirmwareImage FirmwareImage::load(const QString &fileName, ImageProblem *problem)
{
    const auto refuse = [problem](const ImageProblem &why) {
        if (problem)
            *problem = why;
        return FirmwareImage();
    };
    QFile file;
    const FirmwareFile::Opened opened = FirmwareFile::open(fileName, file);
    ImageProblem why;
    switch (opened.problem) {
    case FirmwareFile::Problem::None:
        break;
    case FirmwareFile::Problem::Missing:
        why.kind = ImageProblem::Kind::Missing;
        return refuse(why);
    case FirmwareFile::Problem::NotRegular:
        why.kind = ImageProblem::Kind::NotRegular;
        why.detail = opened.kind;
        return refuse(why);
    case FirmwareFile::Problem::TooLarge:
        why.kind = ImageProblem::Kind::TooLarge;
        why.size = opened.size;
        return refuse(why);
    case FirmwareFile::Problem::CannotOpen:
        why.kind = ImageProblem::Kind::CannotOpen;
        why.detail = opened.error;
        return refuse(why);
    }

    FirmwareImage image;
    // Preparing moves a line's length by a few bytes at most, so the file's
    // size is a close guess for the block.
    image.m_data.reserve(qsizetype(opened.size));
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    LineReader reader(&file);
    reader.setByteLimit(FirmwareFile::kMaxSize);
    reader.setLineLimit(LineGrammar::kMaxLineLength);
    reader.setHash(&sha256);
    ImageCheck check;
    QByteArray raw;
    while (reader.readLine(raw)) {
        const QByteArray prepared = PrepareLine(raw);
        if (!check.addLine(raw, prepared, reader.lineLength()))
            return refuse(check.problem());
        image.append(prepared);
    }
    if (reader.exceededLimit()) {
        why.kind = ImageProblem::Kind::TooLarge;
        why.size = reader.bytesRead();
        return refuse(why);
    }
    if (reader.hasError()) {
        why.kind = ImageProblem::Kind::CannotRead;
        return refuse(why);
    }
    check.finish();
    if (check.problem().refused())
        return refuse(check.problem());
    image.m_summary = check.summary();
    image.m_summary.sha256 = sha256.result().toHex();
    if (problem)
        *problem = {};
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
    const qsizetype begin = i == 0 ? 0 : m_ends.at(i - 1);
    return QByteArrayView(m_data.constData() + begin, m_ends.at(i) - begin);
}

void FirmwareImage::append(QByteArrayView preparedLine)
{
    m_data.append(preparedLine);
    m_ends.append(m_data.size());
}
