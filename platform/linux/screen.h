// The console screen: its grid of cells and the cursor, and writing text at the cursor.
#pragma once

#include <cstddef>

#include "platform/linux/screen_grid.h"

namespace platform {

// streamRows and keyRead are news for the painter, which clears them when it takes the screen:
// bit r of streamRows says that the standard-output stream (messages, banners, the welcome
// line) put text other than blanks on row r, keyRead that a key was read (it clears
// streamRows: what was written before a key is no news any more).
struct Screen {
  ScreenGrid grid;
  int cursorColumn;
  int cursorRow;
  unsigned streamRows;
  bool keyRead;
};

// A blank screen with the cursor at the top-left corner, for static initialisation.
constexpr Screen BlankScreen() {
  return Screen{BlankGrid(), 0, 0, 0, false};
}

// Puts the cursor at (column, row); false (and no change) when that is off the screen.
bool ScreenSetCursor(Screen* screen, int column, int row);

// Writes length bytes at the cursor as a console does: "\r" to column 0, "\n" to column 0 of
// the next row, "\b" one column back, "\t" blanks up to the next multiple of 8, "\a" nothing;
// every other byte fills one cell. The cursor wraps straight after column 79; leaving row 24
// scrolls the whole screen up one row. With rowsGivenText, the rows given text other than
// blanks are marked there (bit r for row r; the marks move up with a scroll).
void ScreenWrite(Screen* screen, const char* text, size_t length,
                 unsigned* rowsGivenText = nullptr);

}  // namespace platform
