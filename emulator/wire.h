// The emulator's side of the remote CAPI wire: frames, the rcapi control messages and the two
// vendor messages it sends (ADAPTER_CONF, DEBUG_IND).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace emu {

// CAPI commands of the remote wire's own requests and of the vendor messages.
constexpr uint8_t kCmdRegister = 0xF2;
constexpr uint8_t kCmdManufacturer = 0xFA;
constexpr uint8_t kCmdVersion = 0xFC;
constexpr uint8_t kCmdSerial = 0xFE;
constexpr uint8_t kCmdProfile = 0xE0;
constexpr uint8_t kCmdAdapter = 0x18;
constexpr uint8_t kCmdDebug = 0x19;
constexpr uint8_t kSubRequest = 0x00;
constexpr uint8_t kSubConf = 0x01;
constexpr uint8_t kSubInd = 0x02;
constexpr uint8_t kSubWire = 0xFF;

// Info words the emulator answers with (the CAPI 2.0 meaning as the name).
constexpr uint16_t kInfoTooManyApplications = 0x1001;  // a refused registration
constexpr uint16_t kInfoIllegalController = 0x2002;    // illegal controller, PLCI or NCCI
constexpr uint16_t kInfoOutOfPlci = 0x2003;            // out of PLCI
constexpr uint16_t kInfoIllegalParameter = 0x2007;     // illegal message parameter coding
constexpr uint16_t kInfoFacilityNotSupported = 0x300B;

constexpr size_t kHeaderLength = 8;
constexpr size_t kAdapterConfHeaderLength = 18;
constexpr size_t kDebugIndTextOffset = 13;
// The longest trace text the firmware sends.
constexpr size_t kMaxTraceText = 127;

// Little-endian field access on a message held in a string.
uint16_t GetU16(const std::string& m, size_t offset);
uint8_t GetU8(const std::string& m, size_t offset);
uint32_t GetU32(const std::string& m, size_t offset);
void PutU16(std::string& m, size_t offset, uint16_t value);
void PutU32(std::string& m, size_t offset, uint32_t value);

// A new message of length bytes with the CAPI header filled in (total length = length).
std::string NewMessage(size_t length, uint16_t applId, uint8_t command, uint8_t subcommand,
                       uint16_t number);

// The message wrapped in its frame: 2-byte big-endian length counting itself, then the message.
std::string Frame(const std::string& message);

// Takes the next whole frame's message out of buffer (consuming it); false while none is whole.
// A frame length below 2 cannot be resynchronised: badFrame is set and nothing is consumed.
bool TakeFrame(std::string& buffer, std::string& message, bool& badFrame);

// ADAPTER_CONF for a request: reply data inline after the 18 bytes, data address 0.
std::string AdapterConf(uint16_t applId, uint16_t number, uint8_t controller, uint8_t type,
                        uint16_t info, const std::string& data);

// DEBUG_IND carrying one trace text (no terminator); text longer than 255 bytes is cut.
std::string DebugInd(uint8_t controller, const std::string& text);

// Answer to one of the wire's own requests (register, manufacturer, version, serial, profile).
std::string RegisterConf(uint16_t applId, uint16_t info);
std::string WireReply(uint8_t requestCommand, const std::string& data);

// "hh:mm:ss.mmm " of the current local time: the 13-character head of every trace text.
std::string TraceHead();

// Bytes as lower-case hex pairs separated by blanks.
std::string ToHex(const std::string& bytes);

// Parses hex pairs (blanks and an optional 0x before a pair allowed); false on a bad digit or
// an odd count.
bool ParseHex(const std::string& text, std::string& bytes);

}  // namespace emu
