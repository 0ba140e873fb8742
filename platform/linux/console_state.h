// State and services shared by the Linux console files: the screen model, the message-box
// overlay, the output mode, and the hooks between model, painter, input and capture.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/screen.h"

namespace platform {

// What a message box lays over the screen: its rectangle and cells, and where the cursor
// stands while it is shown.
struct ScreenOverlay {
  bool shown;
  int left, top, right, bottom;
  int cursorColumn, cursorRow;
  ScreenGrid grid;
};

// The marker over the screen's top row: its text (empty: none), and when a note goes by
// itself (0: it stays until replaced).
struct ScreenMarker {
  char text[kScreenColumns + 1];
  int64_t untilMs;
};

// The one truth of what is on screen, the message box and the marker over it; all under the
// console lock.
extern Screen consoleScreen;
extern ScreenOverlay consoleOverlay;
extern ScreenMarker consoleMarker;

// True when standard output / standard input is a terminal (looked at once).
bool OutputIsTerminal();
bool KeysFromTerminal();

// True when standard output is the systemd journal's stream (looked at once).
bool OutputIsJournal();

// Takes the console lock if it can be had within timeoutMs; false otherwise.
bool ConsoleLockWithin(int timeoutMs);

// True while the terminal painter shows the model.
bool ScreenIsPainted();

// Tells the painter that the model, overlay or title changed; call with the console lock held.
void ScreenChanged();

// Writes all length bytes to fd, waiting while it is full; false when the descriptor fails, or
// when termination is requested while it is full (the rest is dropped).
bool WriteAll(int fd, const char* text, size_t length);

// Writes code page 437 text straight to the terminal on standard output, as UTF-8.
void WriteTerminalText(const char* text, size_t length);

// Sends the escape sequence that sets the terminal window's title straight to standard output.
void WriteTitle(const char* title);

// Terminal painter (terminal_painter.cpp). TerminalUnfitReason: why the terminal on standard
// output cannot be painted (TERM unset, unknown, without cursor addressing), or nullptr.
const char* TerminalUnfitReason();
bool PainterStart();
void PainterStop();
void PainterWake();
// The next paint comes at once rather than at the end of the paint interval: what a key
// brought about is drawn.
void PainterPaintNow();
void PainterSetTitle(const char* title);
void PainterEmergencyRestore();
bool PainterSuspend();
void PainterResume();
void PaintPlainScreen(const Screen& screen);

// Line mode for terminals that cannot be painted (line_mode.cpp); all but LineModeActive and
// LineModeStart under the console lock.
bool LineModeActive();
void LineModeStart(const char* reason);
void LineModeDirect(const char* text, size_t length);
void LineModeStream(const char* text, size_t length);
void LineModeBeginEdit(const char* prompt, size_t length);
void LineModeEcho(char typed);
void LineModeBackspace();
void LineModeEndEdit();
void LineModeStop();

// Key input (console_input.cpp).
void InputSaveTerminal();
void InputRawTerminal();
void InputRestoreTerminal();
void InputSuspendTerminal();
void InputResumeTerminal();

// Keys typed while start-up waits (console_input.cpp). StartupKeysFd: the descriptor a bounded
// wait of start-up polls for them beside its own, -1 when standard input is no terminal or has
// ended (a script's input is left to the keyboard loop). TakeStartupKeys, once it is readable:
// Ctrl-C or Ctrl-X asks the program to end (true), every other key is kept for the keyboard
// loop.
int StartupKeysFd();
bool TakeStartupKeys();

// Capture of standard error while the screen is painted (stderr_capture.cpp).
void CaptureStderr();
void ReleaseStderr();

// Lays out a message box with text over the middle of the screen (message_box.cpp).
void LayoutMessageBox(const char* text, ScreenOverlay* box);

}  // namespace platform
