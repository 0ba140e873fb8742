// The emulated adapters: what each controller reports in its ADAPTER_CONF replies, set from
// defaults, a profile file and command-line options.
#pragma once

#include <cstdint>
#include <string>

namespace emu {

constexpr int kMaxControllers = 16;

// One controller's identity and line configuration, as the firmware reports them.
struct AdapterProfile {
  uint8_t firmwareKind = 3;
  uint8_t firmwareVersion = 5;
  std::string versionText = "qz7 BRI firmware 2.41 (12.03.1997)";
  uint8_t boardFlags = 0x00;  // bit 1 multi board, bit 2 trunk board
  uint16_t infoWord = 0;
  uint8_t busIndex = 1;  // ISA-S0
  uint8_t memoryMb = 4;
  uint8_t minorVersion = 3;
  uint8_t trunkFlags = 0;
  uint16_t lineFlags = 0x0000;  // point to multipoint
  uint8_t protocolIndex = 1;    // DSS-1
  uint8_t teiByte = 0x00;       // TEI assigned by the network
};

// Controllers 1..count answer; profiles[c] describes controller c.
struct AdapterSet {
  int count = 1;
  AdapterProfile profiles[kMaxControllers + 1];
};

// Applies one "KEY=VALUE" or "C.KEY=VALUE" setting (C a controller number; without it the
// setting holds for every controller; "controllers=N" sets the count). Returns an empty string
// or the reason the setting was refused.
std::string ApplySetting(AdapterSet& set, const std::string& setting);

// Reads a profile file of settings, one a line ('#' starts a comment). Returns an empty string
// or "line N: reason".
std::string LoadProfile(AdapterSet& set, const std::string& path);

// Reply data of an ADAPTER_REQ type (2 LINE_CONFIG, 4 ADAPTER_TYPE, 6 FIRMWARE_VERSION);
// false for other types.
bool ReplyData(const AdapterProfile& profile, uint8_t type, std::string& data);

}  // namespace emu
