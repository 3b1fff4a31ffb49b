// Linux: the node's device number from stat(), the adapter from sysfs (the
// tty's device link leads into the USB device that carries it), its by-id
// link from udev's folder.
#include "core/link/deviceidentity.h"

#include "core/link/seriallink.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {
// A USB serial number is at most 126 characters (a string descriptor of
// 254 bytes); more is no serial number the kernel gave.
constexpr qint64 kMaxSerial = 126;
// The tty sits a few levels below its USB device (interface, port, tty);
// no real tree is deeper than this.
constexpr int kMaxDepth = 8;
// udev makes one link per adapter; a folder with more is not read further.
constexpr int kMaxByIdLinks = 512;
// Unix 98 pseudo-terminal slaves have these majors.
constexpr unsigned kPtyMajorFirst = 136;
constexpr unsigned kPtyMajorLast = 143;

QString readSerial(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = f.read(kMaxSerial + 1).trimmed();
    if (bytes.size() > kMaxSerial)
        return {};
    for (const char c : bytes) {
        // Printable ASCII only: the serial is shown and compared, never interpreted.
        if (c < 0x20 || c > 0x7e)
            return {};
    }
    return QString::fromLatin1(bytes);
}
} // namespace

DeviceIdentity DeviceIdentity::of(const QString &portText, const QString &sysClassTty, const QString &byIdDir)
{
    DeviceIdentity id;
    id.portText = portText;
    const QString node = SerialLink::deviceForPortText(portText);
    struct stat st = {};
    if (node.isEmpty() || ::stat(QFile::encodeName(node).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return id;
    id.node = node;
    id.number = st.st_rdev;
    if (major(st.st_rdev) >= kPtyMajorFirst && major(st.st_rdev) <= kPtyMajorLast) {
        id.kind = Kind::PseudoTerminal;
        return id;
    }
    id.kind = Kind::SerialPort;

    QString dir
        = QFileInfo(sysClassTty + u'/' + QFileInfo(node).fileName() + QStringLiteral("/device")).canonicalFilePath();
    for (int depth = 0; !dir.isEmpty() && depth < kMaxDepth; ++depth) {
        if (QFileInfo::exists(dir + QStringLiteral("/idVendor"))) {
            id.usbPath = dir;
            id.usbSerial = readSerial(dir + QStringLiteral("/serial"));
            break;
        }
        const QString up = QFileInfo(dir).path();
        if (up == dir)
            break;
        dir = up;
    }
    if (!id.usbSerial.isEmpty())
        id.kind = Kind::UsbAdapter;

    const QFileInfoList links = QDir(byIdDir).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (qsizetype i = 0; i < links.size() && i < kMaxByIdLinks; ++i) {
        if (links.at(i).isSymLink() && links.at(i).canonicalFilePath() == node) {
            id.byId = links.at(i).absoluteFilePath();
            break;
        }
    }
    return id;
}
