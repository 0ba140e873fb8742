// Resetting the ControlBlock, for control_block.cpp and the tests only.
#pragma once

namespace control {

// Puts every field back to its start value (process start; tests).
void ResetControlBlock();

}  // namespace control
