// Tests of the screen record cell by cell: writing at the cursor, line ends, wrap and scroll,
// moving rectangles, and cells read outside the grid.
#include "platform/linux/screen.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using platform::kScreenColumns;
using platform::kScreenRows;
using platform::Screen;

std::string Row(const Screen& screen, int row) {
  return std::string(screen.grid.cells[row], kScreenColumns);
}

std::string Padded(const std::string& text) {
  return text + std::string(kScreenColumns - text.size(), ' ');
}

void Write(Screen* screen, const std::string& text) {
  platform::ScreenWrite(screen, text.data(), text.size());
}

// Each row labelled "r0" .. "r24".
Screen Labelled() {
  Screen screen = platform::BlankScreen();
  for (int row = 0; row < kScreenRows; ++row) {
    platform::ScreenSetCursor(&screen, 0, row);
    Write(&screen, std::string("r").append(std::to_string(row)));
  }
  platform::ScreenSetCursor(&screen, 0, 0);
  return screen;
}

std::pair<int, int> Cursor(const Screen& screen) {
  return {screen.cursorColumn, screen.cursorRow};
}

TEST(ScreenModel, WritesAtTheCursorAndLineEndsDoNotClear) {
  Screen screen = Labelled();
  platform::ScreenSetCursor(&screen, 5, 3);
  Write(&screen, "abc");
  EXPECT_EQ(Row(screen, 3), Padded("r3   abc"));
  EXPECT_EQ(Cursor(screen), std::make_pair(8, 3));
  Write(&screen, "\rX");
  EXPECT_EQ(Row(screen, 3), Padded("X3   abc"));
  Write(&screen, "\nY");
  EXPECT_EQ(Row(screen, 4), Padded("Y4"));  // "\n" goes to column 0 and clears nothing
  EXPECT_EQ(Cursor(screen), std::make_pair(1, 4));
  Write(&screen, "\b\bZ\a");
  EXPECT_EQ(Row(screen, 4), Padded("Z4"));  // backspace stops at column 0, the bell writes nothing
  Write(&screen, "\tT");
  EXPECT_EQ(Row(screen, 4), Padded("Z       T"));
}

TEST(ScreenModel, WrapsStraightAfterColumn79) {
  Screen screen = Labelled();
  platform::ScreenSetCursor(&screen, 78, 6);
  Write(&screen, "ab");
  EXPECT_EQ(screen.grid.cells[6][78], 'a');
  EXPECT_EQ(screen.grid.cells[6][79], 'b');
  EXPECT_EQ(Cursor(screen), std::make_pair(0, 7));
  EXPECT_EQ(Row(screen, 7), Padded("r7"));
  // A line end right after the wrap moves one row further, as the console does.
  Write(&screen, "\nc");
  EXPECT_EQ(Row(screen, 8), Padded("c8"));
  // A long run crosses rows in one write.
  platform::ScreenSetCursor(&screen, 70, 10);
  Write(&screen, std::string(100, 'x'));
  EXPECT_EQ(Row(screen, 10), Padded("r10").substr(0, 70) + std::string(10, 'x'));
  EXPECT_EQ(Row(screen, 11), std::string(80, 'x'));
  EXPECT_EQ(Row(screen, 12), std::string(10, 'x') + Padded("r12").substr(10));
  EXPECT_EQ(Cursor(screen), std::make_pair(10, 12));
}

TEST(ScreenModel, LeavingRow24ScrollsTheWholeScreen) {
  Screen screen = Labelled();
  platform::ScreenSetCursor(&screen, 3, 24);
  Write(&screen, "\nnew");
  EXPECT_EQ(Row(screen, 0), Padded("r1"));
  EXPECT_EQ(Row(screen, 23), Padded("r24"));
  EXPECT_EQ(Row(screen, 24), Padded("new"));
  EXPECT_EQ(Cursor(screen), std::make_pair(3, 24));
}

TEST(ScreenModel, WritingTheLastCellScrolls) {
  Screen screen = Labelled();
  platform::ScreenSetCursor(&screen, 79, 24);
  Write(&screen, "z");
  EXPECT_EQ(Row(screen, 0), Padded("r1"));
  EXPECT_EQ(screen.grid.cells[23][79], 'z');
  EXPECT_EQ(Row(screen, 24), Padded(""));
  EXPECT_EQ(Cursor(screen), std::make_pair(0, 24));
}

TEST(ScreenModel, ClearingWith25RowsOfBlanksLeavesABlankScreen) {
  Screen screen = Labelled();
  for (int row = 0; row < kScreenRows; ++row) Write(&screen, std::string(80, ' '));
  for (int row = 0; row < kScreenRows; ++row) EXPECT_EQ(Row(screen, row), Padded("")) << row;
  EXPECT_EQ(Cursor(screen), std::make_pair(0, 24));
}

