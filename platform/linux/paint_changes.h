// What changed between the cells the painter last handed to the terminal library and the cells
// of its next paint: the scroll that brings the most rows into place, and the cells that still
// differ; no terminal library and no system calls.
#pragma once

#include <cstdint>

#include "platform/console.h"

namespace platform {

// One painted cell: a Unicode character, with kReversedCell added when shown in reverse video.
using PaintCell = uint32_t;
constexpr PaintCell kReversedCell = 0x80000000u;
// What a scroll leaves in the rows it empties.
constexpr PaintCell kBlankCell = ' ';

// The cells of one paint from the terminal's top-left cell; a paint uses its window's height
// rows of width cells, the rest is not looked at.
struct PaintRows {
  PaintCell cells[kScreenRows][kScreenColumns];
};

// Rows top..bottom moved by count rows: up when count > 0 (row r then holds what row r + count
// held), down when count < 0; the count rows it leaves at the other end become blank. A count
// of 0 moves nothing.
struct RowScroll {
  int top;
  int bottom;
  int count;
};

// Columns first..last of a row; empty when first > last.
struct CellSpan {
  int first;
  int last;
};

// The scroll of shown that leaves the most of next's rows in place beyond those already in
// place (counting the rows it blanks and the rows it moves away); count 0 when none gains a row.
// Looks at height rows of width cells.
RowScroll FindScroll(const PaintRows& shown, const PaintRows& next, int height, int width);

// Moves shown's rows as scroll says and blanks the rows it leaves, as the terminal library does
// with its own copy.
void ApplyScroll(PaintRows* shown, const RowScroll& scroll);

// The cells of row that differ between shown and next, from the first to the last of them
// within width; empty when the row is the same.
CellSpan ChangedCells(const PaintRows& shown, const PaintRows& next, int row, int width);

}  // namespace platform
