// The log writer's core and its test hooks, for log_writer.cpp and its tests only.
#pragma once

#include <cstdint>

#include "platform/console.h"

namespace output {

// Sets the clock (monotonic ms) that the retry and report intervals are measured on, before
// any writer runs; nullptr is the steady clock, the start value. What a failing rotation
// reported is forgotten.
void SetLogClock(int64_t (*clock)());

// The unguarded core; echo > 0 asks for the echo. What of the text reaches standard output
// goes there as severity. Only the guards call it.
void WriteLog(const char* text, int echo, platform::Severity severity);

// The log size in whole kB found by the last measurement.
int32_t LogSizeKB();

}  // namespace output
