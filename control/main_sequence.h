// The program's main routine: start-up in its fixed order, the keyboard loop with the
// debug-mode access sequence, and shutdown.
#pragma once

namespace control {

constexpr int kProgramNameSize = 48;
constexpr int kComputerNameSize = 16;

// The computer name read at start-up.
extern char computerName[kComputerNameSize];

// The exit status after option errors and unusable settings.
constexpr int kOptionErrorStatus = 2;

// Runs the whole program; returns the exit status: 0, kOptionErrorStatus, or -1 when the
// provider cannot be bound or its link is lost.
int Main(int argc, const char* const* argv);

}  // namespace control
