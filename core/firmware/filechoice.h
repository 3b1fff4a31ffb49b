#pragma once

#include <QString>

// What "Load firmware file" makes of the dialog's answer: the chosen full
// name (the one record of which file is chosen), its name part, its directory
// with the trailing separator, and the line count. Kept apart from the dialog
// so that it can be exercised without a person at the screen.
class FileChoice
{
public:
    enum class Outcome {
        Chosen, // name, directory and count set, the upload button may be enabled
        NoFile, // nothing chosen ever: "No open file" / "Open file error"
        Unreadable, // name and directory set, count left at 0, silently
    };

    // Takes the dialog's full name; an empty one (cancelled dialog) keeps
    // the earlier choice and reads it again.
    Outcome take(const QString &dialogFullName);

    const QString &fullName() const { return m_fullName; }
    const QString &namePart() const { return m_namePart; }
    const QString &directory() const { return m_directory; }
    qint64 lineCount() const { return m_lineCount; }

private:
    QString m_fullName;
    QString m_namePart;
    QString m_directory;
    qint64 m_lineCount = 0;
};
