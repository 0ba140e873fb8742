// Fuzzes the adapter reply exchange: the awaited reply taken from a provider that serves the
// input, its data taken where no provider can place data in this process, or where one may
// (at the reply area itself or elsewhere in the process). The first input byte chooses the
// provider: bit 0 whether it measures what arrived (then the rest of the input is all that
// arrived, whatever the message claims), bit 1 whether it may place data in this process.
// The rest is the message.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "capi/adapter_exchange.h"
#include "capi/records/capi_provider.h"
#include "capi/records/vendor_messages.h"
#include "fuzz_support.h"

namespace {
// Data a provider placed in this process, at address 2 (address 1 is the reply area itself).
uint8_t placedData[capi::kInfoBufferSize];

const uint8_t* LocateInProcess(uint32_t address) {
  if (address == 1) return capi::infoBuffer;
  return address == 2 ? placedData : nullptr;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietProcess();
  if (size == 0) return 0;
  uint8_t choice = data[0];
  fuzz::PlaceMessage(data + 1, size - 1, (choice & 0x01) != 0);
  fuzz::ServeFromFakeProvider();
  capi::capiProvider.replyDataAt = (choice & 0x02) != 0 ? LocateInProcess : nullptr;
  capi::AwaitAdapterReply(capi::kCommandAdapter, capi::kSubConfirmation);
  fuzz::DropMessage();
  return 0;
}
