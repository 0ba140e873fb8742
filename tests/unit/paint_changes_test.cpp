// What the painter hands the terminal library between two paints: the scroll found among the
// rows (of the whole window or of a region between unchanged rows, up or down) and the cells
// still different after it.
#include "platform/linux/paint_changes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using platform::ApplyScroll;
using platform::CellSpan;
using platform::ChangedCells;
using platform::FindScroll;
using platform::kBlankCell;
using platform::kReversedCell;
using platform::kScreenColumns;
using platform::kScreenRows;
using platform::PaintRows;
using platform::RowScroll;

// A paint whose row r shows texts[r] (blanks after it and below the texts).
PaintRows Paint(const std::vector<std::string>& texts) {
  PaintRows rows;
  for (int row = 0; row < kScreenRows; ++row) {
    for (int column = 0; column < kScreenColumns; ++column) {
      const std::string* text = row < static_cast<int>(texts.size()) ? &texts[row] : nullptr;
      bool inText = text != nullptr && column < static_cast<int>(text->size());
      rows.cells[row][column] = inText ? static_cast<unsigned char>((*text)[column]) : kBlankCell;
    }
  }
  return rows;
}

// Trace lines "line <first>" .. "line <first + count - 1>", one a row.
std::vector<std::string> Lines(int first, int count) {
  std::vector<std::string> texts;
  for (int i = first; i < first + count; ++i)
    texts.push_back("12:00:00.000 L2D line " + std::to_string(i));
  return texts;
}

// The rows (of height) whose cells differ between the two paints.
std::vector<int> ChangedRows(const PaintRows& shown, const PaintRows& next,
                             int height = kScreenRows, int width = kScreenColumns) {
  std::vector<int> rows;
  for (int row = 0; row < height; ++row) {
    CellSpan span = ChangedCells(shown, next, row, width);
    if (span.first <= span.last) rows.push_back(row);
  }
  return rows;
}

// What the painter does: the scroll found applied to shown; returns it.
RowScroll ScrollInto(PaintRows* shown, const PaintRows& next, int height = kScreenRows) {
  RowScroll scroll = FindScroll(*shown, next, height, kScreenColumns);
  ApplyScroll(shown, scroll);
  return scroll;
}

void ExpectScroll(const RowScroll& scroll, int top, int bottom, int count) {
  EXPECT_EQ(scroll.count, count);
  if (count == 0) return;
  EXPECT_EQ(scroll.top, top);
  EXPECT_EQ(scroll.bottom, bottom);
}

TEST(PaintChanges, NothingChangedHandsNothing) {
  PaintRows shown = Paint(Lines(0, 25));
  PaintRows next = shown;
  ExpectScroll(ScrollInto(&shown, next), 0, 0, 0);
  EXPECT_TRUE(ChangedRows(shown, next).empty());
  // A blank screen neither: its equal rows are no scroll.
  PaintRows blank = Paint({});
  ExpectScroll(FindScroll(blank, blank, kScreenRows, kScreenColumns), 0, 0, 0);
}

TEST(PaintChanges, ChangedRowsAreTheRowsThatDifferAndOnlyTheirChangedCells) {
  std::vector<std::string> texts = Lines(0, 25);
  PaintRows shown = Paint(texts);
  texts[3][5] = 'X';                  // one cell
  texts[10] = "a new line";           // a row given new text, shorter than the old one
  texts[24] = texts[24] + "  typed";  // the echo of a prompt line
  PaintRows next = Paint(texts);
  next.cells[0][kScreenColumns - 1] = 0x2195 | kReversedCell;  // the window's marker
  ExpectScroll(ScrollInto(&shown, next), 0, 0, 0);
  EXPECT_EQ(ChangedRows(shown, next), (std::vector<int>{0, 3, 10, 24}));
  CellSpan cell = ChangedCells(shown, next, 3, kScreenColumns);
  EXPECT_EQ(cell.first, 5);
  EXPECT_EQ(cell.last, 5);
  CellSpan row = ChangedCells(shown, next, 10, kScreenColumns);
  EXPECT_EQ(row.first, 0);
  EXPECT_EQ(row.last, 23);  // up to the old text's last cell
  CellSpan marker = ChangedCells(shown, next, 0, kScreenColumns);
  EXPECT_EQ(marker.first, kScreenColumns - 1);
  EXPECT_EQ(marker.last, kScreenColumns - 1);
  // Cells beyond the window's width are not looked at.
  EXPECT_EQ(ChangedRows(shown, next, kScreenRows, kScreenColumns - 1),
            (std::vector<int>{3, 10, 24}));
}

