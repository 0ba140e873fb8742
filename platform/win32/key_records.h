// The keys of the Win32 console's input records.
#pragma once

#include <windows.h>

namespace platform {

// What a record that is no key reads as.
constexpr int kNoKey = -1;

// The key of an input record: the character of a key going down (0..255, in the console's code
// page), the named code of a cursor or page key going down (kKeyUp .. kKeyEnd), kNoKey for
// everything else (releases, shift keys alone, other keys without a character, focus and size
// events).
int KeyOfRecord(const INPUT_RECORD& record);

}  // namespace platform
