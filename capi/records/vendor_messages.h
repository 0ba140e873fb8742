// The four vendor messages (ADAPTER_REQ, ADAPTER_CONF, DEBUG_REQ, DEBUG_IND): built and read
// byte by byte, little-endian, at fixed offsets. Every read of a received message stays inside
// its total length and inside the bytes that arrived for it (arrived, as the provider record
// carries it): what lies beyond may be an earlier message's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace capi {

constexpr uint8_t kCommandAdapter = 0x18;
constexpr uint8_t kCommandDebug = 0x19;
constexpr uint8_t kSubRequest = 0x00;
constexpr uint8_t kSubConfirmation = 0x01;
constexpr uint8_t kSubIndication = 0x02;

constexpr uint8_t LINE_CONFIG = 2;
constexpr uint8_t ADAPTER_TYPE = 4;
constexpr uint8_t FIRMWARE_VERSION = 6;

constexpr size_t kInfoBufferSize = 512;
constexpr size_t kAdapterReqLength = 18;
constexpr size_t kAdapterConfHeaderLength = 18;
// The ADAPTER_CONF's info word.
constexpr size_t kAdapterConfInfoOffset = 16;
constexpr size_t kDebugReqHeaderLength = 11;
constexpr size_t kDebugIndTextOffset = 13;
// Where a trace text names its task: text offset 13 (message offset 26).
constexpr size_t kDebugIndTaskTextOffset = 13;
// Longest command text of a firmware command.
constexpr size_t kMaxCommandTextLength = 39;
// Bytes of a received message that the provider guarantees readable.
constexpr size_t kMaxReceivedMessageLength = 2048;

// The reply data of the three adapter requests, as offsets into the reply area.
namespace firmware_version_reply {
constexpr size_t kKind = 0;
constexpr size_t kVersion = 1;
constexpr size_t kBoardFlags = 4;
constexpr size_t kTextLength = 12;
constexpr size_t kText = 13;
}  // namespace firmware_version_reply
namespace adapter_type_reply {
constexpr size_t kBus = 0;
constexpr size_t kVersion = 1;
constexpr size_t kMemoryMb = 2;
constexpr size_t kTrunkFlags = 7;
}  // namespace adapter_type_reply
namespace line_config_reply {
// A little-endian word.
constexpr size_t kLineFlags = 0;
constexpr size_t kProtocol = 2;
constexpr size_t kTei = 3;
}  // namespace line_config_reply

// Where the provider placed reply data that an ADAPTER_CONF names by address; null where no
// provider can place data in this process.
using ReplyDataLocator = const uint8_t* (*)(uint32_t address);

// The readable length of a received message of which arrived bytes came: its total-length
// field, at most arrived and kMaxReceivedMessageLength (0 when not even the field came).
size_t ReceivedLength(const uint8_t* message, size_t arrived);

// Little-endian 16-bit word at offset of a received message, 0 outside it.
uint16_t ReceivedWord(const uint8_t* message, size_t arrived, size_t offset);

// True when the received message has this command and subcommand.
bool IsMessageOfKind(const uint8_t* message, size_t arrived, uint8_t command, uint8_t subcommand);

// The message number of a received message (0 when it did not arrive): a confirmation echoes
// the number of the request it answers.
uint16_t ReceivedMessageNumber(const uint8_t* message, size_t arrived);

// A received message read as a DEBUG_IND. Fields beyond what arrived read as 0.
struct DebugIndication {
  uint8_t command;
  uint8_t subcommand;
  int8_t controller;
  bool textPresent;
  // The text's length byte, as sent: more or fewer bytes than it says may have arrived.
  uint8_t textLength;
  // The bytes from the text's place to the end of what arrived.
  const uint8_t* text;
  size_t textArrived;
};

// Reads message (of which arrived bytes came) into out; true when it is a DEBUG_IND. The
// command and subcommand are filled either way, for the report of a wrong message.
bool ReadDebugIndication(const uint8_t* message, size_t arrived, DebugIndication& out);

// Byte index of the indication's text, 0 beyond what arrived.
inline uint8_t TextByte(const DebugIndication& indication, size_t index) {
  return index < indication.textArrived ? indication.text[index] : 0;
}

// Builds the 18-byte ADAPTER_REQ with its message number into out; returns its length.
size_t BuildAdapterRequest(uint8_t (&out)[kAdapterReqLength], uint16_t applId,
                           uint16_t messageNumber, uint8_t controller, uint8_t requestType,
                           uint16_t requestDataLength, uint32_t replyAddress,
                           uint16_t replyAreaSize);

// Builds a DEBUG_REQ with payloadLength payload bytes into out (capacity bytes); returns its
// length, or 0 when it does not fit.
size_t BuildDebugRequest(uint8_t* out, size_t capacity, uint16_t applId, uint8_t controller,
                         uint8_t requestKind, const uint8_t* payload, uint8_t payloadLength);

// Builds the firmware-command payload (0x02, the text, NUL) into out; returns its length
// (text length + 2). The text is cut at kMaxCommandTextLength characters.
size_t BuildCommandPayload(uint8_t (&out)[kMaxCommandTextLength + 2], const char* text);

// Takes the reply data of an ADAPTER_CONF into infoBuffer, the request's reply area. Data at
// address 0 is inline after the header. Data at another address is read through locate (at
// most the buffer's size; data already in the buffer stays); without a locator the inline
// bytes are the only data there can be. Returns how many bytes of the reply's data are in the
// buffer now, -1 when the reply is unusable or names an address without bringing data.
int TakeAdapterConfData(const uint8_t* message, size_t arrived, ReplyDataLocator locate,
                        uint8_t (&infoBuffer)[kInfoBufferSize]);

}  // namespace capi
