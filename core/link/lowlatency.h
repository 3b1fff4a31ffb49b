#pragma once

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QStringList>

#include <functional>
#include <utility>

// Asks the driver of a USB serial adapter to hand received bytes on at once,
// and gives the old setting back when the port is let go. An adapter holds
// what it receives until its latency timer expires (16 ms on the common FTDI
// chips); with one acknowledgement per firmware line every line then waits
// for that timer, about four times its wire time at 115200 baud.
//
// On Linux, for a tty whose sysfs device sits on USB: the driver's
// ASYNC_LOW_LATENCY flag (TIOCGSERIAL/TIOCSSERIAL), and the device's
// latency_timer where the driver has one. Anything else is left as it is.
class LowLatency
{
    Q_GADGET

public:
    // The port's descriptor as QSerialPort::handle() gives it: an int on
    // POSIX systems, a HANDLE on Windows.
    using Handle = decltype(std::declval<QSerialPort>().handle());

    enum class State {
        Off, // not asked for (switched off)
        Set, // the driver took the request
        NotUsb, // no USB adapter: a pseudo-terminal, a built-in UART, or no sysfs
        Refused, // a USB adapter whose driver or sysfs refused
    };
    Q_ENUM(State)

    // What came of the last request, for a front end to show.
    struct Result
    {
        State state = State::Off;
        QString detail; // what was changed, or why nothing was
        // "set (...)", "not a USB adapter (...)", "refused: permission denied", "off"
        QString describe() const;
    };

    // The system's side, replaceable so that tests need no adapter: the root
    // of the sysfs tree and the driver's low-latency flag of an open port.
    struct Platform
    {
        // "/sys" on Linux; empty where there is none (nothing is then a USB adapter).
        QString sysfsRoot;
        // Each returns 0 or the errno of the failed call.
        std::function<int(Handle handle, bool *lowLatency)> readFlag;
        std::function<int(Handle handle, bool lowLatency)> writeFlag;
    };

    // latency_timer holds milliseconds in one byte: "255\n" at most.
    static constexpr qint64 kMaxTimerText = 8;
    // The lowest setting that still lets the chip gather a burst into one
    // USB packet; 1 ms is also what the driver flag stands for.
    static constexpr int kLowTimerMs = 1;
    static constexpr int kMaxTimerMs = 255;

    // This system's calls: lowlatency_lin.cpp, or lowlatency_stub.cpp elsewhere.
    static Platform systemPlatform();

    void setPlatform(Platform platform) { m_platform = std::move(platform); }
    // Off: request() leaves the port alone and says so.
    void setWanted(bool wanted) { m_wanted = wanted; }
    bool isWanted() const { return m_wanted; }

    // For a port just opened on `device`, its own path (symbolic links
    // already resolved, so that the name is the tty's). What an earlier
    // request changed must have been given back first (restore()).
    const Result &request(Handle handle, const QString &device);
    // Gives back what the last request() changed, once. Called while the port
    // is still open; after a hang-up the handle may be dead and the sysfs
    // entry gone, and a failure here changes nothing more.
    void restore(Handle handle);
    const Result &result() const { return m_result; }

private:
    // Lowers latency_timer if there is one; true when it is low afterwards.
    bool requestTimer(const QString &timerPath, QStringList *changed, QStringList *failed);

    Platform m_platform = systemPlatform();
    bool m_wanted = true;
    Result m_result;
    bool m_flagChanged = false;
    QString m_timerPath; // the latency_timer that was lowered, empty if none
    QByteArray m_timerBefore;
};
