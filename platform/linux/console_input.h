// The key mode of the terminal on standard input, and the keys typed while start-up waits.
#pragma once

namespace platform {

// Keeps the terminal's mode as the shell had it, to give it back.
void InputSaveTerminal();

// Sets the program's key mode: single keys without echo, the control keys as keys.
void InputRawTerminal();

// Async-signal-safe: gives the shell's mode back for good.
void InputRestoreTerminal();

// Async-signal-safe: the shell's mode while the program is stopped.
void InputSuspendTerminal();

// Async-signal-safe: the program's key mode again after a stop.
void InputResumeTerminal();

// The descriptor a bounded wait of start-up polls beside its own for the keys typed meanwhile;
// -1 when standard input is no terminal or has ended (a script's input is left to the keyboard
// loop).
int StartupKeysFd();

// Once StartupKeysFd is readable: Ctrl-C or Ctrl-X asks the program to end (true), every other
// key is kept for the keyboard loop.
bool TakeStartupKeys();

}  // namespace platform
