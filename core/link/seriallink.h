#pragma once

#include "core/link/linkerror.h"
#include "core/link/lowlatency.h"
#include "core/link/replyframer.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

#include <chrono>

// The one serial link to the instrument: port choice, opening, writing and
// reading of '*'-terminated replies, built on QSerialPort without blocking.
//
// Use: open() with the port box's text (or setPortNumber()/setDevicePath(),
// setSpeed() and configure()), then write() and read(). read() always answers
// later through replyReceived() or readFailed(), never from inside the call.
class SerialLink : public QObject
{
    Q_OBJECT

public:
    // Every command goes out followed by one line feed.
    static constexpr char kSuffix = '\n';
    // The instrument ends every reply with this character.
    static constexpr char kEndOfRead = '*';
    static constexpr qint32 kSpeed = 115200;
    static constexpr std::chrono::milliseconds kDefaultReadTimeout{3000};
    // Pending output up to this size fits the smallest serial driver's buffer
    // and is handed over at once.
    static constexpr qsizetype kImmediateWriteLimit = 256;

    using Error = LinkError;

    explicit SerialLink(QObject *parent = nullptr);
    ~SerialLink() override;

    // The port as a number, as parsed from a "COM n" text. COM n is COMn on
    // Windows and /dev/ttyS(n-1) elsewhere.
    void setPortNumber(double number);
    // A device opened as it stands (/dev/ttyUSB0, /dev/serial/by-id/..., a pseudo-terminal).
    void setDevicePath(const QString &path);
    // Either of the two above, chosen by the port text of the port box: a
    // device path as it stands, otherwise ParsePortNumber(). False when the
    // text cannot be parsed (too long); error() then says so, and the link is
    // otherwise left as it was.
    bool setPortText(const QString &portText);
    void setSpeed(qint32 baud);
    // The device the next configure() opens, or empty when the port number names none.
    QString deviceName() const;
    // The device a port text names, as open() would take it, links followed:
    // two texts that give the same name open one device. Empty when it names none.
    static QString deviceForPortText(const QString &portText);

    // Everything a link test or an update does before its first command:
    // the port text chosen (setPortText()), the product's speed, configure().
    // False with error() set when the port cannot be used, the port text
    // naming none included.
    bool open(const QString &portText);
    // (Re)opens the port with the number and speed just set, 8N1, no flow
    // control, and drops whatever was received before. Cancels a pending read.
    bool configure();
    // Sends the bytes as they are. False (and error() set) when the link cannot take them.
    bool write(const QByteArray &bytes);
    // Sends a command followed by the suffix. Whatever the instrument sent
    // since the last reply was framed is discarded first: a reply answers the
    // command just sent, and nothing left over may answer it.
    bool writeCommand(const QByteArray &command);
    // Drops every byte received and not yet framed as a reply, also those
    // the operating system holds, reporting them through bytesDiscarded().
    void discardPending();
    // Starts reading one reply: everything up to and including the first '*'.
    // Bytes after that '*' in the same read are discarded. On time-out
    // whatever has arrived is the reply; with nothing, the read fails.
    // The time-out runs from when the last byte written has been handed to
    // the device, as after a blocking write: a long line still queued here
    // does not eat into the instrument's time to answer.
    void read();
    bool isReading() const { return m_reading; }
    // The last command on this device went unanswered within its time-out
    // and nothing has answered since: its answer may still come, and would
    // be taken for the next command's.
    bool mayAnswerLate() const { return !m_unansweredOn.isEmpty() && m_unansweredOn == deviceName(); }
    void cancelRead();
    bool isOpen() const;
    void close();

    // Also the margin a command gets beyond its time on the wire to leave
    // the port: a port that stops taking bytes fails once that has passed.
    void setReadTimeout(std::chrono::milliseconds timeout) { m_readTimeout = timeout; }
    std::chrono::milliseconds readTimeout() const { return m_readTimeout; }
    // The longest a command of this many bytes may take to leave the port.
    std::chrono::milliseconds drainBound(qint64 bytes) const;

    const Error &error() const { return m_error; }

    // configure() asks a USB adapter for low latency (on unless switched off
    // with setWanted(false)); closing gives the old setting back.
    LowLatency &lowLatency() { return m_lowLatency; }
    const LowLatency &lowLatency() const { return m_lowLatency; }

signals:
    // The reply of the pending read.
    void replyReceived(const QByteArray &reply);
    // The pending read ended without a reply; error() tells why.
    void readFailed();
    // A pending read was dropped because the link was reconfigured or closed.
    void readCancelled();
    // Bytes that answered no command: left after a reply, or come since it.
    // `start` holds at most the framer's limit of them; `count` is how many
    // came; `replies` how many '*' were among them, each a whole reply that
    // answered nothing (1 also when a flood was flushed unseen).
    void bytesDiscarded(const QByteArray &start, qint64 count, qint64 replies);
    // The port failed while open (hang-up, write error); it is closed already.
    // Reported once per failure, also when no read is pending.
    void linkFailed();
    // configure() has opened the port; lowLatency().result() tells what came
    // of the request for low latency.
    void lowLatencyDecided();

private:
    void handleReadyRead();
    void handlePortError(QSerialPort::SerialPortError code);
    void handleReadTimeout();
    void handleBytesWritten();
    void handleDrainTimeout();
    void startReadTimerOnceWritten();
    void scheduleDelivery();
    void deliverIfComplete();
    void fail(Error::Kind kind, const QString &detail);

    QSerialPort m_port;
    QString m_devicePath;
    QString m_portText; // as the user gave it, for a message when it names no port
    double m_portNumber = 0;
    bool m_usePath = false;
    qint32 m_speed = kSpeed;
    ReplyFramer m_received{kEndOfRead};
    bool m_reading = false;
    bool m_deliveryScheduled = false;
    QTimer m_readTimer;
    QTimer m_drainTimer;
    bool m_nothingPending = false; // discarded since the last command and the last bytes that came
    qint64 m_drainBytes = 0; // what was waiting to leave when the drain timer started
    std::chrono::milliseconds m_readTimeout = kDefaultReadTimeout;
    Error m_error;
    QString m_unansweredOn; // the device whose last command timed out unanswered
    LowLatency m_lowLatency;
};
