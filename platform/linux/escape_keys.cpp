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

int EscapeSequenceKey(const unsigned char* sequence, size_t length) {
  if (length < 2 || length > kMaxEscapeSequence) return kKeyUnnamed;
  unsigned char introducer = sequence[0];
  unsigned char final = sequence[length - 1];
  if ((introducer != '[' && introducer != 'O') || final < 0x40 || final > 0x7E) {
    return kKeyUnnamed;
  }
  // Parameter and intermediate bytes only between introducer and final byte.
  for (size_t i = 1; i + 1 < length; ++i) {
    if (sequence[i] < 0x20 || sequence[i] > 0x3F) return kKeyUnnamed;
  }
  if (introducer == '[' && final == '~') return TildeKey(sequence + 1, length - 2);
  return LetterKey(final);
}

}  // namespace platform
