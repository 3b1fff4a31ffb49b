#include "core/link/lowlatency.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace {

// The system's words start with a capital ("Permission denied"); here they
// end a line that a technician reads: "refused: permission denied".
QString lowerFirst(QString text)
{
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

// A USB device's sysfs path runs through the root hub of its bus, "usbN":
// .../usb1/1-2/1-2:1.0/ttyUSB0. Built-in UARTs sit on platform, pnp or pci
// devices without one.
bool sitsOnUsb(const QString &sysfsPath)
{
    const QStringList parts = sysfsPath.split(u'/', Qt::SkipEmptyParts);
    return std::any_of(parts.cbegin(), parts.cend(), [](const QString &part) {
        return part.size() > 3 && part.startsWith(u"usb"_s)
            && std::all_of(part.cbegin() + 3, part.cend(), [](QChar c) { return c.isDigit(); });
    });
}

// latency_timer comes from the driver, or from whatever else sits at that
// path: read a few bytes at most and take only a number of milliseconds.
std::optional<int> readTimer(const QString &path, QString *why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *why = lowerFirst(file.errorString());
        return std::nullopt;
    }
    const QByteArray text = file.read(LowLatency::kMaxTimerText + 1);
    bool ok = false;
    const int ms = text.trimmed().toInt(&ok);
    if (text.size() > LowLatency::kMaxTimerText || !ok || ms < 0 || ms > LowLatency::kMaxTimerMs) {
        *why = u"no number of milliseconds in it"_s;
        return std::nullopt;
    }
    return ms;
}

bool writeTimer(const QString &path, const QByteArray &text, QString *why)
{
    QFile file(path);
    // An adapter unplugged in the meantime has taken its entry along; nothing
    // is to be made in its place. Unbuffered: the driver's answer to the
    // write is the result of write() itself.
    if (!file.open(QIODevice::WriteOnly | QIODevice::ExistingOnly | QIODevice::Unbuffered)
        || file.write(text) != text.size()) {
        *why = lowerFirst(file.errorString());
        return false;
    }
    return true;
}

} // namespace

const LowLatency::Result &LowLatency::request(Handle handle, const QString &device)
{
    m_flagChanged = false;
    m_timerPath.clear();
    m_timerBefore.clear();
    if (!m_wanted) {
        m_result = {State::Off, {}};
        return m_result;
    }
    if (m_platform.sysfsRoot.isEmpty()) {
        m_result = {State::NotUsb, u"the latency timer is a setting of the adapter's driver here"_s};
        return m_result;
    }
    const QString name = QFileInfo(device).fileName();
    const QString ttyDevice = m_platform.sysfsRoot + u"/class/tty/"_s + name + u"/device"_s;
    const QString resolved = QFileInfo(ttyDevice).canonicalFilePath();
    if (name.isEmpty() || name == u"."_s || name == u".."_s || resolved.isEmpty()) {
        // Pseudo-terminals and consoles have no device behind them.
        m_result = {State::NotUsb, u"%1 has no device in sysfs"_s.arg(device)};
        return m_result;
    }
    // Only the part below the root counts: a test's tree may lie in any folder.
    const QString root = QFileInfo(m_platform.sysfsRoot).canonicalFilePath();
    const QString below = resolved.startsWith(root + u'/') ? resolved.mid(root.size()) : resolved;
    if (!sitsOnUsb(below)) {
        m_result = {State::NotUsb, u"%1 sits on %2"_s.arg(name, below)};
        return m_result;
    }

    QStringList changed;
    QStringList failed;
    bool flagWasSet = false;
    int error = m_platform.readFlag ? m_platform.readFlag(handle, &flagWasSet) : ENOTSUP;
    if (error == 0 && !flagWasSet) {
        error = m_platform.writeFlag ? m_platform.writeFlag(handle, true) : ENOTSUP;
        m_flagChanged = error == 0;
    }
    if (error == 0)
        changed += flagWasSet ? u"driver flag was set already"_s : u"driver flag"_s;
    const bool timerLow = requestTimer(ttyDevice + u"/latency_timer"_s, &changed, &failed);

    // Either way the adapter now answers within a millisecond or so.
    if (error == 0 || timerLow) {
        if (error != 0)
            failed.prepend(u"driver flag refused: "_s + lowerFirst(qt_error_string(error)));
        m_result = {State::Set, (changed + failed).join(u"; "_s)};
    } else {
        failed.prepend(lowerFirst(qt_error_string(error)));
        m_result = {State::Refused, failed.join(u"; "_s)};
    }
    return m_result;
}

bool LowLatency::requestTimer(const QString &timerPath, QStringList *changed, QStringList *failed)
{
    // Only some drivers (ftdi_sio) have one; the flag is all the others know.
    if (!QFileInfo::exists(timerPath))
        return false;
    QString why;
    const std::optional<int> before = readTimer(timerPath, &why);
    if (!before) {
        // Without the old value it could not be given back: left alone.
        *failed += u"latency timer unreadable: "_s + why;
        return false;
    }
    if (*before <= kLowTimerMs) {
        *changed += u"latency timer %1 ms already"_s.arg(*before);
        return true;
    }
    if (!writeTimer(timerPath, QByteArray::number(kLowTimerMs), &why)) {
        *failed += u"latency timer stays %1 ms: %2"_s.arg(*before).arg(why);
        return false;
    }
    m_timerPath = timerPath;
    m_timerBefore = QByteArray::number(*before);
    *changed += u"latency timer from %1 ms to %2 ms"_s.arg(*before).arg(kLowTimerMs);
    return true;
}

void LowLatency::restore(Handle handle)
{
    // Failures are not reported: the port is being let go, and an adapter
    // that was unplugged has taken its settings along.
    if (m_flagChanged && m_platform.writeFlag)
        (void)m_platform.writeFlag(handle, false);
    if (!m_timerPath.isEmpty()) {
        QString why;
        (void)writeTimer(m_timerPath, m_timerBefore, &why);
    }
    m_flagChanged = false;
    m_timerPath.clear();
    m_timerBefore.clear();
}

QString LowLatency::Result::describe() const
{
    const QString more = detail.isEmpty() ? QString() : u" ("_s + detail + u')';
    switch (state) {
    case State::Off:
        return u"off"_s;
    case State::Set:
        return u"set"_s + more;
    case State::NotUsb:
        return u"not a USB adapter"_s + more;
    case State::Refused:
        return u"refused: "_s + detail;
    }
    return {};
}
