// Process services: computer name, local time, sleeping, the environment, process-wide set-up
// and end.
#pragma once

#include <cstddef>
#include <ctime>

namespace platform {

// Sets up the process before anything else runs: standard input, output and error that the
// process was started without are opened on the null device where the system would otherwise
// hand their numbers to the next files opened; termination requests (signals, console control
// events) reach TerminationRequested instead of ending the process.
void StartProcess();

// Fills name (size bytes including the terminator) with the computer name, at most 15
// characters; an empty text when it cannot be read.
void ReadComputerName(char* name, size_t size);

// The local date and time now.
std::tm LocalTimeNow();

// Sleeps the calling thread for about ms milliseconds.
void SleepMs(int ms);

// The value of the environment variable name, or nullptr when it is not set.
const char* EnvironmentValue(const char* name);

// True once the process has been asked to end from outside (SIGINT, SIGTERM, SIGHUP), or
// by RequestTermination.
bool TerminationRequested();

// Asks the program to end as SIGINT does: the keyboard loop and every wait for a key or a
// line end (Ctrl-C typed into a line; the receive thread when the provider's link is lost).
void RequestTermination();

}  // namespace platform
