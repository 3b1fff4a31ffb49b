#pragma once

#include "core/update/lane.h"
#include "core/update/updatesequence.h"

#include <chrono>

// The update's timings shortened for tests: ten erase ticks of 2 ms and a
// 10 ms hand-over, so a whole update takes milliseconds. One test keeps the
// product's timings.
inline UpdateSequence::Timings fastTimings()
{
    UpdateSequence::Timings t;
    t.eraseTickInterval = std::chrono::milliseconds(2);
    t.eraseTickCount = 10;
    t.handOverDelay = std::chrono::milliseconds(10);
    return t;
}

// A lane with the shortened timings and a read time-out a loaded machine
// still meets: what the tests of lanes, the command line's and the
// station's, start from.
inline Lane::Settings fastLaneSettings()
{
    Lane::Settings settings;
    settings.timings = fastTimings();
    settings.readTimeout = std::chrono::milliseconds(500);
    return settings;
}
