// The escape sequences a terminal sends for its cursor and page keys, made key codes.
#pragma once

#include <cstddef>

namespace platform {

// What DecodeEscapeTail returns while the sequence has more bytes to come.
constexpr int kSequenceGoesOn = -2;

// Longest tail of a sequence taken in (parameters included); a longer one is no key.
constexpr size_t kMaxEscapeTail = 16;

// The key that the length bytes after an Esc stand for: kKeyUp, kKeyDown, kKeyPageUp,
// kKeyPageDown, kKeyHome or kKeyEnd, with or without modifiers, in the CSI ("[A", "[1;5A",
// "[5~", "[5;2~", "[1~" .. "[8~") and SS3 ("OA", "OH") forms; kKeyUnnamed for any other
// complete sequence (and for Esc followed by a character that begins none); kSequenceGoesOn
// while the bytes so far begin a sequence that is not finished.
int DecodeEscapeTail(const unsigned char* tail, size_t length);

}  // namespace platform
