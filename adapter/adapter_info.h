// Adapter identification: the four start-up queries, their decodings and the start-up report.
#pragma once

#include <cstdint>

namespace adapter {

constexpr int kInfoTextSize = 80;

struct AdapterInfo {
  char firmwareVersionText[kInfoTextSize];
  uint8_t firmwareKind;
  uint8_t firmwareVersion;
  int16_t boardClass;
  char adapterTypeText[kInfoTextSize];
  char lineInterfaceText[kInfoTextSize];
  char protocolText[kInfoTextSize];
};

extern AdapterInfo adapterInfo;

// The whole start-up report with the four adapter queries (main thread, before the receive
// thread starts). computerName is the name read at start-up. A termination request ends it
// there: no further query, no report lines.
void IdentifyAdapter(const char* computerName);

}  // namespace adapter
