// The log writer's test hooks, for log_writer.cpp and its tests only.
#pragma once

#include <cstdint>

namespace output {

// Sets the clock (monotonic ms) that the retry and report intervals are measured on, before
// any writer runs; nullptr is the steady clock, the start value. What a failing rotation
// reported is forgotten.
void SetLogClock(int64_t (*clock)());

// The log size in whole kB found by the last measurement.
int32_t LogSizeKB();

}  // namespace output
