// Turns one received message into one trace line for the log and the output region.
#pragma once

#include <cstddef>
#include <cstdint>

namespace output {

// Handles one message taken by the receive thread (any kind), of which arrived bytes came.
// Reads only inside the message and inside what arrived. Its trace line is shown at once and
// logged with the receive pass (output::LogPass).
void HandleDebugIndication(const uint8_t* message, size_t arrived);

}  // namespace output
