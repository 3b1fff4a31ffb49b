#include "core/link/seriallink.h"

#include "core/link/portholder.h"
#include "core/link/portnumber.h"
#include "core/common/printablebytes.h"

#include <QFileInfo>

#include <cmath>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <termios.h>
#include <unistd.h>
#endif

namespace {
// Bits a byte takes on an 8N1 wire: start, eight data, stop.
constexpr qint64 kBitsPerByte = 10;
// Read straight from the device when discarding, at most this much; the
// rest is flushed unread. A real instrument sends a few bytes at a time.
constexpr qint64 kMaxDiscardRead = 64 * 1024;
} // namespace

SerialLink::SerialLink(QObject *parent)
    : QObject(parent)
{
    m_readTimer.setSingleShot(true);
    m_readTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_readTimer, &QTimer::timeout, this, &SerialLink::handleReadTimeout);
    m_drainTimer.setSingleShot(true);
    connect(&m_drainTimer, &QTimer::timeout, this, &SerialLink::handleDrainTimeout);
    connect(&m_port, &QSerialPort::readyRead, this, &SerialLink::handleReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialLink::handlePortError);
    connect(&m_port, &QSerialPort::bytesWritten, this, &SerialLink::handleBytesWritten);
}

SerialLink::~SerialLink()
{
    // Closing here, while the error handler is still connected to a live
    // object, keeps a late error from reaching a half-destroyed link.
    m_port.disconnect(this);
    m_lowLatency.restore(m_port.handle());
    m_port.close();
}

void SerialLink::setPortNumber(double number)
{
    m_portNumber = number;
    m_usePath = false;
}

void SerialLink::setDevicePath(const QString &path)
{
    m_devicePath = path.trimmed();
    m_usePath = true;
}

bool SerialLink::setPortText(const QString &portText)
{
    m_portText = portText;
    if (isDevicePath(portText)) {
        setDevicePath(portText);
        return true;
    }
    const std::optional<double> number = ParsePortNumber(portText);
    if (!number) {
        m_error = {Error::Kind::NoSuchPort, quotedText(portText),
                   tr("the port text names no port: it is too long, or its number too large")};
        return false;
    }
    setPortNumber(*number);
    return true;
}

bool SerialLink::open(const QString &portText)
{
    m_error = {};
    if (!setPortText(portText))
        return false;
    setSpeed(kSpeed);
    return configure();
}

void SerialLink::setSpeed(qint32 baud)
{
    m_speed = baud;
}

QString SerialLink::deviceName() const
{
    return m_usePath ? m_devicePath : deviceForPortNumber(m_portNumber);
}

QString SerialLink::deviceForPortText(const QString &portText)
{
    QString device;
    if (isDevicePath(portText))
        device = portText.trimmed();
    else if (const std::optional<double> number = ParsePortNumber(portText))
        device = deviceForPortNumber(*number);
    const QString canonical = QFileInfo(device).canonicalFilePath();
    return canonical.isEmpty() ? device : canonical;
}

bool SerialLink::isOpen() const
{
    return m_port.isOpen();
}

void SerialLink::close()
{
    cancelRead();
    m_drainTimer.stop();
    m_lowLatency.restore(m_port.handle());
    m_port.close();
    m_received.clear();
}

bool SerialLink::configure()
{
    close();
    m_error = {};
    const QString device = deviceName();
    if (device.isEmpty()) {
        // A text without "COM" reads as port 0: name what was typed, not "COM 0".
        m_error = hasComNumber(m_portText) ? Error{Error::Kind::NoSuchPort, QStringLiteral("COM %1").arg(m_portNumber),
                                                   tr("no serial port has this number")}
                                           : Error{Error::Kind::NoSuchPort, quotedText(m_portText),
                                                   tr("the port text has no \"COM\" and is no device path")};
        return false;
    }
    // Qt takes a bare name as relative to /dev; a full path as it stands.
    // Symbolic links (/dev/serial/by-id/...) are followed so that the lock
    // QSerialPort takes is the device's own.
    // A path relative to the current folder (./bench-com7) is made whole:
    // Qt would take it as relative to /dev.
    const QFileInfo info(device);
    QString target = device.startsWith(u'.') ? info.absoluteFilePath() : device;
    if (info.isSymLink())
        target = info.canonicalFilePath().isEmpty() ? target : info.canonicalFilePath();
    m_port.setPortName(target);
    if (!m_port.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError code = m_port.error();
        Error::Kind kind = Error::Kind::OpenFailed;
        if (code == QSerialPort::DeviceNotFoundError)
            kind = Error::Kind::NoSuchPort;
        else if (code == QSerialPort::PermissionError)
            // Qt reports a port locked by another program as a permission error;
            // a file that exists but may not be opened is the other case.
            kind = (info.exists() && info.isReadable() && info.isWritable()) ? Error::Kind::Busy
                                                                             : Error::Kind::PermissionDenied;
        QString detail = m_port.errorString();
        if (kind == Error::Kind::Busy) {
            // Qt's words ("permission error while locking") read like a
            // matter of rights; who holds the port is what helps.
            const QString holder = portHolder(target);
            detail = holder.isEmpty()
                ? tr("another program may hold it (another user's programs cannot be seen from here)")
                : tr("in use by %1").arg(holder);
        }
        m_error = {kind, device, detail};
        m_port.close();
        return false;
    }
    const bool settingsTaken = m_port.setBaudRate(m_speed) && m_port.setDataBits(QSerialPort::Data8)
        && m_port.setParity(QSerialPort::NoParity) && m_port.setStopBits(QSerialPort::OneStop)
        && m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!settingsTaken) {
        // A regular file or another device that is no serial port ends up here.
        m_error = {Error::Kind::OpenFailed, device, m_port.errorString()};
        m_port.close();
        return false;
    }
    m_lowLatency.request(m_port.handle(), target);
    m_port.clear();
    m_received.clear();
    emit lowLatencyDecided();
    return true;
}

