// Termination requests inside the Linux platform layer: the descriptor that wakes blocked reads.
#pragma once

namespace platform {

// Descriptor that becomes readable (and stays so) once termination has been requested;
// blocking reads poll it beside their own descriptor. -1 before StartProcess.
int TerminationWakeFd();

// For a wait that found TerminationWakeFd readable: true when termination has been requested.
// Anything else that made it readable is read away, so that it does not wake the waits again.
bool WakeIsTermination();

}  // namespace platform
