// The answers to what an application sends: the wire's own requests, the vendor messages and
// the requests CAPI 2.0 defines, each queued on its connection.
#pragma once

#include <string>

#include "emulator/connection.h"

namespace emu {

// Dispatches one received message by command and subcommand.
void HandleMessage(Connection& c, const std::string& message, TimePoint now);

}  // namespace emu
