// Unit test of the Win32 console's key records, built for Windows and run under Wine: the
// characters, the extended cursor and page keys, and the records that are no key. Prints one
// line per failed check and ends with status 1 if any failed.
#include "platform/win32/key_records.h"

#include <windows.h>

#include <cstdio>

#include "platform/console.h"

namespace {

int failures = 0;

// A key record going down or up with a virtual key and a character.
INPUT_RECORD KeyRecord(bool down, WORD virtualKey, char character, DWORD controls = 0) {
  INPUT_RECORD record{};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
  record.Event.KeyEvent.wRepeatCount = 1;
  record.Event.KeyEvent.wVirtualKeyCode = virtualKey;
  record.Event.KeyEvent.uChar.AsciiChar = character;
  record.Event.KeyEvent.dwControlKeyState = controls;
  return record;
}

// Counts and names a check whose key differs from the expected one.
void Expect(const char* what, const INPUT_RECORD& record, int expected) {
  int key = platform::KeyOfRecord(record);
  if (key == expected) return;
  ++failures;
  std::printf("FAIL %s: key %d, expected %d\n", what, key, expected);
}

}  // namespace

int main() {
  Expect("a", KeyRecord(true, 'A', 'a'), 'a');
  Expect("Ctrl-A", KeyRecord(true, 'A', 0x01, LEFT_CTRL_PRESSED), 0x01);
  Expect("Ctrl-X", KeyRecord(true, 'X', 0x18, LEFT_CTRL_PRESSED), 0x18);
  Expect("Enter", KeyRecord(true, VK_RETURN, '\r'), '\r');
  Expect("code page byte", KeyRecord(true, 0, static_cast<char>(0xFD)), 0xFD);
  Expect("Page Up", KeyRecord(true, VK_PRIOR, 0, ENHANCED_KEY), platform::kKeyPageUp);
  Expect("Page Down", KeyRecord(true, VK_NEXT, 0, ENHANCED_KEY), platform::kKeyPageDown);
  Expect("Up", KeyRecord(true, VK_UP, 0, ENHANCED_KEY), platform::kKeyUp);
  Expect("Down", KeyRecord(true, VK_DOWN, 0), platform::kKeyDown);
  Expect("Home", KeyRecord(true, VK_HOME, 0, ENHANCED_KEY), platform::kKeyHome);
  Expect("End", KeyRecord(true, VK_END, 0), platform::kKeyEnd);
  Expect("Ctrl-Page Up", KeyRecord(true, VK_PRIOR, 0, ENHANCED_KEY | RIGHT_CTRL_PRESSED),
         platform::kKeyPageUp);
  Expect("Page Up going up", KeyRecord(false, VK_PRIOR, 0, ENHANCED_KEY), platform::kNoKey);
  Expect("a going up", KeyRecord(false, 'A', 'a'), platform::kNoKey);
  Expect("Shift alone", KeyRecord(true, VK_SHIFT, 0, SHIFT_PRESSED), platform::kNoKey);
  Expect("F1", KeyRecord(true, VK_F1, 0), platform::kNoKey);
  INPUT_RECORD focus{};
  focus.EventType = FOCUS_EVENT;
  Expect("focus", focus, platform::kNoKey);
  std::printf("%s: %d failed\n", failures == 0 ? "PASS" : "FAIL", failures);
  return failures == 0 ? 0 : 1;
}
