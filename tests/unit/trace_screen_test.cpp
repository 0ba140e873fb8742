// Tests of the trace screen on the console's screen model: where trace lines land, how the
// output region scrolls, and that the cursor comes back to its place.
#include "output/trace_screen.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "control/records/control_block.h"
#include "control/records/control_block_internal.h"
#include "output/print.h"
#include "output/trace_history.h"
#include "output/trace_screen_internal.h"
#include "platform/console.h"
#include "platform/linux/screen_state.h"

namespace {

using control::controlBlock;

std::string Row(int row) {
  char cells[platform::kScreenColumns];
  platform::ConsoleReadRow(row, cells);
  return std::string(cells, sizeof cells);
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

// The history ring on its own.
class TraceHistoryTest : public ::testing::Test {
 protected:
  void SetUp() override { history_.rowCount = 0; }
  // Appends count rows labelled with their number.
  void Append(int count) {
    for (int i = 0; i < count; ++i) {
      char* cells = output::HistoryAppend(&history_);
      std::snprintf(label_, sizeof label_, "%-80lld",
                    static_cast<long long>(history_.rowCount - 1));
      std::memcpy(cells, label_, platform::kScreenColumns);
    }
  }
  std::string RowText(int64_t number) {
    const char* cells = output::HistoryRow(history_, number);
    if (cells == nullptr) return "(gone)";
    std::string text(cells, platform::kScreenColumns);
    return text.substr(0, text.find_last_not_of(' ') + 1);
  }
  static output::TraceHistory history_;
  char label_[platform::kScreenColumns + 1];
};
output::TraceHistory TraceHistoryTest::history_;

TEST_F(TraceHistoryTest, TheRingKeepsTheNewestRowsOnceItWrapsAround) {
  Append(output::kHistoryRows + 5);
  EXPECT_EQ(output::HistoryOldest(history_), 5);
  EXPECT_EQ(RowText(4), "(gone)");
  EXPECT_EQ(RowText(5), "5");
  EXPECT_EQ(RowText(output::kHistoryRows + 4), std::to_string(output::kHistoryRows + 4));
  EXPECT_EQ(RowText(output::kHistoryRows + 5), "(gone)");
}

TEST_F(TraceHistoryTest, TheViewStaysBetweenTheOldestAndTheNewestRows) {
  using output::ViewMove;
  Append(100);
  int64_t newestTop = 100 - 22;
  EXPECT_EQ(output::ViewTopAfter(history_, newestTop, 22, ViewMove::kPageUp), newestTop - 22);
  EXPECT_EQ(output::ViewTopAfter(history_, 10, 22, ViewMove::kPageUp), 0);
  EXPECT_EQ(output::ViewTopAfter(history_, 70, 22, ViewMove::kPageDown), newestTop);
  EXPECT_EQ(output::ViewTopAfter(history_, 40, 22, ViewMove::kRowUp), 39);
  EXPECT_EQ(output::ViewTopAfter(history_, newestTop, 22, ViewMove::kRowDown), newestTop);
  EXPECT_EQ(output::ViewTopAfter(history_, 40, 22, ViewMove::kOldest), 0);
  EXPECT_EQ(output::ViewTopAfter(history_, 0, 22, ViewMove::kNewest), newestTop);
  // Fewer rows than the view: the oldest stands on top.
  history_.rowCount = 0;
  Append(5);
  EXPECT_EQ(output::ViewTopAfter(history_, 0, 22, ViewMove::kNewest), 0);
}

TEST_F(TraceHistoryTest, AViewWhoseRowsArePushedOutStandsOnTheOldestRowKept) {
  Append(output::kHistoryRows);
  EXPECT_EQ(output::ViewTopKept(history_, 0), 0);
  Append(30);
  EXPECT_EQ(output::ViewTopKept(history_, 0), 30);
  EXPECT_EQ(output::ViewTopKept(history_, 40), 40);
  EXPECT_EQ(output::ViewTopAfter(history_, 30, 22, output::ViewMove::kRowUp), 30);
}

// Trace lines "line N" after the screen of row labels, numbered from first.
void ShowNumbered(int first, int count) {
  for (int n = first; n < first + count; ++n) Show(("line " + std::to_string(n)).c_str());
}

class HeldTraceScreenTest : public TraceScreenTest {
 protected:
  void TearDown() override { output::ReleaseOutput(); }
};

TEST_F(HeldTraceScreenTest, HeldLinesLeaveTheRegionAsItWasAndAreCounted) {
  controlBlock.bottomRow = 21;
  controlBlock.currentRow = 21;
  ShowNumbered(1, 30);
  output::HoldOutput();
  EXPECT_EQ(controlBlock.outputStopRequested.load(), 1);
  ShowNumbered(31, 5);
  EXPECT_EQ(output::HeldLineCount(), 5);
  EXPECT_STREQ(platform::consoleMarker.text, " Held: 5 new, view 5 rows up ");
  EXPECT_EQ(Row(21), Padded("line 30"));
  EXPECT_EQ(Row(0), Padded("line 9"));
  EXPECT_EQ(controlBlock.currentRow.load(), 21);
  EXPECT_EQ(Cursor(), std::make_pair(7, 23));

  output::ReleaseOutput();
  EXPECT_EQ(controlBlock.outputStopRequested.load(), 0);
  EXPECT_EQ(output::HeldLineCount(), 0);
  EXPECT_STREQ(platform::consoleMarker.text, "");
  EXPECT_EQ(Row(21), Padded("line 35"));
  EXPECT_EQ(Row(0), Padded("line 14"));
  for (int row = 22; row <= 24; ++row) EXPECT_EQ(Row(row), Padded("row " + std::to_string(row)));
  Show("line 36");
  EXPECT_EQ(Row(21), Padded("line 36"));
  EXPECT_EQ(Row(20), Padded("line 35"));
}

TEST_F(HeldTraceScreenTest, TheViewMovesThroughTheHistoryWhileHeld) {
  using output::ViewMove;
  controlBlock.bottomRow = 21;
  controlBlock.currentRow = 21;
  ShowNumbered(1, 100);
  output::HoldOutput();
  output::MoveHeldView(ViewMove::kPageUp);
  EXPECT_EQ(Row(21), Padded("line 78"));
  EXPECT_EQ(Row(0), Padded("line 57"));
  output::MoveHeldView(ViewMove::kRowUp);
  EXPECT_EQ(Row(21), Padded("line 77"));
  ShowNumbered(101, 3);  // the view stays where it stands
  EXPECT_EQ(Row(21), Padded("line 77"));
  output::MoveHeldView(ViewMove::kRowDown);
  EXPECT_EQ(Row(0), Padded("line 57"));
  output::MoveHeldView(ViewMove::kNewest);
  EXPECT_EQ(Row(21), Padded("line 103"));
  EXPECT_STREQ(platform::consoleMarker.text, " Held: 3 new, view at newest ");
  output::MoveHeldView(ViewMove::kPageDown);
  EXPECT_EQ(Row(21), Padded("line 103"));
  for (int row = 22; row <= 24; ++row) EXPECT_EQ(Row(row), Padded("row " + std::to_string(row)));
}

TEST_F(HeldTraceScreenTest, ReleaseGoesOnAsIfTheRegionHadNotBeenHeld) {
  controlBlock.currentRow = 12;
  ShowNumbered(1, 2);
  output::HoldOutput();
  ShowNumbered(3, 4);
  output::MoveHeldView(output::ViewMove::kPageUp);
  output::ReleaseOutput();
  EXPECT_EQ(Row(12), Padded("row 12"));
  EXPECT_EQ(Row(14), Padded("line 2"));
  EXPECT_EQ(Row(18), Padded("line 6"));
  EXPECT_EQ(Row(19), Padded("row 19"));
  EXPECT_EQ(controlBlock.currentRow.load(), 18);
  // A line held over the tail of a longer text keeps that tail, as one written at once does.
  output::HoldOutput();
  Show("XY");
  output::ReleaseOutput();
  EXPECT_EQ(Row(19), Padded("XYw 19"));
}

TEST_F(HeldTraceScreenTest, HeldLinesBeyondTheHistoryMoveAViewOnTheOldestRowOn) {
  controlBlock.bottomRow = 21;
  controlBlock.currentRow = 21;
  ShowNumbered(1, 50);
  output::HoldOutput();
  output::MoveHeldView(output::ViewMove::kOldest);
  ShowNumbered(51, output::kHistoryRows + 10);
  EXPECT_EQ(Row(0), Padded("line 61"));
  EXPECT_EQ(Row(21), Padded("line 82"));
  EXPECT_EQ(output::HeldLineCount(), output::kHistoryRows + 10);
  output::ReleaseOutput();
  // Ten held lines never reached the screen: the marker's place says so for a while.
  EXPECT_STREQ(platform::consoleMarker.text, " 10 held lines are only in the log ");
  EXPECT_GT(platform::consoleMarker.untilMs, 0);
  int newest = 60 + output::kHistoryRows;
  EXPECT_EQ(Row(21), Padded("line " + std::to_string(newest)));
  EXPECT_EQ(Row(0), Padded("line " + std::to_string(newest - 21)));
}

TEST_F(HeldTraceScreenTest, ClearingTheScreenEndsTheHold) {
  controlBlock.currentRow = 3;
  output::HoldOutput();
  ShowNumbered(1, 2);
  output::ClearScreen();
  EXPECT_EQ(controlBlock.outputStopRequested.load(), 0);
  EXPECT_EQ(controlBlock.currentRow.load(), 5);
  Show("after");
  EXPECT_EQ(Row(6), Padded("after"));
}

}  // namespace