std::chrono::milliseconds SerialLink::drainBound(qint64 bytes) const
{
    const double wireMs = std::ceil(double(bytes) * kBitsPerByte * 1000.0 / double(std::max<qint32>(m_speed, 1)));
    return std::chrono::milliseconds(qint64(wireMs)) + m_readTimeout;
}

bool SerialLink::write(const QByteArray &bytes)
{
    if (!m_port.isOpen()) {
        if (m_error.kind == Error::Kind::None)
            m_error = {Error::Kind::NotOpen, deviceName(), tr("the port is not open")};
        return false;
    }
    if (m_port.write(bytes) != bytes.size()) {
        if (m_port.isOpen()) // an error handler may have closed it already
            fail(Error::Kind::WriteFailed, m_port.errorString());
        return false;
    }
    // What waits to leave must leave within its time on the wire and a
    // margin; a port that stops taking bytes must not hold the update forever.
    m_drainBytes = m_port.bytesToWrite();
    m_drainTimer.start(drainBound(m_drainBytes));
    // A short write with nothing else waiting is handed to the operating
    // system at once rather than at the next turn of the event loop, so that
    // the erase wait is timed from when "KILL" left. Anything longer goes out
    // as the device takes it: flushing into a full device makes Qt report a
    // resource error, as if the port had gone away.
    if (m_port.bytesToWrite() <= kImmediateWriteLimit)
        m_port.flush();
    return m_port.isOpen();
}

bool SerialLink::writeCommand(const QByteArray &command)
{
    discardPending();
    QByteArray bytes = command;
    bytes += kSuffix;
    const bool written = write(bytes);
    // Bytes that come from now on may answer this command.
    m_nothingPending = false;
    return written;
}

void SerialLink::read()
{
    m_reading = true;
    if (!m_port.isOpen()) {
        if (m_error.kind == Error::Kind::None)
            m_error = {Error::Kind::NotOpen, deviceName(), tr("the port is not open")};
        m_readTimer.stop();
        scheduleDelivery();
        return;
    }
    startReadTimerOnceWritten();
    // Only a reply (or an overflow) that is here already needs handing over
    // from the event loop; otherwise the next readyRead delivers it.
    if (m_received.containsReply() || m_received.overflowed())
        scheduleDelivery();
}

void SerialLink::startReadTimerOnceWritten()
{
    // Until then handleBytesWritten() starts it.
    if (m_port.bytesToWrite() == 0)
        m_readTimer.start(m_readTimeout);
    else
        m_readTimer.stop();
}

void SerialLink::handleBytesWritten()
{
    if (m_port.bytesToWrite() > 0)
        return;
    m_drainTimer.stop();
    if (m_reading && !m_readTimer.isActive())
        m_readTimer.start(m_readTimeout);
}

void SerialLink::handleDrainTimeout()
{
    const qint64 left = m_port.bytesToWrite();
    if (!m_port.isOpen() || left == 0)
        return;
    const auto waited = drainBound(m_drainBytes);
    // Dropped, not sent later: the next owner of the port starts clean.
    m_port.clear(QSerialPort::Output);
    fail(Error::Kind::Stalled,
         tr("%1 of %2 bytes had not left after %3 ms").arg(left).arg(m_drainBytes).arg(waited.count()));
}

