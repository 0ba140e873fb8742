// Each application's simulated trace traffic: the lines of its controllers' simulated lines, at
// its rate with some jitter, while its output queue is short.
#include "emulator/trace_traffic.h"

#include <chrono>
#include <string>

namespace emu {

namespace {

constexpr size_t kTrafficBelow = 64 * 1024;  // simulated traffic waits while more is pending

// A random factor in 0.3..1.7 for the spacing of trace lines.
double Jitter(Connection& c) {
  c.rng = c.rng * 1103515245u + 12345u;
  return 0.3 + 1.4 * ((c.rng >> 8) & 0xFFFF) / 65535.0;
}

}  // namespace

void RunTraffic(Connection& c, TimePoint now) {
  if (!c.registered || c.closing || c.rate <= 0 || !AnyDecoder(c)) return;
  while (now >= c.nextTrace && Pending(c) < kTrafficBelow) {
    for (size_t tries = 0; tries < c.controllers.size(); ++tries) {
      size_t k = c.nextController;
      c.nextController = k + 1 < c.controllers.size() ? k + 1 : 1;
      std::string body;
      if (c.controllers[k].line->NextBody(c.controllers[k].decoders, body)) {
        SendTrace(c, static_cast<uint8_t>(k), body);
        break;
      }
    }
    auto step = std::chrono::microseconds(static_cast<long>(1e6 / c.rate * Jitter(c)));
    c.nextTrace = now - c.nextTrace > std::chrono::seconds(1) ? now + step : c.nextTrace + step;
  }
}

bool TrafficWaitsForTime(const Connection& c) {
  return c.rate > 0 && AnyDecoder(c) && Pending(c) < kTrafficBelow;
}

}  // namespace emu
