// Frames and message layouts of the remote CAPI wire as the emulator sends and reads them.
#include "emulator/wire.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

namespace emu {

// Byte at offset, 0 outside the message.
uint8_t GetU8(const std::string& m, size_t offset) {
  return offset < m.size() ? static_cast<uint8_t>(m[offset]) : 0;
}

// Little-endian word at offset, 0 outside the message.
uint16_t GetU16(const std::string& m, size_t offset) {
  return static_cast<uint16_t>(GetU8(m, offset) | (GetU8(m, offset + 1) << 8));
}

// Little-endian double word at offset, 0 outside the message.
uint32_t GetU32(const std::string& m, size_t offset) {
  return GetU16(m, offset) | static_cast<uint32_t>(GetU16(m, offset + 2)) << 16;
}

// Stores a little-endian word; the message must be long enough.
void PutU16(std::string& m, size_t offset, uint16_t value) {
  m[offset] = static_cast<char>(value & 0xFF);
  m[offset + 1] = static_cast<char>(value >> 8);
}

// Stores a little-endian double word; the message must be long enough.
void PutU32(std::string& m, size_t offset, uint32_t value) {
  PutU16(m, offset, static_cast<uint16_t>(value & 0xFFFF));
  PutU16(m, offset + 2, static_cast<uint16_t>(value >> 16));
}

// A zero-filled message with its CAPI header.
std::string NewMessage(size_t length, uint16_t applId, uint8_t command, uint8_t subcommand,
                       uint16_t number) {
  std::string m(length < kHeaderLength ? kHeaderLength : length, '\0');
  PutU16(m, 0, static_cast<uint16_t>(length));
  PutU16(m, 2, applId);
  m[4] = static_cast<char>(command);
  m[5] = static_cast<char>(subcommand);
  PutU16(m, 6, number);
  return m;
}

// Prefixes the big-endian frame length, which counts its own two bytes.
std::string Frame(const std::string& message) {
  size_t length = message.size() + 2;
  std::string f;
  f.reserve(length);
  f.push_back(static_cast<char>((length >> 8) & 0xFF));
  f.push_back(static_cast<char>(length & 0xFF));
  f += message;
  return f;
}

// Splits the next complete frame off the receive buffer.
bool TakeFrame(std::string& buffer, std::string& message, bool& badFrame) {
  badFrame = false;
  if (buffer.size() < 2) return false;
  size_t length = (static_cast<uint8_t>(buffer[0]) << 8) | static_cast<uint8_t>(buffer[1]);
  if (length < 2) {
    badFrame = true;
    return false;
  }
  if (buffer.size() < length) return false;
  message.assign(buffer, 2, length - 2);
  buffer.erase(0, length);
  return true;
}

// ADAPTER_CONF with the reply data inline; the total length counts the data.
std::string AdapterConf(uint16_t applId, uint16_t number, uint8_t controller, uint8_t type,
                        uint16_t info, const std::string& data) {
  std::string m =
      NewMessage(kAdapterConfHeaderLength + data.size(), applId, kCmdAdapter, kSubConf, number);
  m[8] = static_cast<char>(controller);
  m[9] = static_cast<char>(type);
  PutU16(m, 10, static_cast<uint16_t>(data.size()));
  PutU32(m, 12, 0);
  PutU16(m, 16, info);
  m.replace(kAdapterConfHeaderLength, data.size(), data);
  return m;
}

// DEBUG_IND: controller, text-present flag 1, text length, two unused bytes, the text.
std::string DebugInd(uint8_t controller, const std::string& text) {
  size_t n = text.size() > 255 ? 255 : text.size();
  std::string m = NewMessage(kDebugIndTextOffset + n, 0, kCmdDebug, kSubInd, 0);
  m[8] = static_cast<char>(controller);
  m[9] = 1;
  m[10] = static_cast<char>(n);
  m.replace(kDebugIndTextOffset, n, text, 0, n);
  return m;
}

// 0xF3/0xFF with the info word at offset 8: 0 accepts the registration.
std::string RegisterConf(uint16_t applId, uint16_t info) {
  std::string m = NewMessage(10, applId, kCmdRegister + 1, kSubWire, 0);
  PutU16(m, 8, info);
  return m;
}

// Answer to 0xFA/0xFC/0xFE (data from offset 9, the library skips byte 8) or 0xE0 (info word
// at offset 8, data from offset 10).
std::string WireReply(uint8_t requestCommand, const std::string& data) {
  size_t offset = requestCommand == kCmdProfile ? 10 : 9;
  std::string m = NewMessage(offset + data.size(), 0, requestCommand + 1, kSubWire, 0);
  m.replace(offset, data.size(), data);
  return m;
}

// Local time with milliseconds, followed by one blank.
std::string TraceHead() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  time_t seconds = tv.tv_sec;
  localtime_r(&seconds, &local);
  char head[32];
  snprintf(head, sizeof head, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min, local.tm_sec,
           static_cast<int>(tv.tv_usec / 1000));
  return head;
}

// Lower-case hex pairs, blank-separated.
std::string ToHex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) out.push_back(' ');
    uint8_t b = static_cast<uint8_t>(bytes[i]);
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

// Value of one hex digit, -1 for anything else.
static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads hex pairs, skipping blanks, commas and 0x prefixes.
bool ParseHex(const std::string& text, std::string& bytes) {
  bytes.clear();
  int high = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == ' ' || c == '\t' || c == ',') {
      if (high >= 0) return false;
      continue;
    }
    if (c == '0' && high < 0 && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
      ++i;
      continue;
    }
    int d = HexDigit(c);
    if (d < 0) return false;
    if (high < 0) {
      high = d;
    } else {
      bytes.push_back(static_cast<char>(high * 16 + d));
      high = -1;
    }
  }
  return high < 0;
}

}  // namespace emu
