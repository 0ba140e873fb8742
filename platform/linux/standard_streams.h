// What standard input and output are (a terminal, the journal's stream), and whole writes to a
// descriptor that give way to a termination request: text in code page 437 and the window's
// title to the terminal.
#pragma once

#include <cstddef>

namespace platform {

// True when standard output is a terminal (looked at once).
bool OutputIsTerminal();

// True when standard input is a terminal (looked at once).
bool KeysFromTerminal();

// True when standard output is the systemd journal's stream (looked at once).
bool OutputIsJournal();

// Writes all length bytes to fd, waiting while it is full; false when the descriptor fails, or
// when termination is requested while it is full (the rest is dropped).
bool WriteAll(int fd, const char* text, size_t length);

// Writes code page 437 text straight to the terminal on standard output, as UTF-8.
void WriteTerminalText(const char* text, size_t length);

// Sends the escape sequence that sets the terminal window's title straight to standard output.
void WriteTitle(const char* title);

}  // namespace platform
