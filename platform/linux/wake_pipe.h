// Wake-up pipes: a thread sleeping in poll watches the read end; one byte written to the write
// end wakes it (a termination request, a painter with work, the stop of a reader thread).
#pragma once

namespace platform {

// Opens a wake-up pipe into ends (read end, write end), both non-blocking and closed on exec;
// false when no pipe can be had.
bool OpenWakePipe(int (&ends)[2]);

// Makes the read end of the pipe behind writeFd readable (nothing for -1). Async-signal-safe
// and errno is kept; a full pipe is readable already, so a write that fails loses nothing.
void WakeThrough(int writeFd);

}  // namespace platform
