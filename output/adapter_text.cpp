// Cleaning of adapter texts: one text stays one log line and one screen row, and nothing from
// the adapter reaches a terminal as a control sequence.
#include "output/adapter_text.h"

#include <cstdint>

namespace output {

size_t CleanAdapterText(char* text, size_t length) {
  // A line end that closes the text is the line's own end, not a byte to show.
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  text[length] = '\0';
  for (size_t i = 0; i < length; ++i) {
    uint8_t byte = static_cast<uint8_t>(text[i]);
    if (byte < 0x20 || byte == 0x7F) text[i] = kControlStandIn;
  }
  return length;
}

}  // namespace output
