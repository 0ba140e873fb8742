// Fuzzes the adapter reply exchange: the awaited reply taken from a provider that serves the
// input, and the reply data taken from an ADAPTER_CONF for a request that named some address.
// The first four input bytes are that address; the rest is the message.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "capi/adapter_exchange.h"
#include "capi/vendor_messages.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietProcess();
  if (size < 4) return 0;
  uint32_t token;
  std::memcpy(&token, data, sizeof token);
  const uint8_t* message = fuzz::PlaceMessage(data + 4, size - 4);
  fuzz::ServeFromFakeProvider(message);
  capi::AwaitAdapterReply(capi::kCommandAdapter, capi::kSubConfirmation);
  uint8_t info[capi::kInfoBufferSize];
  capi::TakeAdapterConfData(message, token, info);
  fuzz::DropMessage();
  return 0;
}
