// The remote CAPI server: one poll loop over the listening socket and every connection, running
// the firmware, the simulated line and the test script of each registered application.
#pragma once

#include <string>
#include <vector>

#include "emulator/adapter_profile.h"
#include "emulator/script.h"

namespace emu {

struct Options {
  int port = 2662;
  AdapterSet adapters;
  bool refuseRegister = false;
  bool ignoreRegister = false;  // registrations get no answer at all
  double rate = 4;              // trace lines per second once a decoder is on; 0: none
  unsigned seed = 1;
  std::vector<Action> script;
  std::string commandLog;
};

// Serves until SIGTERM, SIGINT or a script's exit; returns the process exit status.
int RunServer(const Options& options);

}  // namespace emu
