#include "core/link/portholder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLockFile>

#ifdef Q_OS_LINUX
#include <cstdlib>
#include <dirent.h>
#include <unistd.h>
#endif

namespace {

// Where programs that use serial ports leave their lock files, Qt's own
// among them: LCK.. and the device's path below /dev, slashes made '_'.
const char *const kLockDirectories[] = {"/var/lock",       "/run/lock", "/etc/locks", "/var/spool/locks",
                                        "/var/spool/uucp", "/tmp",      "/var/tmp",   "/var/lock/lockdev"};

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
// A snapshot of who holds which device: one walk through /proc serves every
// port for a while, so a station of many lanes asks the system once.
struct Holder
{
    qint64 pid = 0;
    QString named; // "cat (process 4321)"
};

struct Holders
{
    QHash<QByteArray, Holder> byTarget; // device path -> who holds it
    QElapsedTimer taken;
};

// A walk takes a few milliseconds on a busy machine; a snapshot this young
// still names the program a technician left on a port.
constexpr qint64 kSnapshotLifetimeMs = 250;

QByteArray linkTarget(const char *path)
{
    char target[512];
    const ssize_t n = ::readlink(path, target, sizeof target);
    return n > 0 && size_t(n) < sizeof target ? QByteArray(target, n) : QByteArray();
}

// The pseudo-terminal whose master the descriptor is, from its fdinfo
// ("tty-index: 3" for /dev/pts/3); -1 when it is none or the system does not say.
int masterIndex(const QByteArray &fdInfoPath)
{
    QFile info(QString::fromLocal8Bit(fdInfoPath));
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

Holders scanHolders()
{
    Holders holders;
    holders.taken.start();
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return holders;
    const qint64 self = QCoreApplication::applicationPid();
    int looked = 0;
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self)
            continue;
        if (++looked > kMaxProcessesLooked)
            break;
        const QByteArray base = "/proc/" + QByteArray::number(qlonglong(pid));
        DIR *fds = ::opendir((base + "/fd").constData());
        if (!fds)
            continue; // another user's process: the system does not say
        QList<QByteArray> devices;
        QList<int> masters;
        while (const dirent *fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.')
                continue;
            const QByteArray target = linkTarget((base + "/fd/" + fd->d_name).constData());
            if (target == "/dev/ptmx")
                masters << masterIndex(base + "/fdinfo/" + fd->d_name);
            else if (target.startsWith("/dev/"))
                devices << target;
        }
        ::closedir(fds);
        if (devices.isEmpty())
            continue;
        QFile comm(QString::fromLocal8Bit(base + "/comm"));
        QString program;
        if (comm.open(QIODevice::ReadOnly))
            program = QString::fromLocal8Bit(comm.read(64)).trimmed();
        for (const QByteArray &device : std::as_const(devices)) {
            // A pseudo-terminal's master is held by whatever stands in for
            // the instrument at its far end (a simulator): that process is
            // the peer, not another program on our side of the line.
            if (device.startsWith("/dev/pts/") && masters.contains(device.mid(9).toInt()))
                continue;
            if (!holders.byTarget.contains(device))
                holders.byTarget.insert(device, {pid, named(program, pid)});
        }
    }
    ::closedir(proc);
    return holders;
}

// Whether the process still has the device open: a device's number may go
// to a new device the moment its holder lets go (pseudo-terminals, a
// replugged adapter), and a snapshot must not name a holder it no longer has.
bool stillHolds(qint64 pid, const QByteArray &target)
{
    const QByteArray base = "/proc/" + QByteArray::number(pid) + "/fd";
    DIR *fds = ::opendir(base.constData());
    if (!fds)
        return false;
    bool holds = false;
    while (const dirent *fd = ::readdir(fds)) {
        if (fd->d_name[0] != '.' && linkTarget((base + '/' + fd->d_name).constData()) == target) {
            holds = true;
            break;
        }
    }
    ::closedir(fds);
    return holds;
}
#endif

QString fromOpenFiles(const QString &device)
{
#ifdef Q_OS_LINUX
    const QString canonical = QFileInfo(device).canonicalFilePath();
    if (canonical.isEmpty())
        return {};
    const QByteArray target = QFile::encodeName(canonical);
    static Holders holders;
    if (!holders.taken.isValid() || holders.taken.hasExpired(kSnapshotLifetimeMs))
        holders = scanHolders();
    auto it = holders.byTarget.constFind(target);
    if (it != holders.byTarget.constEnd() && !stillHolds(it->pid, target)) {
        holders = scanHolders();
        it = holders.byTarget.constFind(target);
    }
    return it != holders.byTarget.constEnd() ? it->named : QString();
#else
    Q_UNUSED(device);
    return {};
#endif
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
