// The escape sequences a terminal sends for its cursor and page keys, made key codes.
#pragma once

#include <cstddef>

namespace platform {

// Longest sequence kept after its Esc (introducer, parameters, final byte); a longer one is no
// key of these.
constexpr size_t kMaxEscapeSequence = 16;

// The key that a whole sequence after an Esc (its introducer '[' or 'O', parameter bytes, its
// final byte) stands for: kKeyUp, kKeyDown, kKeyPageUp, kKeyPageDown, kKeyHome or kKeyEnd,
// with or without modifiers, in the CSI ("[A", "[1;5A", "[H", "[5~", "[5;2~", "[1~" .. "[8~")
// and SS3 ("OA", "OH") forms; kKeyUnnamed for any other sequence.
int EscapeSequenceKey(const unsigned char* sequence, size_t length);

}  // namespace platform
