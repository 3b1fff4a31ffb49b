#pragma once

#include "core/firmware/imagecheck.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <atomic>

class QIODevice;
class RecordReader;

// A snapshot of a firmware file: the lines an update sends (up to and
// including the end line), checked and prepared, held in one block that
// costs about what the file does whatever it holds, and what an update of
// it would send. Copies share the block, so one image read once serves any
// number of instruments. The file is text, Intel HEX or Motorola S-record,
// told by its content; a record file is sent as the instrument's lines made
// of its bytes, which are prepared and checked as a text file's are.
class FirmwareImage
{
public:
    // The longest line any format takes, with room for spaces around it: an
    // Intel HEX record of 255 data bytes is 521 characters. Only this much of
    // a line is ever kept, and a longer one is refused; a text line is held
    // to its own, shorter limit.
    static constexpr qsizetype kMaxLineKept = 1024;

    // Opens the file without trusting it, reads and checks every line, and
    // keeps the prepared lines up to the end line. The image is empty when
    // the file is refused; `problem` says why. Reading stops early, with an
    // empty image, once `cancelled` is set.
    static FirmwareImage load(const QString &fileName, ImageProblem *problem = nullptr,
                              const std::atomic_bool *cancelled = nullptr);
    // The same from a device opened already, of about `size` bytes, read up
    // to FirmwareFile::kMaxSize.
    static FirmwareImage read(QIODevice *device, qint64 size, ImageProblem *problem = nullptr,
                              const std::atomic_bool *cancelled = nullptr);
    // Prepared lines up to and including the first end line, unchecked.
    static FirmwareImage fromLines(const QList<QByteArray> &rawLines);

    // The lines an update sends.
    qsizetype lineCount() const { return m_lineCount; }
    bool isEmpty() const { return m_lineCount == 0; }
    // The prepared line i (0-based), without the line feed; empty past the last.
    QByteArray line(qsizetype i) const;
    // Bytes of all prepared lines, without their line feeds.
    qsizetype byteCount() const { return m_byteCount; }
    // Filled by load().
    const ImageSummary &summary() const { return m_summary; }
    // Writes the lines as sent, each followed by a line feed: a text image
    // that updates an instrument as this one does. False on a write error.
    bool writeText(QIODevice *device) const;

private:
    bool addTextLine(ImageCheck &check, QByteArrayView raw, qint64 length);
    bool addRecordLines(RecordReader &records, ImageCheck &check, ImageProblem *problem,
                        const std::atomic_bool *cancelled);
    QByteArray sentSha256() const;
    void append(QByteArrayView preparedLine);
    qsizetype lineEnd(qsizetype begin) const;

    // The prepared lines, each followed by an LF, a closing " FF" kept as a
    // CR before it.
    QByteArray m_data;
    // Where every kMarkStride-th line begins in m_data.
    QList<qsizetype> m_marks;
    qsizetype m_lineCount = 0;
    qsizetype m_byteCount = 0;
    // The line after the last one looked up, and where it begins: an update
    // asks for its lines in order, and each is then found at once.
    mutable qsizetype m_cursorLine = 0;
    mutable qsizetype m_cursorBegin = 0;
    ImageSummary m_summary;
};
