// Decoding the CSI and SS3 sequences of the cursor and page keys.
#include "platform/linux/escape_keys.h"

#include "platform/console.h"

namespace platform {

namespace {

// The key of a sequence ending in a letter: the cursor keys and Home/End (the same for CSI and
// SS3; parameters carry only modifiers).
int LetterKey(unsigned char final) {
  switch (final) {
    case 'A':
      return kKeyUp;
    case 'B':
      return kKeyDown;
    case 'H':
      return kKeyHome;
    case 'F':
      return kKeyEnd;
    default:
      return kKeyUnnamed;
  }
}

// The key of "[n~" or "[n;m~" by its first parameter n (VT220 and rxvt numbering).
int TildeKey(const unsigned char* parameters, size_t length) {
  int number = 0;
  for (size_t i = 0; i < length && parameters[i] != ';'; ++i) {
    if (parameters[i] < '0' || parameters[i] > '9' || number > 99) return kKeyUnnamed;
    number = number * 10 + (parameters[i] - '0');
  }
  switch (number) {
    case 1:
    case 7:
      return kKeyHome;
    case 4:
    case 8:
      return kKeyEnd;
    case 5:
      return kKeyPageUp;
    case 6:
      return kKeyPageDown;
    default:
      return kKeyUnnamed;
  }
}

}  // namespace

int DecodeEscapeTail(const unsigned char* tail, size_t length) {
  if (length == 0) return kSequenceGoesOn;
  unsigned char introducer = tail[0];
  if (introducer != '[' && introducer != 'O') return kKeyUnnamed;
  // The Linux console's function keys: "[[" and one letter.
  if (introducer == '[' && length >= 2 && tail[1] == '[') {
    return length == 3 ? kKeyUnnamed : kSequenceGoesOn;
  }
  // Parameter and intermediate bytes (0x20..0x3F), then the final byte (0x40..0x7E).
  for (size_t i = 1; i < length; ++i) {
    unsigned char byte = tail[i];
    if (byte >= 0x40 && byte <= 0x7E) {
      if (i != length - 1) return kKeyUnnamed;
      return byte == '~' && introducer == '[' ? TildeKey(tail + 1, i - 1) : LetterKey(byte);
    }
    if (byte < 0x20 || byte > 0x3F) return kKeyUnnamed;
  }
  return length > kMaxEscapeTail ? kKeyUnnamed : kSequenceGoesOn;
}

}  // namespace platform