TEST(PaintChanges, EverythingChangedIsNoScrollAndEveryRowWhole) {
  PaintRows shown = Paint(Lines(0, 25));
  PaintRows next = Paint(Lines(100, 25));  // more lines than rows came between two paints
  ExpectScroll(ScrollInto(&shown, next), 0, 0, 0);
  EXPECT_EQ(ChangedRows(shown, next).size(), 25u);
}

TEST(PaintChanges, AScrollOfTheWholeWindowLeavesOnlyTheNewRows) {
  PaintRows shown = Paint(Lines(0, 25));
  PaintRows next = Paint(Lines(3, 25));
  ExpectScroll(ScrollInto(&shown, next), 0, 24, 3);
  EXPECT_EQ(ChangedRows(shown, next), (std::vector<int>{22, 23, 24}));
  // The rows the scroll left are blank, as the terminal library leaves them.
  EXPECT_EQ(shown.cells[23][0], kBlankCell);
  // One row, as a quiet line brings it, once the changed rows were handed as well.
  shown = next;
  PaintRows oneMore = Paint(Lines(4, 25));
  ExpectScroll(ScrollInto(&shown, oneMore), 0, 24, 1);
  EXPECT_EQ(ChangedRows(shown, oneMore), (std::vector<int>{24}));
}

TEST(PaintChanges, AScrollInsideARegionKeepsTheRowsAboveAndBelow) {
  // The output region (rows 0..21) scrolled by 2 under the prompt area (22..24), which stays.
  std::vector<std::string> prompt = {std::string(80, '-'), "C1:-) l2d", ""};
  std::vector<std::string> before = Lines(0, 22);
  before.insert(before.end(), prompt.begin(), prompt.end());
  std::vector<std::string> after = Lines(2, 22);
  after.insert(after.end(), prompt.begin(), prompt.end());
  PaintRows shown = Paint(before);
  PaintRows next = Paint(after);
  ExpectScroll(ScrollInto(&shown, next), 0, 21, 2);
  EXPECT_EQ(ChangedRows(shown, next), (std::vector<int>{20, 21}));

  // A region in the middle, with a marker row above that changes too.
  std::vector<std::string> top = {"held                                    +12"};
  std::vector<std::string> middle = Lines(0, 10);
  std::vector<std::string> first = top;
  first.insert(first.end(), middle.begin(), middle.end());
  first.push_back("row below");
  std::vector<std::string> second = {"held                                    +16"};
  std::vector<std::string> moved = Lines(4, 10);
  second.insert(second.end(), moved.begin(), moved.end());
  second.push_back("row below");
  shown = Paint(first);
  next = Paint(second);
  ExpectScroll(ScrollInto(&shown, next), 1, 10, 4);
  EXPECT_EQ(ChangedRows(shown, next), (std::vector<int>{0, 7, 8, 9, 10}));
}

TEST(PaintChanges, AScrollDownIsFoundAsWell) {
  // The held view paged back: the rows move down and older rows come in at the top.
  PaintRows shown = Paint(Lines(20, 22));
  PaintRows next = Paint(Lines(15, 22));
  ExpectScroll(ScrollInto(&shown, next), 0, 21, -5);
  EXPECT_EQ(ChangedRows(shown, next), (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(PaintChanges, AScrollThatWouldMoveOrBlankRowsInPlaceIsNotTaken) {
  // One row of text on a blank screen, another written below it: the blank rows that would
  // move are in place already, so no scroll gains a row.
  PaintRows shown = Paint({"", "", "first"});
  PaintRows next = Paint({"", "", "first", "second"});
  ExpectScroll(ScrollInto(&shown, next), 0, 0, 0);
  EXPECT_EQ(ChangedRows(shown, next), (std::vector<int>{3}));
  // A row that came back from further down: moving it up would blank three rows in place.
  shown = Paint({"x", "b", "c", "a"});
  next = Paint({"a", "b", "c", "a"});
  ExpectScroll(ScrollInto(&shown, next), 0, 0, 0);
  EXPECT_EQ(ChangedRows(shown, next), (std::vector<int>{0}));
  // Only the window's height counts: the rows below it differ, but are not looked at.
  PaintRows window = Paint(Lines(0, 25));
  PaintRows scrolledBelow = Paint(Lines(0, 10));
  ExpectScroll(FindScroll(window, scrolledBelow, 10, kScreenColumns), 0, 0, 0);
}

}  // namespace
