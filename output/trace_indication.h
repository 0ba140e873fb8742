// Turns one received message into one trace line for the log and the output region.
#pragma once

#include <cstdint>

namespace output {

// Handles one message taken by the receive thread (any kind). Reads only inside the message.
void HandleDebugIndication(const uint8_t* message);

}  // namespace output
