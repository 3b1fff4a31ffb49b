#include "update/runrecord.h"

#include "link/enumname.h"
#include "link/printablebytes.h"
#include "update/updateoutcome.h"

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
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
int openForAppending(const QString &path)
{
    return ::_wopen(reinterpret_cast<const wchar_t *>(path.utf16()), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY,
                    _S_IREAD | _S_IWRITE);
}
bool writeWhole(int fd, const QByteArray &bytes)
{
    return ::_write(fd, bytes.constData(), unsigned(bytes.size())) == bytes.size() && ::_commit(fd) == 0;
}
void closeFile(int fd)
{
    ::_close(fd);
}
#else
int openForAppending(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
}
bool writeWhole(int fd, const QByteArray &bytes)
{
    // One write: with O_APPEND the line lands whole at the end, whoever else
    // appends at the same time.
    ssize_t written = -1;
    do {
        written = ::write(fd, bytes.constData(), size_t(bytes.size()));
    } while (written < 0 && errno == EINTR);
    return written == bytes.size() && ::fsync(fd) == 0;
}
void closeFile(int fd)
{
    ::close(fd);
}
#endif

QString isoTime(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

} // namespace

RunRecord::~RunRecord()
{
    if (m_fd >= 0)
        closeFile(m_fd);
}

bool RunRecord::open(const QString &path)
{
    if (m_fd >= 0)
        closeFile(m_fd);
    m_path = path;
    m_error.clear();
    // A directory or a device is no record file: only a regular file or a new one.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        m_error = QObject::tr("%1: not a regular file").arg(path);
        m_fd = -1;
        return false;
    }
    m_fd = openForAppending(path);
    if (m_fd < 0) {
        m_error = QObject::tr("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // Listed now, before any update runs: a listing takes milliseconds, and a
    // record written at the end of each update must not hold up the others.
    m_devices = PortCatalog::devices();
    return true;
}

bool RunRecord::isOpen() const
{
    return m_fd >= 0;
}

bool RunRecord::append(const QJsonObject &record)
{
    if (m_fd < 0) {
        m_error = QObject::tr("%1: not open").arg(m_path);
        return false;
    }
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    if (!writeWhole(m_fd, line)) {
        m_error = QObject::tr("%1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

QJsonObject RunRecord::entry(const UpdateOutcome &outcome, const Context &context) const
{
    const QFileInfo device(outcome.device);
    const QString resolved = device.canonicalFilePath().isEmpty() ? outcome.device : device.canonicalFilePath();
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
        {QStringLiteral("image"), outcome.fileName.isEmpty() ? QString() : QFileInfo(outcome.fileName).absoluteFilePath()},
        {QStringLiteral("image_sha256"), QString::fromLatin1(context.imageSha256)},
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
    if (!outcome.succeeded())
        record.insert(QStringLiteral("cause"), outcome.causes().join(QStringLiteral("; ")));
    return record;
}
