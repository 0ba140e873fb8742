// The script's fault actions: a flood of texts, a frame stalled halfway, an oversized frame,
// malformed messages, and dropping the connection.
#pragma once

#include <cstdint>

#include "emulator/connection.h"

namespace emu {

// Starts a flood of count texts on the connection's last controller.
void StartFlood(Connection& c, long count);

// Queues the next flood frame once the output before it is out, so that every frame of a flood
// goes to the socket in a send of its own, as fast as the socket takes them.
void RefillFlood(Connection& c);

// Arms a stall: once the output before it is out, the first split bytes of a frame go out (half
// the frame when split is not above 0) and the rest ms milliseconds later.
void ArmStall(Connection& c, long ms, long split);

// Moves an armed stall on at now; true while it holds up the script.
bool StallHolds(Connection& c, TimePoint now);

// Queues one whole frame announcing frameLength bytes: a DEBUG_IND padded with text.
void SendOversize(Connection& c, long frameLength);

// Queues count malformed messages, each in a correct frame, from a generator seeded with seed.
void SendGarbage(Connection& c, long count, unsigned seed);

// Closes the connection once its output is out.
void Drop(Connection& c);

// True when a dropped connection's output, stalled bytes included, is all out.
bool DropDone(const Connection& c);

}  // namespace emu
