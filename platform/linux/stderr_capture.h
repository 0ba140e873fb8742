// Capture of standard error while the screen is painted.
#pragma once

namespace platform {

// Sends what is written to standard error to the screen, at the cursor, until released.
void CaptureStderr();

// Gives standard error back, after showing what is still in the capture.
void ReleaseStderr();

}  // namespace platform
