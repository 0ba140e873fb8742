// The synchronous adapter request exchange of start-up and the sending of DEBUG_REQ messages.
#include "capi/adapter_exchange.h"

#include <atomic>
#include <chrono>

#include "capi/adapter_exchange_internal.h"
#include "capi/provider_binding.h"
#include "capi/records/result_codes.h"
#include "control/records/control_block.h"
#include "output/print.h"
#include "platform/system.h"

namespace capi {

uint8_t infoBuffer[kInfoBufferSize];
size_t infoDataLength = 0;

namespace {
using Clock = std::chrono::steady_clock;

constexpr uint8_t kDownloadScreenForm = 0x01;
constexpr uint8_t kDebugRequestKind = 1;

// The number of the last ADAPTER_REQ put, 0 before the first: the reply to wait for echoes
// it. Written by the main thread, read by the receive thread too.
std::atomic<uint16_t> lastRequestNumber{0};

// Whose answer a received confirmation is, by the number it echoes.
enum class ReplyOwner { kLastRequest, kEarlierRequest, kNoRequest };

// The low word of a CAPI result.
uint16_t LowWord(uint32_t result) {
  return static_cast<uint16_t>(result & 0xFFFF);
}

// The low word as a signed 16-bit value widened to 32 bits, as the exchange prints it.
uint32_t SignedLowWord(uint32_t result) {
  return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(LowWord(result))));
}

// The low 32 bits of an address, as a message's address field carries it.
uint32_t AddressToken(const void* address) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
}

// The number for the next request: one more than the last, never 0 (which reads as unnumbered).
uint16_t NextRequestNumber() {
  uint16_t number = static_cast<uint16_t>(lastRequestNumber.load() + 1);
  if (number == 0) number = 1;
  lastRequestNumber.store(number);
  return number;
}

// 0 is the answer of a firmware that does not number its replies.
ReplyOwner OwnerOf(const uint8_t* message, size_t arrived) {
  uint16_t number = ReceivedMessageNumber(message, arrived);
  uint16_t last = lastRequestNumber.load();
  if (number == 0 || number == last) return ReplyOwner::kLastRequest;
  return number < last ? ReplyOwner::kEarlierRequest : ReplyOwner::kNoRequest;
}

// One wait for the next message, bounded (where the platform can) by what is left until
// deadline, so that a reply that never comes cannot stall start-up.
uint32_t WaitUntil(Clock::time_point deadline) {
  if (capiProvider.waitForSignalWithin == nullptr) {
    return capiProvider.CAPI_WAIT_FOR_SIGNAL(capiProvider.applId);
  }
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  uint32_t leftMs = left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0;
  return capiProvider.waitForSignalWithin(capiProvider.applId, leftMs);
}
}  // namespace

uint32_t SendAdapterRequest(uint32_t applId, uint8_t controller, uint8_t requestType,
                            uint16_t requestDataLength, uint16_t replyAreaSize,
                            uint8_t* replyArea) {
  uint8_t message[kAdapterReqLength];
  BuildAdapterRequest(message, static_cast<uint16_t>(applId), NextRequestNumber(), controller,
                      requestType, requestDataLength, AddressToken(replyArea), replyAreaSize);
  uint32_t result = capiProvider.CAPI_PUT_MESSAGE(applId, message);
  if (LowWord(result) != 0) output::PrintError("ADAPTER_REQ: ReturnCode=%x\n", LowWord(result));
  return result;
}

int32_t AwaitAdapterReply(uint8_t command, uint8_t subcommand) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kAdapterReplyWaitMs);
  infoDataLength = 0;
  for (;;) {
    uint32_t result = WaitUntil(deadline);
    if (LowWord(result) != 0) {
      // A wait cut short by a request to end is no failure of the adapter's.
      if (!platform::TerminationRequested()) {
        output::PrintError("WAIT_FOR_SIGNAL: ReturnCode=0x%X\n", SignedLowWord(result));
      }
      return static_cast<int32_t>(result);
    }
    result = TakeMessage();
    if (LowWord(result) != 0) {
      output::PrintError("GET_MESSAGE: ReturnCode=0x%X\n", SignedLowWord(result));
      return static_cast<int32_t>(result);
    }
    const uint8_t* message = capiProvider.receivedMessage;
    size_t arrived = capiProvider.receivedLength;
    if (!IsMessageOfKind(message, arrived, command, subcommand)) return -1;
    ReplyOwner owner = OwnerOf(message, arrived);
    if (owner == ReplyOwner::kEarlierRequest) continue;
    if (owner == ReplyOwner::kNoRequest) return -1;
    int taken = TakeAdapterConfData(message, arrived, capiProvider.replyDataAt, infoBuffer);
    if (taken < 0) return -1;
    infoDataLength = static_cast<size_t>(taken);
    return 0;
  }
}

bool IsEarlierAdapterReply(const uint8_t* message, size_t arrived) {
  uint16_t number = ReceivedMessageNumber(message, arrived);
  return IsMessageOfKind(message, arrived, kCommandAdapter, kSubConfirmation) && number != 0 &&
         number <= lastRequestNumber.load();
}

uint32_t SendDebugRequest(uint8_t controller, uint8_t requestKind, const uint8_t* payload,
                          uint16_t payloadLength, uint32_t applId) {
  if (payloadLength > UINT8_MAX) return kIllegalMessage;
  uint8_t message[kDebugReqHeaderLength + UINT8_MAX];
  size_t length =
      BuildDebugRequest(message, sizeof message, static_cast<uint16_t>(applId), controller,
                        requestKind, payload, static_cast<uint8_t>(payloadLength));
  if (length == 0) return kIllegalMessage;
  return capiProvider.CAPI_PUT_MESSAGE(applId, message);
}

uint16_t SendDebugCommand(const char* text) {
  uint8_t payload[kMaxCommandTextLength + 2];
  size_t length = BuildCommandPayload(payload, text);
  return LowWord(SendDebugRequest(control::controlBlock.controller, kDebugRequestKind, payload,
                                  static_cast<uint16_t>(length), capiProvider.applId));
}

void RequestDownloadScreen() {
  const uint8_t payload[1] = {kDownloadScreenForm};
  uint32_t result = SendDebugRequest(control::controlBlock.controller, kDebugRequestKind, payload,
                                     1, capiProvider.applId);
  if (LowWord(result) != 0) output::PrintError("download req rc=%x", LowWord(result));
}

}  // namespace capi
