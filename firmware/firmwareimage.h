#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <vector>

// A snapshot of a firmware file: every line read and prepared, held in one
// block so that a large image costs little more than its file.
class FirmwareImage
{
public:
    enum class LoadError { None, CannotOpen, CannotRead };

    // Reads and prepares every line of the file. The image is empty on error.
    static FirmwareImage load(const QString &fileName, LoadError *error = nullptr);
    static FirmwareImage fromLines(const QList<QByteArray> &rawLines);

    qsizetype lineCount() const { return qsizetype(m_ends.size()); }
    bool isEmpty() const { return m_ends.empty(); }
    // The prepared line i (0-based), without the suffix.
    QByteArrayView line(qsizetype i) const;
    // Bytes of all prepared lines, without suffixes.
    qsizetype byteCount() const { return m_data.size(); }

    void append(QByteArrayView preparedLine);

private:
    QByteArray m_data;
    std::vector<qsizetype> m_ends;  // end offset of each line in m_data
};
