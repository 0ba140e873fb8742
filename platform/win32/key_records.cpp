// Reading keys from the Win32 console's input records, extended keys included.
#include "platform/win32/key_records.h"

#include "platform/console.h"

namespace platform {

namespace {

// The virtual keys that have a named code.
struct NamedKey {
  WORD virtualKey;
  int key;
};
constexpr NamedKey kNamedKeys[] = {
    {VK_UP, kKeyUp},         {VK_DOWN, kKeyDown}, {VK_PRIOR, kKeyPageUp},
    {VK_NEXT, kKeyPageDown}, {VK_HOME, kKeyHome}, {VK_END, kKeyEnd},
};

}  // namespace

int KeyOfRecord(const INPUT_RECORD& record) {
  if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) return kNoKey;
  const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
  if (key.uChar.AsciiChar != 0) return static_cast<unsigned char>(key.uChar.AsciiChar);
  for (const NamedKey& named : kNamedKeys) {
    if (key.wVirtualKeyCode == named.virtualKey) return named.key;
  }
  return kNoKey;
}

}  // namespace platform
