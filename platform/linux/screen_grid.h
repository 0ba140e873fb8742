// The 80 x 25 grid of character cells behind the console screen.
#pragma once

#include "platform/console.h"

namespace platform {

struct ScreenGrid {
  char cells[kScreenRows][kScreenColumns];
};

// A grid of blanks, for static initialisation.
constexpr ScreenGrid BlankGrid() {
  ScreenGrid grid{};
  for (auto& row : grid.cells) {
    for (char& cell : row) cell = ' ';
  }
  return grid;
}

// True when (column, row) is a cell of the grid.
constexpr bool CellOnGrid(int column, int row) {
  return column >= 0 && column < kScreenColumns && row >= 0 && row < kScreenRows;
}

// Moves rows 1..24 up one row; row 24 becomes fill.
void GridScrollUp(ScreenGrid* grid, char fill);

// Moves the rectangle left..right x top..bottom so that its top-left corner lands on
// (destColumn, destRow); source cells the destination does not cover become fill. Both
// rectangles are clipped to the grid.
void GridMoveRect(ScreenGrid* grid, int left, int top, int right, int bottom, int destColumn,
                  int destRow, char fill);

}  // namespace platform
