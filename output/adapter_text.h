// Texts that come from the adapter (trace texts, the firmware's version text) made fit to show
// and log.
#pragma once

#include <cstddef>

namespace output {

// What a control byte of an adapter text (below 0x20, and DEL) is shown and logged as.
constexpr char kControlStandIn = '.';

// Makes the first length characters of text one line that nothing acts on: a line end that
// closes the text is dropped, every other control byte becomes kControlStandIn. Terminates the
// text and returns its new length.
size_t CleanAdapterText(char* text, size_t length);

}  // namespace output
