// Tests of the trace screen on the console's screen model: where trace lines land, how the
// output region scrolls, and that the cursor comes back to its place.
#include "output/trace_screen.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "control/records/control_block.h"
#include "output/print.h"
#include "platform/console.h"

namespace {

using control::controlBlock;

std::string Row(int row) {
  std::string text;
  for (int column = 0; column < platform::kScreenColumns; ++column) {
    text += platform::ConsoleCellAt(column, row);
  }
  return text;
}

// The text padded with blanks to a full row.
std::string Padded(const std::string& text) {
  return text + std::string(platform::kScreenColumns - text.size(), ' ');
}

void Show(const char* text) {
  std::snprintf(output::displayLine, sizeof output::displayLine, "%s", text);
  output::ShowTraceLine();
}

std::pair<int, int> Cursor() {
  int column = -1;
  int row = -1;
  platform::ConsoleGetCursor(&column, &row);
  return {column, row};
}

// Every row holds its own label ("row 0" .. "row 24"), the cursor is put at (7, 23).
class TraceScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    control::ResetControlBlock();
    output::ClearScreen();
    for (int row = 0; row < platform::kScreenRows; ++row) {
      output::SetCursor(0, row);
      output::WriteDirect("row %d", row);
    }
    output::SetCursor(7, 23);
  }
};

TEST_F(TraceScreenTest, ClearScreenBlanksEveryCellAndHomesTheCursor) {
  output::ClearScreen();
  for (int row = 0; row < platform::kScreenRows; ++row) EXPECT_EQ(Row(row), Padded("")) << row;
  EXPECT_EQ(Cursor(), std::make_pair(0, 0));
}

TEST_F(TraceScreenTest, FullRegionScrollsTheWholeScreenAndWritesOnTheBottomRow) {
  controlBlock.currentRow = 24;
  Show("newest");
  EXPECT_EQ(Row(0), Padded("row 1"));
  EXPECT_EQ(Row(23), Padded("row 24"));
  EXPECT_EQ(Row(24), Padded("newest"));
  EXPECT_EQ(controlBlock.currentRow.load(), 24);
  EXPECT_EQ(Cursor(), std::make_pair(7, 23));
}

TEST_F(TraceScreenTest, DebugModeRegionScrollsAbovePromptArea) {
  controlBlock.bottomRow = 21;
  controlBlock.currentRow = 21;
  Show("in region");
  EXPECT_EQ(Row(0), Padded("row 1"));
  EXPECT_EQ(Row(20), Padded("row 21"));
  EXPECT_EQ(Row(21), Padded("in region"));
  for (int row = 22; row <= 24; ++row) EXPECT_EQ(Row(row), Padded("row " + std::to_string(row)));
  EXPECT_EQ(Cursor(), std::make_pair(7, 23));
}

TEST_F(TraceScreenTest, LinesFollowTheRowSetAtStartUpAndAtTheAccessSequence) {
  controlBlock.currentRow = 12;
  Show("after start-up");
  EXPECT_EQ(Row(13), Padded("after start-up"));
  EXPECT_EQ(Row(12), Padded("row 12"));

  controlBlock.bottomRow = 21;
  controlBlock.currentRow = 1;
  Show("after access");
  EXPECT_EQ(Row(2), Padded("after access"));
  EXPECT_EQ(controlBlock.currentRow.load(), 2);
}

TEST_F(TraceScreenTest, AfterLogoutLinesGoBelowTheLastOneUntilRow24) {
  controlBlock.currentRow = 21;
  Show("first");
  Show("second");
  Show("third");
  EXPECT_EQ(Row(22), Padded("first2"));  // the tail of "row 22" stays
  EXPECT_EQ(Row(24), Padded("third4"));
  EXPECT_EQ(Row(0), Padded("row 0"));  // no scroll yet
  Show("fourth");
  EXPECT_EQ(Row(0), Padded("row 1"));
  EXPECT_EQ(Row(24), Padded("fourth"));
}

TEST_F(TraceScreenTest, ShortLineLeavesTheTailOfTheLongerText) {
  controlBlock.currentRow = 3;
  Show("XY");
  EXPECT_EQ(Row(4), Padded("XYw 4"));
}

TEST_F(TraceScreenTest, NothingIsShownOnceExitIsRequested) {
  controlBlock.currentRow = 5;
  controlBlock.exitRequested = 1;
  Show("late");
  EXPECT_EQ(controlBlock.currentRow.load(), 5);
  EXPECT_EQ(Row(6), Padded("row 6"));
}

TEST_F(TraceScreenTest, TextWrittenAtTheCursorContinuesInPlaceAcrossTraceLines) {
  output::SetCursor(0, 23);
  output::WriteDirect("abc");
  controlBlock.currentRow = 8;
  Show("trace one");
  output::WriteDirect("def");
  Show("trace two\n");
  output::WriteDirect("ghi");
  EXPECT_EQ(Row(23), Padded("abcdefghi"));
  EXPECT_EQ(Row(9), Padded("trace one"));
  EXPECT_EQ(Cursor(), std::make_pair(9, 23));
}

}  // namespace
