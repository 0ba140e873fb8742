// The CAPI 2.0 provider record: its resolved entry points, the application number and the
// message last taken; binding, release and unloading of the provider library.
#pragma once

#include <atomic>
#include <cstdint>

#include "capi/result_codes.h"
#include "capi/vendor_messages.h"

namespace capi {

// Entry points with the CAPI 2.0 signatures (results are 32-bit CAPI codes).
using CapiRegisterFn = uint32_t (*)(uint32_t messageBufferSize, uint32_t maxLogicalConnection,
                                    uint32_t maxBDataBlocks, uint32_t maxBDataLen,
                                    uint32_t* applId);
using CapiReleaseFn = uint32_t (*)(uint32_t applId);
using CapiGetManufacturerFn = void (*)(char* buffer);
using CapiGetVersionFn = uint32_t (*)(uint32_t* capiMajor, uint32_t* capiMinor,
                                      uint32_t* manufacturerMajor, uint32_t* manufacturerMinor);
using CapiGetSerialNumberFn = uint32_t (*)(char* buffer);
using CapiGetProfileFn = uint32_t (*)(void* buffer, uint32_t controller);
using CapiInstalledFn = uint32_t (*)();
using CapiPutMessageFn = uint32_t (*)(uint32_t applId, const uint8_t* message);
using CapiGetMessageFn = uint32_t (*)(uint32_t applId, const uint8_t** message);
using CapiWaitForSignalFn = uint32_t (*)(uint32_t applId);
// A wait for the next message bounded by timeoutMs; when the time runs out it fails with
// kQueueEmpty.
using CapiWaitForSignalWithinFn = uint32_t (*)(uint32_t applId, uint32_t timeoutMs);
// The bytes that arrived for the message last taken, as the platform measured them.
using CapiArrivedLengthFn = size_t (*)(uint32_t applId);

struct CapiProvider {
  CapiRegisterFn CAPI_REGISTER;
  CapiReleaseFn CAPI_RELEASE;
  CapiGetManufacturerFn CAPI_GET_MANUFACTURER;
  CapiGetVersionFn CAPI_GET_VERSION;
  CapiGetSerialNumberFn CAPI_GET_SERIAL_NUMBER;
  CapiGetProfileFn CAPI_GET_PROFILE;
  CapiInstalledFn CAPI_INSTALLED;
  CapiPutMessageFn CAPI_PUT_MESSAGE;
  CapiGetMessageFn CAPI_GET_MESSAGE;
  CapiWaitForSignalFn CAPI_WAIT_FOR_SIGNAL;
  // Filled by the platform beside the ten standard entry points; may be null, and then the
  // start-up queries wait without a bound.
  CapiWaitForSignalWithinFn waitForSignalWithin;
  // Filled where the platform measures what arrives (a stream of frames); null where the
  // provider hands over whole messages, each as long as its own length word says.
  CapiArrivedLengthFn arrivedLength;
  // Filled where a provider can place reply data in this process's memory; null where none can.
  ReplyDataLocator replyDataAt;
  uint32_t applId;
  const uint8_t* receivedMessage;
  // The bytes that arrived for receivedMessage: no reader looks beyond them.
  size_t receivedLength;
};

extern CapiProvider capiProvider;

// The ten CAPI 2.0 entry points, in resolution order: the index of each in kEntryPointNames
// and in the platforms' export tables.
enum EntryPoint : int {
  kEntryRegister,
  kEntryRelease,
  kEntryGetManufacturer,
  kEntryGetVersion,
  kEntryGetSerialNumber,
  kEntryGetProfile,
  kEntryInstalled,
  kEntryPutMessage,
  kEntryGetMessage,
  kEntryWaitForSignal,
  kEntryPointCount
};

// The CAPI 2.0 export names, indexed by EntryPoint.
extern const char* const kEntryPointNames[kEntryPointCount];

// Loads the provider, resolves it, checks the installation and registers the application.
// 0 on success; -1 after its message box otherwise (and a console line when the library
// cannot be loaded or lacks an entry point).
int BindCapiProvider();

// Takes the next message into receivedMessage and receivedLength (0 when the take failed);
// returns the full result of CAPI_GET_MESSAGE.
uint32_t TakeMessage();

// Releases the application; a failure is shown in a message box and shutdown goes on.
void ReleaseApplication();

// Unloads the provider library, unless the receive thread may still be inside it.
void UnloadCapiProvider();

// Set by the receive thread while it is inside a provider call, so that unloading frees the
// library only when the thread is outside it (and leaves it mapped while it stays blocked).
extern std::atomic<int32_t> receiveThreadInProvider;
// Its values: the thread is outside / inside the provider, or the library is unloaded (and
// the thread must not enter it again).
constexpr int32_t kThreadOutsideProvider = 0;
constexpr int32_t kThreadInsideProvider = 1;
constexpr int32_t kProviderUnloaded = -1;

}  // namespace capi
