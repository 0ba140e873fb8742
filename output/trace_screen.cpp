// The trace screen: cursor placement, clearing, and the scrolling output region into which
// trace lines are written without moving the cursor.
#include "output/trace_screen.h"

#include <cstdio>
#include <cstring>

#include "control/records/control_block.h"
#include "output/print.h"
#include "platform/console.h"

namespace output {

char displayLine[kDisplayLineSize];

namespace {
using control::controlBlock;

// A trace line's widest: the last column is left alone, so that a line never wraps the cursor.
constexpr int kTraceLineColumns = platform::kScreenColumns - 1;

// The cursor saved around a trace line (used by the receive thread only).
int savedCursorColumn = 0;
int savedCursorRow = 0;

// Remembers where the cursor stands.
void SaveCursor() {
  platform::ConsoleGetCursor(&savedCursorColumn, &savedCursorRow);
}

// Puts the cursor back where SaveCursor found it.
void RestoreCursor() {
  SetCursor(savedCursorColumn, savedCursorRow);
}
}  // namespace

void SetCursor(int column, int row) {
  platform::ConsoleSetCursor(column, row);
}

void ClearScreen() {
  char blanks[platform::kScreenColumns + 1];
  for (int i = 0; i < platform::kScreenColumns; ++i) blanks[i] = ' ';
  blanks[platform::kScreenColumns] = '\0';
  // One unit, so a trace line cannot land in the middle of the clearing.
  platform::ConsoleLock();
  SetCursor(0, 0);
  for (int row = 0; row < platform::kScreenRows; ++row) WriteDirect("%s", blanks);
  SetCursor(0, 0);
  platform::ConsoleUnlock();
}

void ShowOwnLine(const char* line) {
  int length = static_cast<int>(std::strcspn(line, "\r\n"));
  std::snprintf(displayLine, sizeof displayLine, "%-*.*s", kTraceLineColumns, length, line);
  ShowTraceLine();
}

void ScrollOutputRegion(int bottom) {
  platform::ConsoleMoveRect(0, 1, platform::kScreenColumns - 1, bottom, 0, 0, ' ');
}

void OpenShutdownRow() {
  platform::ConsoleLock();
  ScrollOutputRegion(kFullBottomRow);
  SetCursor(0, kFullBottomRow);
  platform::ConsoleUnlock();
}

void ShowTraceLine() {
  if (controlBlock.exitRequested.load() != 0) return;
  // Row choice, scroll and write are one unit against the main thread's drawing.
  platform::ConsoleLock();
  int bottom = controlBlock.bottomRow.load();
  if (controlBlock.currentRow.load() < bottom) {
    ++controlBlock.currentRow;
  } else {
    controlBlock.currentRow = bottom;
    ScrollOutputRegion(bottom);
  }
  SaveCursor();
  SetCursor(0, controlBlock.currentRow.load());
  WriteDirect("\r%s", displayLine);
  RestoreCursor();
  platform::ConsoleUnlock();
}

}  // namespace output
