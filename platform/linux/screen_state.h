// The screen the Linux console files share, kept in console.cpp: the model, the message box
// over it and the marker, all under the console lock, and how a change of them reaches the
// painter.
#pragma once

#include <cstdint>

#include "platform/linux/screen.h"

namespace platform {

// What a message box lays over the screen: its rectangle and cells, and where the cursor
// stands while it is shown.
struct ScreenOverlay {
  bool shown;
  int left, top, right, bottom;
  int cursorColumn, cursorRow;
  ScreenGrid grid;
};

// The marker over the screen's top row: its text (empty: none), and when a note goes by
// itself (0: it stays until replaced).
struct ScreenMarker {
  char text[kScreenColumns + 1];
  int64_t untilMs;
};

// The one truth of what is on screen, the message box and the marker over it; all under the
// console lock.
extern Screen consoleScreen;
extern ScreenOverlay consoleOverlay;
extern ScreenMarker consoleMarker;

// Takes the console lock if it can be had within timeoutMs; false otherwise.
bool ConsoleLockWithin(int timeoutMs);

// True while the terminal painter shows the model.
bool ScreenIsPainted();

// Tells the painter that the model, overlay or title changed; call with the console lock held.
void ScreenChanged();

}  // namespace platform
