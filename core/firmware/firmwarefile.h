#pragma once

#include <QString>

class QFile;

// Opening a firmware file that nobody has vouched for. Only a regular file
// (links followed) of at most kMaxSize bytes is opened: a device, a named
// pipe, a socket or a directory is turned down by its type before it is
// opened, so that nothing blocks and nothing endless is read.
namespace FirmwareFile {

// Far above any real image: 1 MiB of flash is about 3 MiB of text. Reading
// stops here too, for a file that grows while it is read.
constexpr qint64 kMaxSize = 64 * 1024 * 1024;

enum class Problem { None, Missing, NotRegular, TooLarge, CannotOpen };

struct Opened
{
    Problem problem = Problem::None;
    QString kind; // NotRegular: "a directory", "a named pipe", ...
    qint64 size = 0; // the size the file system gave
    QString error; // CannotOpen: the operating system's words
};

// Opens `path` into `file` for reading, or says why not.
Opened open(const QString &path, QFile &file);

// Whether both paths, links followed, name one existing file: a file made
// from an image must never be written over the image itself.
bool sameFile(const QString &a, const QString &b);

} // namespace FirmwareFile
