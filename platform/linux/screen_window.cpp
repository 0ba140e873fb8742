// Choosing the window onto the screen for a terminal smaller than 80 x 25.
#include "platform/linux/screen_window.h"

#include <algorithm>

namespace platform {

namespace {

// Start of a span of size shown out of total cells, with cell in view and the span as far
// towards end (true) or start (false) as that allows.
int SpanStart(int total, int size, int cell, bool towardsEnd) {
  cell = std::clamp(cell, 0, total - 1);
  int start = towardsEnd ? total - size : 0;
  if (cell < start) start = cell;
  if (cell > start + size - 1) start = cell - size + 1;
  return start;
}

}  // namespace

ScreenWindow ChooseWindow(int terminalRows, int terminalColumns, int cursorColumn, int cursorRow) {
  int rows = std::clamp(terminalRows, 1, kScreenRows);
  int columns = std::clamp(terminalColumns, 1, kScreenColumns);
  return ScreenWindow{SpanStart(kScreenRows, rows, cursorRow, true),
                      SpanStart(kScreenColumns, columns, cursorColumn, false), rows, columns};
}

wchar_t WindowMarker(const ScreenWindow& window) {
  bool rowsCut = window.height < kScreenRows;
  bool columnsCut = window.width < kScreenColumns;
  if (window.height < kMinRowsForMarker || (!rowsCut && !columnsCut)) return 0;
  if (rowsCut && columnsCut) return L'+';
  return rowsCut ? L'\u2195' : L'\u2194';
}

}  // namespace platform
