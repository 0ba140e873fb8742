// Fuzzes the four start-up queries through the exchange: each reply comes from a provider that
// serves the input. The first input byte picks the query, the board class found before and,
// in bit 4, whether the provider measures what arrived (then the rest of the input is all
// that arrived, whatever the message claims).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "adapter/adapter_info.h"
#include "adapter/adapter_info_internal.h"
#include "capi/adapter_exchange.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietProcess();
  if (size == 0) return 0;
  uint8_t choice = data[0];
  // What an earlier reply left in the reply area, which no query may take for its own.
  std::memset(capi::infoBuffer, 0xA5, sizeof capi::infoBuffer);
  adapter::adapterInfo.boardClass = static_cast<int16_t>((choice >> 2) % 4);
  fuzz::PlaceMessage(data + 1, size - 1, (choice & 0x10) != 0);
  fuzz::ServeFromFakeProvider();
  switch (choice & 0x03) {
    case 0:
      adapter::QueryFirmwareVersion();
      break;
    case 1:
      adapter::QueryAdapterType();
      break;
    case 2:
      adapter::QueryLineInterface();
      break;
    default:
      adapter::QueryProtocol();
      break;
  }
  fuzz::DropMessage();
  return 0;
}
