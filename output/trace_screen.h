// The trace screen: the places on the 80 x 25 screen, the scrolling output region (rows
// 0..bottomRow) and the console operations that the other subsystems use.
#pragma once

#include "control/records/control_block.h"
#include "output/trace_history.h"
#include "platform/console.h"

namespace output {

// The screen's places, as rows. Trace lines go below the row written last (currentRow) and
// scroll the output region, rows 0..bottomRow: the whole screen, or in debug mode the rows
// above the prompt area.
constexpr int kFullBottomRow = platform::kScreenRows - 1;  // 24
static_assert(kFullBottomRow == control::kStartBottomRow);
// Debug mode's prompt area on the three bottom rows: a separator line, the prompt with the
// line being typed, the reply.
constexpr int kReplyRow = kFullBottomRow;           // 24
constexpr int kPromptRow = kReplyRow - 1;           // 23
constexpr int kSeparatorRow = kPromptRow - 1;       // 22
constexpr int kDebugBottomRow = kSeparatorRow - 1;  // 21
// At start-up the banner and the adapter report stand above this row; the trace begins
// below it.
constexpr int kStartupRow = 12;
// In debug mode the welcome line (row 0) and a blank row stand above the trace.
constexpr int kWelcomeEndRow = 1;

// Longest text ShowTraceLine writes (the trace line buffer's size).
constexpr int kDisplayLineSize = 256;

// The line ShowTraceLine writes next.
extern char displayLine[kDisplayLineSize];

// Puts the console cursor at (column, row).
void SetCursor(int column, int row);

// Blanks the whole 80 x 25 screen and puts the cursor at (0, 0); a hold ends first.
void ClearScreen();

// Writes displayLine on the next row of the output region, scrolling the region when it
// is full; the cursor is left where it was. Nothing once the program is asked to end.
void ShowTraceLine();

// Shows a line of the program's own among the trace lines (receive thread only): line, up to
// its line end, on the next row of the output region as ShowTraceLine writes it, with the rest
// of the row blanked so that no older text stands behind it.
void ShowOwnLine(const char* line);

// Holding the output region (wait mode's Ctrl-A): trace lines still reach the log and the
// history but not the region, a marker over the screen counts them, and the view looks back
// through the history. The hold is controlBlock.outputStopRequested; all of it runs under the
// console lock, and the history is written by the receive thread (ShowTraceLine) and read by
// the main thread (the keys).

// Holds the output region as it stands; nothing when it is held already.
void HoldOutput();

// Ends a hold: the region shows its newest rows, as if it had not been held, and the trace
// flows on from the next row; where the console shows only lines, one line says how many were
// held. Nothing when output is not held.
void ReleaseOutput();

// Moves the view onto the history while output is held (where the console shows the screen);
// nothing otherwise.
void MoveHeldView(ViewMove move);

// Moves the whole screen up by one row and puts the cursor at the start of the blank bottom
// row, so that the shutdown lines stand on rows of their own below the last screen.
void OpenShutdownRow();

}  // namespace output
