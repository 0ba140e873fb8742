// Termination requests inside the Win32 platform layer: the event that ends bounded waits, and
// the keys typed at the console that end the waits of start-up.
#pragma once

#include <windows.h>

namespace platform {

// Manual-reset event set (and left set) once termination has been requested; waits with a
// time limit wait for it beside their own object. nullptr before StartProcess.
HANDLE TerminationEvent();

// What the console's input queue holds for a wait of start-up (console.cpp).
enum class StartupKeys {
  kNone,   // no key (or standard input is no console): the input handle may be waited on
  kTyped,  // keys the keyboard loop will read; they stay queued, so the handle stays signalled
  kEnd,    // Ctrl-C or Ctrl-X among them: the program has been asked to end
};
StartupKeys LookAtStartupKeys();

// The console input handle a wait of start-up watches, nullptr when input is no console.
HANDLE StartupKeysHandle();

}  // namespace platform
