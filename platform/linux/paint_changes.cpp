// What changed between two paints (see paint_changes.h).
#include "platform/linux/paint_changes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace platform {

namespace {

// The rows of two paints numbered so that equal rows (in their first width cells) share a
// number, and which of next's rows are blank.
struct RowNumbers {
  int shown[kScreenRows];
  int next[kScreenRows];
  bool nextBlank[kScreenRows];
};

// FNV-1a over the row's cells: rows with different hashes differ, equal hashes are checked.
uint32_t RowHash(const PaintCell* cells, int width) {
  uint32_t hash = 2166136261u;
  for (int column = 0; column < width; ++column) hash = (hash ^ cells[column]) * 16777619u;
  return hash;
}

// Numbers every row of shown and then of next by the first equal row met before it.
RowNumbers NumberRows(const PaintRows& shown, const PaintRows& next, int height, int width) {
  RowNumbers numbers{};
  const PaintCell* firstRows[2 * kScreenRows];
  uint32_t firstHashes[2 * kScreenRows];
  int count = 0;
  for (int side = 0; side < 2; ++side) {
    const PaintRows& rows = side == 0 ? shown : next;
    int* out = side == 0 ? numbers.shown : numbers.next;
    for (int row = 0; row < height; ++row) {
      const PaintCell* cells = rows.cells[row];
      uint32_t hash = RowHash(cells, width);
      int number = 0;
      while (number < count && (firstHashes[number] != hash ||
                                !std::equal(cells, cells + width, firstRows[number]))) {
        ++number;
      }
      if (number == count) {
        firstRows[count] = cells;
        firstHashes[count++] = hash;
      }
      out[row] = number;
    }
  }
  for (int row = 0; row < height; ++row) {
    const PaintCell* cells = next.cells[row];
    numbers.nextBlank[row] =
        std::all_of(cells, cells + width, [](PaintCell cell) { return cell == kBlankCell; });
  }
  return numbers;
}

// Rows of next in place after the scroll of the run first..last by count, less those in place
// before: the run's rows all are; the rows it leaves blank are when next has them blank.
int ScrollGain(const RowNumbers& numbers, int first, int last, int count) {
  int gain = 0;
  for (int row = first; row <= last; ++row) gain += numbers.next[row] != numbers.shown[row];
  int leftFirst = count > 0 ? last + 1 : first + count;
  for (int row = leftFirst; row < leftFirst + std::abs(count); ++row) {
    gain += numbers.nextBlank[row] - (numbers.next[row] == numbers.shown[row]);
  }
  return gain;
}

}  // namespace

// Every shift is tried, the short ones first so that they win a tie; for each, every run of
// rows that the shift puts in place.
RowScroll FindScroll(const PaintRows& shown, const PaintRows& next, int height, int width) {
  RowNumbers numbers = NumberRows(shown, next, height, width);
  RowScroll best{0, 0, 0};
  int bestGain = 0;
  for (int distance = 1; distance < height; ++distance) {
    for (int count : {distance, -distance}) {
      int begin = std::max(0, -count);
      int end = std::min(height, height - count);
      int runFirst = -1;
      for (int row = begin; row <= end; ++row) {
        if (row < end && numbers.next[row] == numbers.shown[row + count]) {
          if (runFirst < 0) runFirst = row;
          continue;
        }
        if (runFirst < 0) continue;
        int gain = ScrollGain(numbers, runFirst, row - 1, count);
        if (gain > bestGain) {
          bestGain = gain;
          best = RowScroll{std::min(runFirst, runFirst + count), std::max(row - 1, row - 1 + count),
                           count};
        }
        runFirst = -1;
      }
    }
  }
  return best;
}

// The terminal library keeps its rows the same way: moved whole, the rows left blank.
void ApplyScroll(PaintRows* shown, const RowScroll& scroll) {
  int distance = std::abs(scroll.count);
  int moved = scroll.bottom - scroll.top + 1 - distance;
  if (distance == 0 || moved <= 0) return;
  int to = scroll.count > 0 ? scroll.top : scroll.top + distance;
  std::memmove(shown->cells[to], shown->cells[to + scroll.count],
               static_cast<size_t>(moved) * sizeof shown->cells[0]);
  int left = scroll.count > 0 ? scroll.bottom + 1 - distance : scroll.top;
  for (int row = left; row < left + distance; ++row) {
    std::fill(std::begin(shown->cells[row]), std::end(shown->cells[row]), kBlankCell);
  }
}

CellSpan ChangedCells(const PaintRows& shown, const PaintRows& next, int row, int width) {
  const PaintCell* before = shown.cells[row];
  const PaintCell* after = next.cells[row];
  int first = 0;
  while (first < width && before[first] == after[first]) ++first;
  int last = width - 1;
  while (last > first && before[last] == after[last]) --last;
  return CellSpan{first, first < width ? last : first - 1};
}

}  // namespace platform
