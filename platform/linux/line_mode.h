// Line mode, for a terminal that cannot place its cursor: every write and the line being typed
// as lines. All but LineModeActive and LineModeStart run under the console lock.
#pragma once

#include <cstddef>

namespace platform {

// True once line mode has started.
bool LineModeActive();

// Starts line mode and says why on standard error.
void LineModeStart(const char* reason);

// A direct write (a trace line, the prompt, a reply) as a line of its own.
void LineModeDirect(const char* text, size_t length);

// Stream text as it comes.
void LineModeStream(const char* text, size_t length);

// A line is typed behind the prompt, length bytes of code page 437 text.
void LineModeBeginEdit(const char* prompt, size_t length);

// Echoes a typed character.
void LineModeEcho(char typed);

// Takes back the typed character before the cursor.
void LineModeBackspace();

// The typed line is done.
void LineModeEndEdit();

// Ends the line that is open.
void LineModeStop();

}  // namespace platform
