#include "core/update/runrecord.h"

#include "core/common/enumname.h"
#include "core/common/localpath.h"
#include "core/firmware/firmwarefile.h"
#include "core/firmware/firmwareimage.h"
#include "core/common/printablebytes.h"
#include "core/update/updateoutcome.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSysInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
int openForAppending(const QString &path)
{
    return ::_wopen(reinterpret_cast<const wchar_t *>(path.utf16()), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY,
                    _S_IREAD | _S_IWRITE);
}
// 0 when the line landed whole, else the errno.
int writeWhole(const RunRecord::FileSystem &fileSystem, int fd, const QByteArray &bytes)
{
    const qint64 before = ::_lseeki64(fd, 0, SEEK_END);
    const qint64 written = fileSystem.write(fd, bytes.constData(), bytes.size());
    if (written == bytes.size())
        return fileSystem.sync(fd) == 0 ? 0 : errno;
    const int error = written < 0 ? errno : ENOSPC;
    if (before >= 0)
        ::_chsize_s(fd, before);
    return error;
}
void closeFile(int fd)
{
    ::_close(fd);
}
// Windows refuses to delete or rename a file held open without sharing, so
// the path can only have lost its file through other means; its absence is
// what can be told without inode numbers.
bool pathNamesOpenFile(int, const QString &path)
{
    return QFileInfo::exists(path);
}
#else
int openForAppending(const QString &path)
{
    return ::open(LocalPath::toNative(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
}
// 0 when the line landed whole, else the errno. Our runs hold the file's
// lock while they append, so a line cut short (a full disk, a file size
// limit) can be taken back to where the file ended before it: the next
// record is never glued to half of this one.
int writeWhole(const RunRecord::FileSystem &fileSystem, int fd, const QByteArray &bytes)
{
    // A file system without locks (some network shares) still takes whole
    // lines appended in one write; only taking a fragment back needs the lock.
    int locked = -1;
    while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) { }
    struct stat info
    { };
    const off_t before = locked == 0 && ::fstat(fd, &info) == 0 ? info.st_size : off_t(-1);
    qsizetype done = 0;
    int error = 0;
    while (done < bytes.size()) {
        const qint64 written = fileSystem.write(fd, bytes.constData() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            // A short write sets no errno; the write that follows it says why.
            error = written < 0 ? errno : EIO;
            break;
        }
        done += written;
    }
    if (error == 0 && fileSystem.sync(fd) != 0)
        error = errno;
    if (error != 0 && done > 0 && done < bytes.size()) {
        // Failing that, the fragment is at least closed off as a line of its own.
        if (before < 0 || ::ftruncate(fd, before) != 0) {
            [[maybe_unused]] const ssize_t ended = ::write(fd, "\n", 1);
        }
    }
    if (locked == 0)
        ::flock(fd, LOCK_UN);
    return error;
}
void closeFile(int fd)
{
    ::close(fd);
}
// Whether the path still leads to the file open as fd: a rotation moves the
// file away (and may put a new one in its place) or deletes it, and the
// open descriptor then writes to a file nobody reads.
bool pathNamesOpenFile(int fd, const QString &path)
{
    struct stat open
    { };
    struct stat named
    { };
    if (::fstat(fd, &open) != 0 || ::stat(QFile::encodeName(path).constData(), &named) != 0)
        return false;
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}
#endif

// Files the system makes up as they are read: a record there is no record.
bool isVirtualFile(const QString &canonicalPath)
{
    return canonicalPath.startsWith(QStringLiteral("/proc/")) || canonicalPath.startsWith(QStringLiteral("/sys/"));
}

QString isoTime(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

} // namespace

RunRecord::FileSystem RunRecord::systemFileSystem()
{
#ifdef Q_OS_WIN
    return {[](int fd, const char *data, qint64 size) -> qint64 { return ::_write(fd, data, unsigned(size)); },
            [](int fd) { return ::_commit(fd); }};
#else
    return {[](int fd, const char *data, qint64 size) -> qint64 { return ::write(fd, data, size_t(size)); },
            [](int fd) { return ::fsync(fd); }};
#endif
}

RunRecord::~RunRecord()
{
    if (m_fd >= 0)
        closeFile(m_fd);
}

bool RunRecord::open(const QString &path, const QString &imagePath)
{
    if (m_fd >= 0)
        closeFile(m_fd);
    m_fd = -1;
    m_path = path;
    m_imagePath = imagePath;
    m_error.clear();
    m_notice.clear();
    m_opened = openPath();
    if (!m_opened)
        return false;
    // Listed now, before any update runs: a listing takes milliseconds, and a
    // record written at the end of each update must not hold up the others.
    m_devices = PortCatalog::devices();
    return true;
}

bool RunRecord::openPath()
{
    const QString &path = m_path;
    const QString &imagePath = m_imagePath;
    // A directory or a device is no record file: only a regular file or a new one.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        m_error = QObject::tr("%1: not a regular file").arg(printableText(path));
        return false;
    }
    const QString canonical
        = info.exists() ? info.canonicalFilePath() : QFileInfo(info.absolutePath()).canonicalFilePath() + u'/';
    if (isVirtualFile(canonical)) {
        m_error = QObject::tr("%1: a file of the system's own (/proc, /sys), not a place for records")
                      .arg(printableText(path));
        return false;
    }
    // The record would be appended to the image it records, by whatever
    // name or link.
    if (!imagePath.isEmpty() && FirmwareFile::sameFile(path, imagePath)) {
        m_error
            = QObject::tr("%1: is the firmware image itself; records would be appended to it").arg(printableText(path));
        return false;
    }
    m_fd = openForAppending(path);
    if (m_fd < 0) {
        m_error = QObject::tr("%1: %2").arg(printableText(path), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

bool RunRecord::isOpen() const
{
    // Also while a file moved away could not be opened again: each record
    // tries anew, and each one lost is told.
    return m_opened;
}

bool RunRecord::append(const QJsonObject &record)
{
    if (!m_opened) {
        m_error = QObject::tr("%1: not open").arg(m_path);
        return false;
    }
    m_notice.clear();
    if (m_fd < 0 || !pathNamesOpenFile(m_fd, m_path)) {
        // As a log writer does after a rotation: the moved file is left to
        // whoever moved it, and this record starts the file at the path.
        if (m_fd >= 0)
            closeFile(m_fd);
        m_fd = -1;
        if (!openPath()) {
            m_error = QObject::tr("record file was moved or deleted, and cannot be opened again: %1").arg(m_error);
            return false;
        }
        m_notice = QObject::tr("record file was moved or deleted: reopened %1").arg(printableText(m_path));
    }
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    if (const int error = writeWhole(m_fileSystem, m_fd, line); error != 0) {
        m_error = QObject::tr("%1: %2").arg(printableText(m_path), QString::fromLocal8Bit(std::strerror(error)));
        return false;
    }
    return true;
}

RunRecord::Context RunRecord::Context::of(const ImageSummary &summary, const QDateTime &started,
                                          const QDateTime &finished, const QJsonObject &extra)
{
    return {summary.sha256, summary.linesToSend, started, finished, summary.format, summary.sentSha256, extra};
}

void RunRecord::setKeeper(RecordKeeper *keeper)
{
    m_keeper = keeper;
    // The keeper's records name adapters too.
    if (keeper && !m_opened)
        m_devices = PortCatalog::devices();
}

void RunRecord::appendOutcome(UpdateOutcome &outcome, const Context &context)
{
    if (!isActive())
        return;
    const QJsonObject record = entry(outcome, context);
    QStringList lost;
    if (isOpen() && !append(record))
        lost << error();
    QString keeperError;
    if (m_keeper && !m_keeper->keep(record, &keeperError))
        lost << keeperError;
    if (!lost.isEmpty())
        outcome.recordError = lost.join(QStringLiteral("; "));
    outcome.recordNotice = notice();
}

QJsonObject RunRecord::entry(const UpdateOutcome &outcome, const Context &context) const
{
    QString resolved = outcome.resolvedDevice;
    if (resolved.isEmpty()) {
        const QString canonical = QFileInfo(outcome.device).canonicalFilePath();
        resolved = canonical.isEmpty() ? outcome.device : canonical;
    }
    QJsonObject adapter;
    if (const std::optional<PortCatalog::Device> found = PortCatalog::find(m_devices, resolved)) {
        if (!found->description.isEmpty())
            adapter.insert(QStringLiteral("description"), found->description);
        if (!found->manufacturer.isEmpty())
            adapter.insert(QStringLiteral("manufacturer"), found->manufacturer);
        if (!found->serialNumber.isEmpty())
            adapter.insert(QStringLiteral("serial_number"), found->serialNumber);
        if (!found->usbId.isEmpty())
            adapter.insert(QStringLiteral("usb_id"), found->usbId);
    }
    QJsonObject record{
        {QStringLiteral("port"), outcome.portText},
        {QStringLiteral("device"), resolved},
        {QStringLiteral("adapter"), adapter},
        {QStringLiteral("image"), outcome.fileName.isEmpty() ? QString() : LocalPath::absolute(outcome.fileName)},
        {QStringLiteral("image_sha256"), QString::fromLatin1(context.imageSha256)},
        // Which reader made the lines of the file; none when it was not read.
        {QStringLiteral("image_format"), context.imageSha256.isEmpty() ? QString() : enumName(context.imageFormat)},
        {QStringLiteral("sent_sha256"), QString::fromLatin1(context.sentSha256)},
        {QStringLiteral("lines"), double(context.linesToSend)},
        {QStringLiteral("lines_acknowledged"), outcome.linesAcknowledged},
        {QStringLiteral("ok"), outcome.succeeded()},
        {QStringLiteral("outcome"), enumName(outcome.kind)},
        {QStringLiteral("message"), outcome.message.prompt},
        {QStringLiteral("failed_line"), outcome.failedLine},
        {QStringLiteral("erase_sent"), outcome.eraseSent},
        {QStringLiteral("started"), isoTime(context.started)},
        {QStringLiteral("finished"), isoTime(context.finished)},
        {QStringLiteral("host"), QSysInfo::machineHostName()},
        {QStringLiteral("tool"), QCoreApplication::applicationName()},
        {QStringLiteral("tool_version"), QCoreApplication::applicationVersion()},
    };
    if (!outcome.reply.isNull())
        record.insert(QStringLiteral("reply"), shownBytes(outcome.reply));
    if (!outcome.endReply.isNull())
        record.insert(QStringLiteral("end_reply"), shownBytes(outcome.endReply));
    record.insert(QStringLiteral("bytes_discarded"), double(outcome.bytesDiscarded));
    for (auto it = context.extra.constBegin(); it != context.extra.constEnd(); ++it)
        record.insert(it.key(), it.value());
    // A success has causes worth keeping too: no end line, bytes that answered nothing.
    record.insert(QStringLiteral("cause"), outcome.causes().join(QStringLiteral("; ")));
    return record;
}