void SerialLink::discardPending()
{
    // Called twice in a row (an update drops what came before it writes a
    // line, and writing does too): once is enough, no event came between.
    if (m_nothingPending)
        return;
    m_nothingPending = true;
    qint64 replies = m_received.pendingEnds();
    QByteArray start = m_received.takeAll();
    qint64 count = m_received.pending() + start.size();
    m_received.clear();
    const auto take = [&](QByteArrayView bytes) {
        count += bytes.size();
        replies += std::count(bytes.begin(), bytes.end(), kEndOfRead);
        start.append(bytes.first(std::min<qsizetype>(bytes.size(), ReplyFramer::kDefaultLimit - start.size())));
    };
    if (m_port.isOpen()) {
        take(m_port.readAll());
#ifdef Q_OS_UNIX
        // Bytes the operating system holds and Qt has not read yet came
        // before the command too.
        char chunk[4096];
        qint64 taken = 0;
        for (;;) {
            const ssize_t got = ::read(m_port.handle(), chunk, sizeof chunk);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            taken += got;
            take(QByteArrayView(chunk, qsizetype(got)));
            if (taken >= kMaxDiscardRead) {
                // What is flushed unseen may hold replies: a flood this
                // long is not line noise, and is not taken for it.
                ::tcflush(m_port.handle(), TCIFLUSH);
                replies = std::max<qint64>(replies, 1);
                break;
            }
        }
#endif
    }
    if (replies > 0)
        m_unansweredOn.clear(); // whatever was late has come
    if (count > 0)
        emit bytesDiscarded(start, count, replies);
}

void SerialLink::cancelRead()
{
    const bool wasReading = m_reading;
    m_reading = false;
    m_readTimer.stop();
    if (wasReading)
        emit readCancelled();
}

void SerialLink::scheduleDelivery()
{
    // A reply may be waiting already; it is still handed over from the event
    // loop, so a caller never sees its handler run inside its own read() call.
    if (m_deliveryScheduled)
        return;
    m_deliveryScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_deliveryScheduled = false;
            if (m_reading && !m_port.isOpen()) {
                m_reading = false;
                m_readTimer.stop();
                emit readFailed();
                return;
            }
            deliverIfComplete();
        },
        Qt::QueuedConnection);
}

void SerialLink::deliverIfComplete()
{
    if (!m_reading)
        return;
    if (m_received.overflowed()) {
        // Nothing beyond the limit was kept; what was is shown by its start.
        const qint64 came = m_received.pending();
        m_error = {Error::Kind::ReplyTooLong, deviceName(),
                   tr("%1 bytes without \"*\", beginning %2")
                       .arg(came)
                       .arg(quotedBytes(m_received.takeAll().left(kShownLength)))};
        m_received.clear(); // the overflow too, not only the bytes
        m_reading = false;
        m_readTimer.stop();
        emit readFailed();
        return;
    }
    std::optional<QByteArray> reply = m_received.takeReply();
    if (!reply)
        return;
    m_reading = false;
    m_readTimer.stop();
    m_unansweredOn.clear();
    // What came after the '*' in the same read answers nothing.
    if (!m_received.isEmpty()) {
        const QByteArray rest = m_received.takeAll();
        emit bytesDiscarded(rest, rest.size(), rest.count(kEndOfRead));
    }
    emit replyReceived(*reply);
}

void SerialLink::handleReadyRead()
{
    m_nothingPending = false;
    m_received.append(m_port.readAll());
    deliverIfComplete();
}

void SerialLink::handleReadTimeout()
{
    if (!m_reading)
        return; // a time-out that lost the race with a reply
    m_reading = false;
    if (!m_received.isEmpty()) {
        emit replyReceived(m_received.takeAll());
        return;
    }
    m_error = {Error::Kind::Timeout, deviceName(), tr("no answer within %1 ms").arg(m_readTimeout.count())};
    m_unansweredOn = deviceName();
    emit readFailed();
}

void SerialLink::handlePortError(QSerialPort::SerialPortError code)
{
    if (code == QSerialPort::NoError || !m_port.isOpen())
        return;
    // Errors while opening are handled by configure(). For a failure of an
    // open port (hang-up, unplugged adapter) the port is closed at once: a
    // hung-up terminal otherwise keeps signalling the same error forever.
    Error::Kind kind = Error::Kind::HangUp;
    if (code == QSerialPort::WriteError)
        kind = Error::Kind::WriteFailed;
    else if (code == QSerialPort::TimeoutError)
        return; // only the blocking calls raise it; none are used
    // A hang-up shows as a read that finds the end of the device; Qt's error
    // text then carries a stale errno from an earlier call, so name it plainly.
    const QString detail = (code == QSerialPort::ReadError || code == QSerialPort::ResourceError)
        ? tr("the device closed (%1)")
              .arg(code == QSerialPort::ReadError ? QStringLiteral("read error") : QStringLiteral("resource error"))
        : m_port.errorString();
    fail(kind, detail);
}

void SerialLink::fail(Error::Kind kind, const QString &detail)
{
    m_error = {kind, deviceName(), detail};
    // A reply cut off by a failure is no reply.
    m_received.clear();
    m_lowLatency.restore(m_port.handle());
    m_port.close();
    m_drainTimer.stop();
    const bool wasReading = m_reading;
    m_reading = false;
    m_readTimer.stop();
    emit linkFailed();
    if (wasReading)
        emit readFailed();
}
