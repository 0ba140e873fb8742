// Each application's simulated trace traffic once a decoder is on.
#pragma once

#include "emulator/connection.h"

namespace emu {

// Emits the simulated line's traffic that is due, one line per turn of the rate.
void RunTraffic(Connection& c, TimePoint now);

// True when the connection's traffic waits only for the time of its next line (nextTrace).
bool TrafficWaitsForTime(const Connection& c);

}  // namespace emu
