#include "core/firmware/filechoice.h"

#include "core/firmware/firmwarefile.h"
#include "core/firmware/linereader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FileChoice::Outcome FileChoice::take(const QString &dialogFullName)
{
    if (!dialogFullName.isEmpty()) {
        // Shown to the user as it stands, so in the platform's own form
        // (C:\fw\main.txt on Windows, where the dialog answers C:/fw/main.txt).
        m_fullName = QDir::toNativeSeparators(dialogFullName);
    } else if (m_fullName.isEmpty()) {
        return Outcome::NoFile;
    }
    // A cancelled dialog still holds the earlier name, and the file is read
    // again: it may have changed since.
    m_namePart = QFileInfo(m_fullName).fileName();
    m_directory = m_fullName.left(m_fullName.size() - m_namePart.size());
    m_lineCount = 0;

    // A pipe, a device or a huge file is unreadable here: the window must
    // never wait on an open() or read without end.
    QFile file;
    if (FirmwareFile::open(m_fullName, file).problem != FirmwareFile::Problem::None)
        return Outcome::Unreadable;
    qint64 count = 0;
    if (!LineReader::countLines(&file, count, FirmwareFile::kMaxSize))
        return Outcome::Unreadable;
    m_lineCount = count;
    return Outcome::Chosen;
}
