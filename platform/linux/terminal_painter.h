// The terminal painter: the thread that shows the screen model on the terminal with ncurses,
// its stop and continue, and the plain last screen after it.
#pragma once

#include "platform/linux/screen.h"

namespace platform {

// Why the terminal on standard output cannot be painted (TERM unset, unknown, without cursor
// addressing), or nullptr when it can; looked at once.
const char* TerminalUnfitReason();

// Takes the terminal with ncurses and starts the painter thread; false when either fails.
bool PainterStart();

// Stops the painter thread and gives the terminal back to its shell mode.
void PainterStop();

// Tells the painter that there is something new to paint.
void PainterWake();

// The next paint comes at once rather than at the end of the paint interval: what a key
// brought about is drawn.
void PainterPaintNow();

// Has the painter set the terminal window's title between two paints.
void PainterSetTitle(const char* title);

// Async-signal-safe, after a crash: the terminal's mode and screen as the shell had them.
void PainterEmergencyRestore();

// Async-signal-safe: hands a stop from outside to the painter thread; false when it does not
// run.
bool PainterSuspend();

// Async-signal-safe: after a continue, everything is painted again.
void PainterResume();

// Writes screen as plain text on the normal screen once the painter has stopped.
void PaintPlainScreen(const Screen& screen);

}  // namespace platform
