// The confirmations of the standard CAPI 2.0 requests (subcommand 0x80): the emulated adapter
// makes no calls, so it accepts LISTEN, reports its supplementary services (none) and turns the
// rest down with the Info a CAPI 2.0 controller gives for them.
#pragma once

#include <cstdint>
#include <string>

namespace emu {

constexpr uint8_t kSubStandardRequest = 0x80;
constexpr uint8_t kSubStandardConf = 0x81;

// Supplementary services the adapter offers (GetSupportedServices mask); none. The profile's
// global option for supplementary services follows it.
constexpr uint32_t kSupportedServices = 0;
constexpr uint32_t kProfileGlobalOptions = 0x0001 | (kSupportedServices ? 0x0010 : 0);

// What a standard request got: its name for the command log, the Info word sent (-1 when its
// confirmation carries none) and the confirmation; no name and no confirmation for a command
// CAPI 2.0 does not define.
struct StandardAnswer {
  const char* name = nullptr;
  int info = -1;
  std::string conf;
};

// The confirmation of one standard request; controllerPresent tells whether the controller in
// its address is emulated.
StandardAnswer ConfirmStandardRequest(const std::string& request, bool controllerPresent);

}  // namespace emu
