// The grid of character cells: scrolling and moving rectangles.
#include "platform/linux/screen_grid.h"

#include <algorithm>
#include <cstring>

namespace platform {

void GridScrollUp(ScreenGrid* grid, char fill) {
  std::memmove(grid->cells[0], grid->cells[1], sizeof grid->cells - sizeof grid->cells[0]);
  std::memset(grid->cells[kScreenRows - 1], fill, kScreenColumns);
}

// Works from a copy of the source, so overlapping rectangles move like a console's do.
void GridMoveRect(ScreenGrid* grid, int left, int top, int right, int bottom, int destColumn,
                  int destRow, char fill) {
  int firstColumn = std::max(left, 0);
  int lastColumn = std::min(right, kScreenColumns - 1);
  int firstRow = std::max(top, 0);
  int lastRow = std::min(bottom, kScreenRows - 1);
  if (firstColumn > lastColumn || firstRow > lastRow) return;
  ScreenGrid source = *grid;
  for (int row = firstRow; row <= lastRow; ++row) {
    std::memset(&grid->cells[row][firstColumn], fill, lastColumn - firstColumn + 1);
  }
  // The source columns whose destination lies on the grid, copied a row at a time.
  int shift = destColumn - left;
  int fromColumn = std::max(firstColumn, -shift);
  int toColumn = std::min(lastColumn, kScreenColumns - 1 - shift);
  if (fromColumn > toColumn) return;
  for (int row = firstRow; row <= lastRow; ++row) {
    int toRow = row - top + destRow;
    if (toRow < 0 || toRow >= kScreenRows) continue;
    std::memcpy(&grid->cells[toRow][fromColumn + shift], &source.cells[row][fromColumn],
                static_cast<size_t>(toColumn - fromColumn + 1));
  }
}

}  // namespace platform
