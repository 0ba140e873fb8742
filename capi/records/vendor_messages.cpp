// Building and reading the four vendor messages, byte by byte at fixed offsets.
#include "capi/records/vendor_messages.h"

#include <cstring>

#include "capi/records/vendor_messages_internal.h"

namespace capi {

namespace {
// Offsets shared by the vendor layouts.
constexpr size_t kOffsetApplId = 2;
constexpr size_t kOffsetCommand = 4;
constexpr size_t kOffsetSubcommand = 5;
constexpr size_t kOffsetMessageNumber = 6;
constexpr size_t kOffsetController = 8;
// A request's type or kind; a DEBUG_IND's text-present flag.
constexpr size_t kOffsetRequestType = 9;
constexpr size_t kOffsetTextPresent = 9;
// A request's data length; a DEBUG_IND's text length byte.
constexpr size_t kOffsetDataLength = 10;
constexpr size_t kOffsetTextLength = 10;
constexpr size_t kOffsetDataAddress = 12;
constexpr size_t kOffsetReplyAreaSize = 16;
constexpr uint8_t kFirmwareCommandForm = 0x02;

// Writes a little-endian 16-bit word.
void PutWord(uint8_t* out, size_t offset, uint16_t value) {
  out[offset] = static_cast<uint8_t>(value);
  out[offset + 1] = static_cast<uint8_t>(value >> 8);
}

// Writes a little-endian 32-bit word.
void PutDword(uint8_t* out, size_t offset, uint32_t value) {
  PutWord(out, offset, static_cast<uint16_t>(value));
  PutWord(out, offset + 2, static_cast<uint16_t>(value >> 16));
}

// Writes the common header.
void PutHeader(uint8_t* out, uint16_t totalLength, uint16_t applId, uint8_t command,
               uint8_t subcommand, uint16_t messageNumber) {
  PutWord(out, 0, totalLength);
  PutWord(out, kOffsetApplId, applId);
  out[kOffsetCommand] = command;
  out[kOffsetSubcommand] = subcommand;
  PutWord(out, kOffsetMessageNumber, messageNumber);
}
}  // namespace

size_t ReceivedLength(const uint8_t* message, size_t arrived) {
  if (message == nullptr || arrived < 2) return 0;
  size_t length = static_cast<size_t>(message[0]) | (static_cast<size_t>(message[1]) << 8);
  if (length > arrived) length = arrived;
  return length < kMaxReceivedMessageLength ? length : kMaxReceivedMessageLength;
}

uint8_t ReceivedByte(const uint8_t* message, size_t arrived, size_t offset) {
  return offset < ReceivedLength(message, arrived) ? message[offset] : 0;
}

uint16_t ReceivedWord(const uint8_t* message, size_t arrived, size_t offset) {
  if (offset + 2 > ReceivedLength(message, arrived)) return 0;
  return static_cast<uint16_t>(message[offset] | (message[offset + 1] << 8));
}

bool IsMessageOfKind(const uint8_t* message, size_t arrived, uint8_t command, uint8_t subcommand) {
  return ReceivedLength(message, arrived) > kOffsetSubcommand &&
         message[kOffsetCommand] == command && message[kOffsetSubcommand] == subcommand;
}

uint16_t ReceivedMessageNumber(const uint8_t* message, size_t arrived) {
  return ReceivedWord(message, arrived, kOffsetMessageNumber);
}

bool ReadDebugIndication(const uint8_t* message, size_t arrived, DebugIndication& out) {
  size_t readable = ReceivedLength(message, arrived);
  out.command = ReceivedByte(message, readable, kOffsetCommand);
  out.subcommand = ReceivedByte(message, readable, kOffsetSubcommand);
  out.controller = static_cast<int8_t>(ReceivedByte(message, readable, kOffsetController));
  out.textPresent = ReceivedByte(message, readable, kOffsetTextPresent) != 0;
  out.textLength = ReceivedByte(message, readable, kOffsetTextLength);
  out.text = readable > kDebugIndTextOffset ? message + kDebugIndTextOffset : nullptr;
  out.textArrived = readable > kDebugIndTextOffset ? readable - kDebugIndTextOffset : 0;
  return IsMessageOfKind(message, readable, kCommandDebug, kSubIndication);
}

size_t BuildAdapterRequest(uint8_t (&out)[kAdapterReqLength], uint16_t applId,
                           uint16_t messageNumber, uint8_t controller, uint8_t requestType,
                           uint16_t requestDataLength, uint32_t replyAddress,
                           uint16_t replyAreaSize) {
  PutHeader(out, kAdapterReqLength, applId, kCommandAdapter, kSubRequest, messageNumber);
  out[kOffsetController] = controller;
  out[kOffsetRequestType] = requestType;
  PutWord(out, kOffsetDataLength, requestDataLength);
  PutDword(out, kOffsetDataAddress, replyAddress);
  PutWord(out, kOffsetReplyAreaSize, replyAreaSize);
  return kAdapterReqLength;
}

size_t BuildDebugRequest(uint8_t* out, size_t capacity, uint16_t applId, uint8_t controller,
                         uint8_t requestKind, const uint8_t* payload, uint8_t payloadLength) {
  size_t total = kDebugReqHeaderLength + payloadLength;
  if (total > capacity) return 0;
  // Nothing answers a DEBUG_REQ with a confirmation: it goes unnumbered.
  PutHeader(out, static_cast<uint16_t>(total), applId, kCommandDebug, kSubRequest, 0);
  out[kOffsetController] = controller;
  out[kOffsetRequestType] = requestKind;
  out[kOffsetDataLength] = payloadLength;
  if (payloadLength > 0) std::memcpy(out + kDebugReqHeaderLength, payload, payloadLength);
  return total;
}

size_t BuildCommandPayload(uint8_t (&out)[kMaxCommandTextLength + 2], const char* text) {
  size_t length = strnlen(text, kMaxCommandTextLength);
  out[0] = kFirmwareCommandForm;
  std::memcpy(out + 1, text, length);
  out[length + 1] = 0;
  return length + 2;
}

int TakeAdapterConfData(const uint8_t* message, size_t arrived, ReplyDataLocator locate,
                        uint8_t (&infoBuffer)[kInfoBufferSize]) {
  size_t length = ReceivedLength(message, arrived);
  if (length < kOffsetDataAddress + 4) return -1;
  uint32_t address =
      static_cast<uint32_t>(ReceivedWord(message, length, kOffsetDataAddress)) |
      (static_cast<uint32_t>(ReceivedWord(message, length, kOffsetDataAddress + 2)) << 16);
  size_t count = ReceivedWord(message, length, kOffsetDataLength);
  if (count > kInfoBufferSize) count = kInfoBufferSize;
  if (address != 0 && locate != nullptr) {
    const uint8_t* source = locate(address);
    if (source == nullptr) return -1;
    if (source != infoBuffer && count > 0) std::memcpy(infoBuffer, source, count);
    return static_cast<int>(count);
  }
  // Inline data: take what the message really holds.
  size_t inlineBytes = length > kAdapterConfHeaderLength ? length - kAdapterConfHeaderLength : 0;
  if (count > inlineBytes) count = inlineBytes;
  // An address with nothing behind the header names data no provider could place here: the
  // reply brings none (and the buffer holds no earlier reply's either).
  if (address != 0 && count == 0) return -1;
  if (count > 0) std::memcpy(infoBuffer, message + kAdapterConfHeaderLength, count);
  return static_cast<int>(count);
}

}  // namespace capi
