// Fuzzes the DEBUG_IND reader and the trace indication handler with any received message, taken as
// the receive thread takes it. The first input byte sets the display options (controller prefix,
// task filter) and, in its top bit, whether the provider measures what arrived (then the rest of
// the input is all that arrived, whatever the message claims); the rest is the message.
#include <cstddef>
#include <cstdint>

#include "capi/provider_binding.h"
#include "capi/records/vendor_messages.h"
#include "control/records/control_block.h"
#include "fuzz_support.h"
#include "output/log_writer.h"
#include "output/trace_indication.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietProcess();
  if (size == 0) return 0;
  uint8_t options = data[0];
  control::ControlBlock& cb = control::controlBlock;
  cb.showControllerNo = options & 0x01;
  cb.filterEnabled = (options >> 1) & 0x01;
  // Filters of every length, the empty one included.
  const char* filters = "L2DL3E";
  control::StoreFilterText(filters, ((options >> 2) & 0x1F) % (control::MAX_FILTER_LEN + 1));
  fuzz::PlaceMessage(data + 1, size - 1, (options & 0x80) != 0);
  fuzz::ServeFromFakeProvider();
  const capi::CapiProvider& provider = capi::capiProvider;
  if (capi::TakeMessage() == 0) {
    // The layout reader the handler reads through never reaches past what arrived.
    capi::DebugIndication indication;
    capi::ReadDebugIndication(provider.receivedMessage, provider.receivedLength, indication);
    if (indication.textArrived > 0 && indication.text + indication.textArrived >
                                          provider.receivedMessage + provider.receivedLength) {
      __builtin_trap();
    }
    output::HandleDebugIndication(provider.receivedMessage, provider.receivedLength);
    output::LogPass();
  }
  fuzz::DropMessage();
  return 0;
}
