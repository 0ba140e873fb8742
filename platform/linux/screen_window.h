// The part of the 80 x 25 screen that a terminal shows: all of it when the terminal is big
// enough, else a window of the terminal's size that keeps the rows that matter in view.
#pragma once

#include "platform/console.h"

namespace platform {

// Model rows top..top+height-1 and columns left..left+width-1, shown from the terminal's
// top-left cell.
struct ScreenWindow {
  int top;
  int left;
  int height;
  int width;
};

// Fewest rows a window needs for its marker: the window shows the bottom rows first, and the
// marker's cell must lie above the three bottom rows that debug mode keeps for its prompt.
constexpr int kMinRowsForMarker = 4;

// No row to bring into view.
constexpr int kNoRow = -1;

// The window for a terminal of terminalRows x terminalColumns with the cursor at (cursorColumn,
// cursorRow): the bottom rows of the screen (new trace lines, the prompt and its replies are
// at the bottom), moved up just far enough to show the cursor's row; columns from 0, moved
// right just far enough to show the cursor's column. A rowToShow (text just written where the
// window would not show it, or kNoRow) moves the window just far enough to show that row too,
// as far as the cursor's row stays in view: the operator never loses the place of typing.
ScreenWindow ChooseWindow(int terminalRows, int terminalColumns, int cursorColumn, int cursorRow,
                          int rowToShow = kNoRow);

// The topmost row marked in rowsWritten (bit r for row r) that window does not show; kNoRow
// when it shows them all.
int RowOutside(unsigned rowsWritten, const ScreenWindow& window);

// The character that tells that the window leaves part of the screen out: '↕' for rows, '↔'
// for columns, '+' for both; 0 when the window shows the whole screen or is too small to
// spare a cell for it (fewer than 4 rows: the top row would be in the prompt area).
wchar_t WindowMarker(const ScreenWindow& window);

}  // namespace platform
