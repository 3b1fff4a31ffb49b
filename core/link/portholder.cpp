#include "core/link/portholder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QCoreApplication>
#include <QLockFile>

namespace {

// Where programs that use serial ports leave their lock files, Qt's own
// among them: LCK.. and the device's path below /dev, slashes made '_'.
const char *const kLockDirectories[] = {"/var/lock", "/run/lock", "/etc/locks", "/var/spool/locks",
                                        "/var/spool/uucp", "/tmp", "/var/tmp", "/var/lock/lockdev"};

// A process list is bounded by the system; this keeps a machine with very
// many processes from costing more than a moment.
constexpr int kMaxProcessesLooked = 4096;

QString named(const QString &program, qint64 pid)
{
    return QObject::tr("%1 (process %2)").arg(program.isEmpty() ? QObject::tr("a program") : program).arg(pid);
}

QString fromLockFile(const QString &device)
{
    QString name = device;
    if (name.startsWith(QStringLiteral("/dev/")))
        name = name.mid(5);
    name.replace(u'/', u'_');
    for (const char *directory : kLockDirectories) {
        const QString path = QString::fromLatin1(directory) + QStringLiteral("/LCK..") + name;
        if (!QFileInfo::exists(path))
            continue;
        QLockFile lock(path);
        qint64 pid = 0;
        QString host;
        QString program;
        if (lock.getLockInfo(&pid, &host, &program) && pid > 0)
            return named(program, pid);
    }
    return {};
}

#ifdef Q_OS_LINUX
// The pseudo-terminal whose master the descriptor is, from its fdinfo
// ("tty-index: 3" for /dev/pts/3); -1 when it is none or the system does not say.
int masterIndex(const QString &fdInfoPath)
{
    QFile info(fdInfoPath);
    if (!info.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = info.read(4096);
    const qsizetype at = text.indexOf("tty-index:");
    if (at < 0)
        return -1;
    bool ok = false;
    const int index = text.mid(at + 10, text.indexOf('\n', at) - at - 10).trimmed().toInt(&ok);
    return ok ? index : -1;
}
#endif

QString fromOpenFiles(const QString &device)
{
#ifdef Q_OS_LINUX
    const QString target = QFileInfo(device).canonicalFilePath();
    if (target.isEmpty())
        return {};
    // A pseudo-terminal's master is held by whatever stands in for the
    // instrument at its far end (a simulator): that process is the peer,
    // not another program on our side of the line.
    int ptyIndex = -1;
    if (target.startsWith(QStringLiteral("/dev/pts/"))) {
        bool ok = false;
        ptyIndex = target.mid(9).toInt(&ok);
        if (!ok)
            ptyIndex = -1;
    }
    const QDir proc(QStringLiteral("/proc"));
    const QStringList pids = proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    int looked = 0;
    for (const QString &pid : pids) {
        bool isPid = false;
        const qint64 number = pid.toLongLong(&isPid);
        if (!isPid || number == QCoreApplication::applicationPid())
            continue;
        if (++looked > kMaxProcessesLooked)
            break;
        const QDir fds(proc.filePath(pid + QStringLiteral("/fd")));
        bool holds = false;
        bool farEnd = false;
        for (const QString &fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
            const QString link = QFile::symLinkTarget(fds.filePath(fd));
            if (link == target)
                holds = true;
            else if (ptyIndex >= 0 && link == QStringLiteral("/dev/ptmx")
                     && masterIndex(proc.filePath(pid + QStringLiteral("/fdinfo/") + fd)) == ptyIndex)
                farEnd = true;
        }
        if (!holds || farEnd)
            continue;
        QFile comm(proc.filePath(pid + QStringLiteral("/comm")));
        QString program;
        if (comm.open(QIODevice::ReadOnly))
            program = QString::fromLocal8Bit(comm.read(64)).trimmed();
        return named(program, number);
    }
#else
    Q_UNUSED(device);
#endif
    return {};
}

} // namespace

QString portHolder(const QString &device)
{
    const QString holder = fromLockFile(device);
    return holder.isEmpty() ? fromOpenFiles(device) : holder;
}

QString otherProcessUsing(const QString &device)
{
    return fromOpenFiles(device);
}
