#include "link/seriallink.h"

#include "link/portholder.h"
#include "link/portnumber.h"
#include "link/printablebytes.h"

#include <QFileInfo>

SerialLink::SerialLink(QObject *parent)
    : QObject(parent)
{
    m_readTimer.setSingleShot(true);
    m_readTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_readTimer, &QTimer::timeout, this, &SerialLink::handleReadTimeout);
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
    if (isDevicePath(portText)) {
        setDevicePath(portText);
        return true;
    }
    const std::optional<double> number = ParsePortNumber(portText);
    if (!number) {
        m_error = {Error::Kind::NoSuchPort, quotedText(portText), tr("the port text names no port")};
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
        m_error = {Error::Kind::NoSuchPort, QStringLiteral("COM %1").arg(m_portNumber),
                   tr("no serial port has this number")};
        return false;
    }
    // Qt takes a bare name as relative to /dev; a full path as it stands.
    // Symbolic links (/dev/serial/by-id/...) are followed so that the lock
    // QSerialPort takes is the device's own.
    QString target = device;
    const QFileInfo info(device);
    if (info.isSymLink())
        target = info.canonicalFilePath().isEmpty() ? device : info.canonicalFilePath();
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
            detail = holder.isEmpty() ? tr("another program has it open") : tr("in use by %1").arg(holder);
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

bool SerialLink::write(const QByteArray &bytes)
{
    if (!m_port.isOpen()) {
        if (m_error.kind == Error::Kind::None)
            m_error = {Error::Kind::NotOpen, deviceName(), tr("the port is not open")};
        return false;
    }
    if (m_port.write(bytes) != bytes.size()) {
        if (m_port.isOpen())  // an error handler may have closed it already
            fail(Error::Kind::WriteFailed, m_port.errorString());
        return false;
    }
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
    QByteArray bytes = command;
    bytes += kSuffix;
    return write(bytes);
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
    if (m_reading && !m_readTimer.isActive() && m_port.bytesToWrite() == 0)
        m_readTimer.start(m_readTimeout);
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
    QMetaObject::invokeMethod(this, [this] {
        m_deliveryScheduled = false;
        if (m_reading && !m_port.isOpen()) {
            m_reading = false;
            m_readTimer.stop();
            emit readFailed();
            return;
        }
        deliverIfComplete();
    }, Qt::QueuedConnection);
}

void SerialLink::deliverIfComplete()
{
    if (!m_reading)
        return;
    if (m_received.overflowed()) {
        // Nothing beyond the limit was kept; what was is shown by its start.
        m_error = {Error::Kind::ReplyTooLong, deviceName(),
                   tr("%1 bytes, then more").arg(m_received.size()) + QStringLiteral(": ")
                       + quotedBytes(m_received.takeAll())};
        m_received.clear();  // the overflow too, not only the bytes
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
    emit replyReceived(*reply);
}

void SerialLink::handleReadyRead()
{
    m_received.append(m_port.readAll());
    deliverIfComplete();
}

void SerialLink::handleReadTimeout()
{
    if (!m_reading)
        return;  // a time-out that lost the race with a reply
    m_reading = false;
    if (!m_received.isEmpty()) {
        emit replyReceived(m_received.takeAll());
        return;
    }
    m_error = {Error::Kind::Timeout, deviceName(), tr("no answer within %1 ms").arg(m_readTimeout.count())};
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
        return;  // only the blocking calls raise it; none are used
    // A hang-up shows as a read that finds the end of the device; Qt's error
    // text then carries a stale errno from an earlier call, so name it plainly.
    const QString detail = (code == QSerialPort::ReadError || code == QSerialPort::ResourceError)
        ? tr("the device closed (%1)").arg(code == QSerialPort::ReadError ? QStringLiteral("read error")
                                                                          : QStringLiteral("resource error"))
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
    const bool wasReading = m_reading;
    m_reading = false;
    m_readTimer.stop();
    emit linkFailed();
    if (wasReading)
        emit readFailed();
}
