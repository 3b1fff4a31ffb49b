#pragma once

#include "firmware/imagecheck.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <atomic>

// A snapshot of a firmware file: every line read and prepared, held in one
// block so that a large image costs little more than its file, and what an
// update of it would send. Copies share the block, so one image read once
// serves any number of instruments.
class FirmwareImage
{
public:
    // Opens the file without trusting it, reads, checks and prepares every
    // line. The image is empty when the file is refused; `problem` says why.
    // Reading stops early, with an empty image, once `cancelled` is set.
    static FirmwareImage load(const QString &fileName, ImageProblem *problem = nullptr,
                              const std::atomic_bool *cancelled = nullptr);
    // Prepared lines as they stand, unchecked.
    static FirmwareImage fromLines(const QList<QByteArray> &rawLines);

    qsizetype lineCount() const { return m_ends.size(); }
    bool isEmpty() const { return m_ends.isEmpty(); }
    // The prepared line i (0-based), without the suffix.
    QByteArrayView line(qsizetype i) const;
    // Bytes of all prepared lines, without suffixes.
    qsizetype byteCount() const { return m_data.size(); }
    // Filled by load().
    const ImageSummary &summary() const { return m_summary; }

    void append(QByteArrayView preparedLine);

private:
    QByteArray m_data;
    QList<qsizetype> m_ends;  // end offset of each line in m_data
    ImageSummary m_summary;
};
