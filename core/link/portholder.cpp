#include "core/link/portholder.h"

#include <QFile>
#include <QFileInfo>
#include <QCoreApplication>
#include <QLockFile>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <climits>
#include <dirent.h>
#include <unistd.h>
#endif

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
    // Read with the system's own calls: a station asks once for each lane
    // it starts, and Qt's directory listing and link reading look at each
    // of the hundreds of entries twice more (stat) than this needs.
    const QByteArray wanted = QFile::encodeName(target);
    QList<QByteArray> pids;
    if (DIR *proc = ::opendir("/proc")) {
        while (const dirent *entry = ::readdir(proc)) {
            bool isPid = false;
            QByteArray(entry->d_name).toLongLong(&isPid);
            if (isPid)
                pids.append(QByteArray(entry->d_name));
        }
        ::closedir(proc);
    }
    // In the order of their names, as before: when several hold the port,
    // the same one is named.
    std::sort(pids.begin(), pids.end());
    const qint64 self = QCoreApplication::applicationPid();
    int looked = 0;
    for (const QByteArray &pid : std::as_const(pids)) {
        const qint64 number = pid.toLongLong();
        if (number == self)
            continue;
        if (++looked > kMaxProcessesLooked)
            break;
        // Gone meanwhile, or another user's: nothing to look at.
        DIR *fds = ::opendir(("/proc/" + pid + "/fd").constData());
        if (!fds)
            continue;
        bool holds = false;
        bool farEnd = false;
        while (const dirent *entry = ::readdir(fds)) {
            if (entry->d_name[0] == '.')
                continue;
            char link[PATH_MAX];
            const ssize_t length = ::readlinkat(::dirfd(fds), entry->d_name, link, sizeof link);
            if (length <= 0)
                continue;
            const QByteArrayView seen(link, length);
            if (seen == wanted)
                holds = true;
            else if (ptyIndex >= 0 && seen == "/dev/ptmx"
                     && masterIndex(QString::fromLatin1("/proc/" + pid + "/fdinfo/" + entry->d_name)) == ptyIndex)
                farEnd = true;
        }
        ::closedir(fds);
        if (!holds || farEnd)
            continue;
        QFile comm(QString::fromLatin1("/proc/" + pid + "/comm"));
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
