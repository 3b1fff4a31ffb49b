// The driver's low-latency flag on Linux, through the serial ioctls.
#include "core/link/lowlatency.h"

#include <cerrno>

#include <linux/serial.h>
#include <sys/ioctl.h>

using namespace Qt::Literals::StringLiterals;

LowLatency::Platform LowLatency::systemPlatform()
{
    Platform platform;
    platform.sysfsRoot = u"/sys"_s;
    platform.readFlag = [](LowLatency::Handle handle, bool *lowLatency) {
        serial_struct serial{};
        if (::ioctl(handle, TIOCGSERIAL, &serial) != 0)
            return errno;
        *lowLatency = (serial.flags & ASYNC_LOW_LATENCY) != 0;
        return 0;
    };
    platform.writeFlag = [](LowLatency::Handle handle, bool lowLatency) {
        // Read again and change the one flag: the driver's other settings
        // (custom divisors, close delays) stay as they are.
        serial_struct serial{};
        if (::ioctl(handle, TIOCGSERIAL, &serial) != 0)
            return errno;
        if (lowLatency)
            serial.flags |= ASYNC_LOW_LATENCY;
        else
            serial.flags &= ~ASYNC_LOW_LATENCY;
        if (::ioctl(handle, TIOCSSERIAL, &serial) != 0)
            return errno;
        return 0;
    };
    return platform;
}
