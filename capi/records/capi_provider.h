// The CAPI 2.0 provider record: its resolved entry points, the application number and the
// message last taken; and the list of the ten entry points the platforms resolve.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capi/records/result_codes.h"
#include "capi/records/vendor_messages.h"

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
// True when another message can be taken at once, without a wait.
using CapiMessageWaitingFn = bool (*)(uint32_t applId);

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
  // Filled where the platform can tell without waiting that a message is there to take (and
  // so that a take will not block); null where it cannot: then every take follows a wait.
  CapiMessageWaitingFn messageWaiting;
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

}  // namespace capi
