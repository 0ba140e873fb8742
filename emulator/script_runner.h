// The script runner: carries out a connection's script actions in order, from its registration
// on, until one has to wait.
#pragma once

#include "emulator/connection.h"

namespace emu {

// Runs the connection's next script actions until one has to wait or the script is done.
void RunScript(Connection& c, TimePoint now);

}  // namespace emu
