#pragma once

#include "core/update/updatesequence.h"

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
