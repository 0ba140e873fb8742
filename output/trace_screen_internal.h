// The count of a hold, for trace_screen.cpp and its tests only.
#pragma once

#include <cstdint>

namespace output {

// Trace lines that arrived since the hold began (0 when output is not held).
int64_t HeldLineCount();

}  // namespace output