TEST(ScreenModel, RowsGivenTextAreMarkedAndTheMarksScrollWithThem) {
  Screen screen = platform::BlankScreen();
  unsigned rows = 0;
  auto write = [&](const std::string& text) {
    platform::ScreenWrite(&screen, text.data(), text.size(), &rows);
  };
  // A screen clearing's blanks and line ends mark nothing; the welcome line marks row 0.
  for (int row = 0; row < kScreenRows; ++row) write(std::string(80, ' '));
  platform::ScreenSetCursor(&screen, 0, 0);
  write("\r\n\t");
  EXPECT_EQ(rows, 0u);
  platform::ScreenSetCursor(&screen, 0, 0);
  write("Welcome in debug mode, ready for input...\n\n");
  EXPECT_EQ(rows, 1u);
  // A run that crosses into the next row marks both; a single character marks its row; a
  // write without a mask marks nothing.
  platform::ScreenSetCursor(&screen, 75, 5);
  write("0123456789");
  platform::ScreenSetCursor(&screen, 0, 10);
  Write(&screen, "unmarked");
  platform::ScreenSetCursor(&screen, 9, 24);
  write("z");
  EXPECT_EQ(rows, 1u | 1u << 5 | 1u << 6 | 1u << 24);
  // Leaving row 24 moves every mark up with its row; row 0's falls off.
  write("\n");
  EXPECT_EQ(rows, 1u << 4 | 1u << 5 | 1u << 23);
}

TEST(ScreenModel, CursorOffTheScreenIsIgnored) {
  Screen screen = Labelled();
  EXPECT_TRUE(platform::ScreenSetCursor(&screen, 79, 24));
  for (auto [column, row] : {std::pair{80, 0}, {-1, 0}, {0, 25}, {0, -1}}) {
    EXPECT_FALSE(platform::ScreenSetCursor(&screen, column, row));
    EXPECT_EQ(Cursor(screen), std::make_pair(79, 24));
  }
}

TEST(ScreenModel, MoveRectShiftsRowsUpAndFillsWhatItLeaves) {
  Screen screen = Labelled();
  platform::GridMoveRect(&screen.grid, 0, 1, 79, 21, 0, 0, ' ');
  EXPECT_EQ(Row(screen, 0), Padded("r1"));
  EXPECT_EQ(Row(screen, 20), Padded("r21"));
  EXPECT_EQ(Row(screen, 21), Padded(""));
  for (int row = 22; row < kScreenRows; ++row) {
    EXPECT_EQ(Row(screen, row), Padded(std::string("r").append(std::to_string(row))));
  }
}

TEST(ScreenModel, MoveRectOverlapsDownAndRightAndClipsAtTheEdges) {
  Screen screen = Labelled();
  // Rows 2..3, columns 0..2 one down and one right: the overlap is copied from the source.
  platform::GridMoveRect(&screen.grid, 0, 2, 2, 3, 1, 3, '.');
  EXPECT_EQ(Row(screen, 2), Padded("..."));
  EXPECT_EQ(Row(screen, 3), Padded(".r2"));
  EXPECT_EQ(Row(screen, 4), Padded("rr3"));
  // A source reaching past the screen moves only its cells on the screen; a destination past
  // the edge drops what falls off.
  platform::GridMoveRect(&screen.grid, 77, 23, 85, 30, 79, 0, '#');
  EXPECT_EQ(Row(screen, 23), Padded("r23").substr(0, 77) + "###");
  EXPECT_EQ(screen.grid.cells[0][79], ' ');
  EXPECT_EQ(Row(screen, 24), Padded("r24").substr(0, 77) + "###");
  // An empty or wholly off-screen rectangle changes nothing.
  Screen before = screen;
  platform::GridMoveRect(&screen.grid, 5, 5, 4, 5, 0, 0, '*');
  platform::GridMoveRect(&screen.grid, 80, 0, 90, 3, 0, 0, '*');
  EXPECT_EQ(std::memcmp(&before.grid, &screen.grid, sizeof before.grid), 0);
}

TEST(ScreenModel, OnlyTheGridsOwnCellsAreOnIt) {
  EXPECT_TRUE(platform::CellOnGrid(0, 0));
  EXPECT_TRUE(platform::CellOnGrid(79, 24));
  EXPECT_FALSE(platform::CellOnGrid(-1, 0));
  EXPECT_FALSE(platform::CellOnGrid(0, 25));
  EXPECT_FALSE(platform::CellOnGrid(80, 3));
}

}  // namespace
