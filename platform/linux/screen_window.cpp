// Choosing the window onto the screen for a terminal smaller than 80 x 25.
#include "platform/linux/screen_window.h"

#include <algorithm>

namespace platform {

namespace {

// Start of a span of size shown out of total cells that has cell in view and starts as near to
// preferred as that allows.
int SpanStart(int total, int size, int cell, int preferred) {
  cell = std::clamp(cell, 0, total - 1);
  return std::clamp(preferred, std::max(cell - size + 1, 0), std::min(cell, total - size));
}

}  // namespace

ScreenWindow ChooseWindow(int terminalRows, int terminalColumns, int cursorColumn, int cursorRow,
                          int rowToShow) {
  int rows = std::clamp(terminalRows, 1, kScreenRows);
  int columns = std::clamp(terminalColumns, 1, kScreenColumns);
  int top = SpanStart(kScreenRows, rows, cursorRow, kScreenRows - rows);
  if (rowToShow >= 0 && rowToShow < kScreenRows) {
    top = SpanStart(kScreenRows, rows, cursorRow, std::clamp(top, rowToShow - rows + 1, rowToShow));
  }
  return ScreenWindow{top, SpanStart(kScreenColumns, columns, cursorColumn, 0), rows, columns};
}

int RowOutside(unsigned rowsWritten, const ScreenWindow& window) {
  for (int row = 0; row < kScreenRows; ++row) {
    bool shown = row >= window.top && row < window.top + window.height;
    if ((rowsWritten >> row & 1u) != 0 && !shown) return row;
  }
  return kNoRow;
}

wchar_t WindowMarker(const ScreenWindow& window) {
  bool rowsCut = window.height < kScreenRows;
  bool columnsCut = window.width < kScreenColumns;
  if (window.height < kMinRowsForMarker || (!rowsCut && !columnsCut)) return 0;
  if (rowsCut && columnsCut) return L'+';
  return rowsCut ? L'\u2195' : L'\u2194';
}

}  // namespace platform
