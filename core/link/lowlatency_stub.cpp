// Systems without sysfs: on Windows the adapter's latency timer is a setting
// of its driver (the port's advanced settings in the Device Manager), which
// a program does not change. Nothing is asked, nothing is given back.
#include "core/link/lowlatency.h"

#include <cerrno>

LowLatency::Platform LowLatency::systemPlatform()
{
    Platform platform;
    platform.readFlag = [](LowLatency::Handle, bool *) { return ENOTSUP; };
    platform.writeFlag = [](LowLatency::Handle, bool) { return ENOTSUP; };
    return platform;
}
