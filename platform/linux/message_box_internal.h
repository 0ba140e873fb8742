// The layout of a message box, for message_box.cpp and its unit tests only.
#pragma once

#include "platform/linux/screen_state.h"

namespace platform {

// Lays out a framed box with text and an OK button over the middle of the screen.
void LayoutMessageBox(const char* text, ScreenOverlay* box);

}  // namespace platform
