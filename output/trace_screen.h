// The trace screen: the scrolling output region (rows 0..bottomRow) and the console
// operations that the other subsystems use.
#pragma once

namespace output {

// Longest text ShowTraceLine writes (the trace line buffer's size).
constexpr int kDisplayLineSize = 256;

// The line ShowTraceLine writes next.
extern char displayLine[kDisplayLineSize];

// Puts the console cursor at (column, row).
void SetCursor(int column, int row);

// Blanks the whole 80 x 25 screen and puts the cursor at (0, 0).
void ClearScreen();

// Writes displayLine on the next row of the output region, scrolling the region when it
// is full; the cursor is left where it was.
void ShowTraceLine();

// Moves rows 1..bottom up by one; row bottom is filled with blanks.
void ScrollOutputRegion(int bottom);

}  // namespace output
