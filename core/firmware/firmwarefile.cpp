#include "core/firmware/firmwarefile.h"

#include "core/common/localpath.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace FirmwareFile {

namespace {

#ifdef Q_OS_UNIX
QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QObject::tr("a directory");
    if (S_ISFIFO(mode))
        return QObject::tr("a named pipe");
    if (S_ISSOCK(mode))
        return QObject::tr("a socket");
    if (S_ISCHR(mode))
        return QObject::tr("a character device");
    if (S_ISBLK(mode))
        return QObject::tr("a block device");
    return QObject::tr("not a regular file");
}
#endif

} // namespace

Opened open(const QString &path, QFile &file)
{
    Opened opened;
#ifdef Q_OS_UNIX
    // stat() follows links; its type says what an open() would meet.
    const QByteArray native = LocalPath::toNative(path);
    struct stat info
    { };
    if (::stat(native.constData(), &info) != 0) {
        opened.problem = errno == ENOENT || errno == ENOTDIR ? Problem::Missing : Problem::CannotOpen;
        opened.error = QString::fromLocal8Bit(std::strerror(errno));
        return opened;
    }
    if (!S_ISREG(info.st_mode)) {
        opened.problem = Problem::NotRegular;
        opened.kind = kindOf(info.st_mode);
        return opened;
    }
    opened.size = qint64(info.st_size);
    if (opened.size > kMaxSize) {
        opened.problem = Problem::TooLarge;
        return opened;
    }
    // Non-blocking, and checked again on the descriptor itself: the path may
    // have been pointed at a pipe since it was looked at.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        opened.problem = errno == ENOENT ? Problem::Missing : Problem::CannotOpen;
        opened.error = QString::fromLocal8Bit(std::strerror(errno));
        return opened;
    }
    struct stat again
    { };
    if (::fstat(fd, &again) != 0 || !S_ISREG(again.st_mode)) {
        opened.problem = Problem::NotRegular;
        opened.kind = kindOf(again.st_mode);
        ::close(fd);
        return opened;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        opened.problem = Problem::CannotOpen;
        opened.error = file.errorString();
        ::close(fd);
    }
#else
    const QFileInfo info(path);
    if (!info.exists()) {
        opened.problem = Problem::Missing;
        return opened;
    }
    if (!info.isFile()) {
        opened.problem = Problem::NotRegular;
        opened.kind = info.isDir() ? QObject::tr("a directory") : QObject::tr("not a regular file");
        return opened;
    }
    opened.size = info.size();
    if (opened.size > kMaxSize) {
        opened.problem = Problem::TooLarge;
        return opened;
    }
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        opened.problem = Problem::CannotOpen;
        opened.error = file.errorString();
    }
#endif
    return opened;
}

bool sameFile(const QString &a, const QString &b)
{
#ifdef Q_OS_UNIX
    // The device and inode: also two names of one file by a hard link.
    struct stat sa
    { };
    struct stat sb
    { };
    return ::stat(LocalPath::toNative(a).constData(), &sa) == 0 && ::stat(LocalPath::toNative(b).constData(), &sb) == 0
        && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
#else
    const QFileInfo fa(a);
    const QFileInfo fb(b);
    return fa.exists() && fb.exists() && fa.canonicalFilePath() == fb.canonicalFilePath();
#endif
}

} // namespace FirmwareFile
