// Termination requests inside the Win32 platform layer: the event that ends bounded waits.
#pragma once

#include <windows.h>

namespace platform {

// Manual-reset event set (and left set) once termination has been requested; waits with a
// time limit wait for it beside their own object. nullptr before StartProcess.
HANDLE TerminationEvent();

}  // namespace platform
