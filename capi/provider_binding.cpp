// Binding, release and unloading of the CAPI 2.0 provider library.
#include "capi/provider_binding.h"

#include "control/records/control_block.h"
#include "output/print.h"
#include "platform/console.h"
#include "platform/provider_library.h"
#include "platform/system.h"

namespace capi {

std::atomic<int32_t> receiveThreadInProvider{0};

namespace {
// Handles up to this value are failed loads (a null handle among them).
constexpr uintptr_t kLastFailedHandle = 32;

// The registration: the message buffer's size, one logical connection, and room for 10
// B-channel data blocks of 130 bytes each (the program opens no B channel).
constexpr uint32_t kMessageBufferSize = 2048;
constexpr uint32_t kMaxLogicalConnections = 1;
constexpr uint32_t kMaxBDataBlocks = 10;
constexpr uint32_t kMaxBDataLength = 130;

// The provider failed the installation test or the registration (result): its message box
// (format takes the result) and the platform's word on why; -1. A failure that only means
// the program was asked to end meanwhile shows nothing.
int ProviderRefused(const char* format, uint32_t result) {
  if (platform::TerminationRequested()) return -1;
  output::PrintBox(platform::Severity::kError, format, static_cast<unsigned long>(result));
  platform::ExplainBindingFailure();
  return -1;
}

// The index of the first of the six called entry points that the library lacks, or -1.
int MissingCalledEntryPoint(const CapiProvider& provider) {
  const struct {
    EntryPoint index;
    bool present;
  } called[] = {{kEntryRegister, provider.CAPI_REGISTER != nullptr},
                {kEntryRelease, provider.CAPI_RELEASE != nullptr},
                {kEntryInstalled, provider.CAPI_INSTALLED != nullptr},
                {kEntryPutMessage, provider.CAPI_PUT_MESSAGE != nullptr},
                {kEntryGetMessage, provider.CAPI_GET_MESSAGE != nullptr},
                {kEntryWaitForSignal, provider.CAPI_WAIT_FOR_SIGNAL != nullptr}};
  for (const auto& entry : called) {
    if (!entry.present) return entry.index;
  }
  return -1;
}
}  // namespace

int BindCapiProvider() {
  control::ControlBlock& cb = control::controlBlock;
  const char* name = platform::ProviderLibraryName();
  cb.capiModule = platform::LoadProviderLibrary(name);
  if (cb.capiModule <= kLastFailedHandle) {
    output::PrintBox(platform::Severity::kError, "Cannot load %s (%u)", name,
                     static_cast<unsigned>(cb.capiModule));
    output::PrintError("LINKSPY: LoadLibrary (%s) failed\n", name);
    platform::ExplainLoadFailure();
    return -1;
  }
  platform::ResolveProviderEntryPoints(cb.capiModule, capiProvider);
  // Nothing is ever called through an entry point the library lacks.
  int missing = MissingCalledEntryPoint(capiProvider);
  if (missing >= 0) {
    output::PrintBox(platform::Severity::kError, "Cannot load %s: entry point %s missing", name,
                     platform::ProviderExportName(missing));
    output::PrintError("LINKSPY: LoadLibrary (%s) failed\n", name);
    return -1;
  }
  uint32_t result = capiProvider.CAPI_INSTALLED();
  cb.lastCapiError = static_cast<int32_t>(result);
  if (result != 0) return ProviderRefused("ZELM CAPI 2.0 not installed", result);
  result = capiProvider.CAPI_REGISTER(kMessageBufferSize, kMaxLogicalConnections, kMaxBDataBlocks,
                                      kMaxBDataLength, &capiProvider.applId);
  cb.lastCapiError = static_cast<int32_t>(result);
  if (result != 0) return ProviderRefused("Application not registered, Error: %lx", result);
  return 0;
}

uint32_t TakeMessage() {
  CapiProvider& p = capiProvider;
  p.receivedLength = 0;
  uint32_t result = p.CAPI_GET_MESSAGE(p.applId, &p.receivedMessage);
  if ((result & 0xFFFF) != 0) return result;
  size_t arrived =
      p.arrivedLength != nullptr ? p.arrivedLength(p.applId) : kMaxReceivedMessageLength;
  p.receivedLength = ReceivedLength(p.receivedMessage, arrived);
  return result;
}

bool MessageWaiting() {
  const CapiProvider& p = capiProvider;
  return p.messageWaiting != nullptr && p.messageWaiting(p.applId);
}

void ReleaseApplication() {
  uint32_t result = capiProvider.CAPI_RELEASE(capiProvider.applId);
  control::controlBlock.lastCapiError = static_cast<int32_t>(result);
  if (result != 0) {
    output::PrintBox(platform::Severity::kError, "Application not deregistered, Error: %lx",
                     static_cast<unsigned long>(result));
  }
}

void UnloadCapiProvider() {
  uintptr_t module = control::controlBlock.capiModule;
  if (module <= kLastFailedHandle) return;
  // Claim the library from the receive thread: this fails while the thread is inside it,
  // and once it succeeds the thread never enters it again. A thread still blocked in the
  // provider keeps the library mapped until the process ends.
  int32_t outside = kThreadOutsideProvider;
  if (!receiveThreadInProvider.compare_exchange_strong(outside, kProviderUnloaded)) return;
  platform::UnloadProviderLibrary(module);
}

}  // namespace capi
