// Conversions between code page 437 bytes and UTF-8 / Unicode.
#include "platform/linux/cp437.h"

namespace platform {

// Line feed, carriage return and tab stay themselves on the way out; other bytes show their
// glyph.
size_t Cp437ToUtf8(unsigned char byte, char* out) {
  char32_t c = (byte == '\n' || byte == '\r' || byte == '\t') ? byte : kCp437ToUnicode[byte];
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  out[0] = static_cast<char>(0xE0 | (c >> 12));
  out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[2] = static_cast<char>(0x80 | (c & 0x3F));
  return 3;
}

// ASCII maps to itself; the rest is looked up in the upper half of the table.
unsigned char UnicodeToCp437(char32_t character) {
  if (character < 0x80) return static_cast<unsigned char>(character);
  for (int byte = 0x80; byte < 0x100; ++byte) {
    if (kCp437ToUnicode[byte] == character) return static_cast<unsigned char>(byte);
  }
  return '?';
}

}  // namespace platform
