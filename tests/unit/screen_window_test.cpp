// The window that a terminal smaller than 80 x 25 shows of the screen.
#include "platform/linux/screen_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "output/trace_screen.h"

namespace {

using platform::ChooseWindow;
using platform::ScreenWindow;
using platform::WindowMarker;

// The window as (top, left, height, width), for readable failures.
std::tuple<int, int, int, int> Parts(const ScreenWindow& window) {
  return {window.top, window.left, window.height, window.width};
}

TEST(ScreenWindow, BigTerminalsShowTheWholeScreenWithoutAMarker) {
  for (int rows : {25, 26, 60}) {
    for (int column : {0, 79}) {
      ScreenWindow window = ChooseWindow(rows, 132, column, 0);
      EXPECT_EQ(Parts(window), std::make_tuple(0, 0, 25, 80));
      EXPECT_EQ(WindowMarker(window), 0);
    }
  }
}

TEST(ScreenWindow, BottomRowsUnlessTheCursorIsAboveAndColumnsFollowingTheCursorRight) {
  struct Case {
    int terminalRows, terminalColumns, cursorColumn, cursorRow;
    std::tuple<int, int, int, int> window;
  };
  const Case cases[] = {
      // 24 rows: row 24 (newest trace line, reply row) stays in view; row 0 goes first.
      {24, 80, 5, 24, {1, 0, 24, 80}},
      {24, 80, 5, 12, {1, 0, 24, 80}},
      {24, 80, 2, 0, {0, 0, 24, 80}},
      // 18 rows: rows 7..24 unless the cursor stands higher; then just far enough up.
      {18, 80, 0, 24, {7, 0, 18, 80}},
      {18, 80, 0, 12, {7, 0, 18, 80}},
      {18, 80, 0, 3, {3, 0, 18, 80}},
      {18, 80, 1, 0, {0, 0, 18, 80}},
      {1, 80, 0, 23, {23, 0, 1, 80}},
      // Narrow: columns from 0, moved right just far enough for the cursor.
      {25, 60, 10, 23, {0, 0, 25, 60}},
      {25, 60, 59, 23, {0, 0, 25, 60}},
      {25, 60, 60, 23, {0, 1, 25, 60}},
      {18, 60, 79, 23, {7, 20, 18, 60}},
      {18, 1, 79, 0, {0, 79, 18, 1}},
      // Sizes a terminal cannot have still give a window on the screen.
      {0, 0, 0, 0, {0, 0, 1, 1}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parts(ChooseWindow(c.terminalRows, c.terminalColumns, c.cursorColumn, c.cursorRow)),
              c.window)
        << c.terminalRows << " x " << c.terminalColumns << ", cursor " << c.cursorColumn << ","
        << c.cursorRow;
  }
}

TEST(ScreenWindow, ARowWrittenOutsideIsBroughtIntoViewAsFarAsTheCursorAllows) {
  struct Case {
    int terminalRows, cursorRow, rowToShow;
    int top;
  };
  const Case cases[] = {
      // 24 rows, welcome line on row 0 and the cursor two rows below it: rows 0..23.
      {24, 2, 0, 0},
      // A banner at the top of a cleared screen with the cursor below it.
      {24, 3, 0, 0},
      // A row already in view, or none, changes nothing.
      {24, 2, 12, 1},
      {24, 2, platform::kNoRow, 1},
      // The window is as low as the cursor allows: a row below it stays out of view.
      {18, 0, 20, 0},
      // The cursor's row stays in view: the window goes only as far as it allows.
      {24, 24, 0, 1},
      {10, 23, 2, 14},
      {18, 12, 0, 0},
      // Big terminals show everything anyway.
      {25, 24, 0, 0},
  };
  for (const Case& c : cases) {
    ScreenWindow window = ChooseWindow(c.terminalRows, 80, 0, c.cursorRow, c.rowToShow);
    EXPECT_EQ(Parts(window), std::make_tuple(c.top, 0, std::min(c.terminalRows, 25), 80))
        << c.terminalRows << " rows, cursor row " << c.cursorRow << ", row " << c.rowToShow;
  }
}

TEST(ScreenWindow, TheTopmostWrittenRowThatTheWindowDoesNotShow) {
  ScreenWindow bottom = ChooseWindow(24, 80, 0, 2);  // rows 1..24
  EXPECT_EQ(platform::RowOutside(0u, bottom), platform::kNoRow);
  EXPECT_EQ(platform::RowOutside(1u << 2 | 1u << 24, bottom), platform::kNoRow);
  EXPECT_EQ(platform::RowOutside(1u | 1u << 2, bottom), 0);
  ScreenWindow middle = ChooseWindow(10, 80, 0, 8, 5);  // rows 5..14
  EXPECT_EQ(platform::RowOutside(1u << 20 | 1u << 3 | 1u << 8, middle), 3);
  EXPECT_EQ(platform::RowOutside(1u << 20 | 1u << 8, middle), 20);
  EXPECT_EQ(platform::RowOutside(~0u, ChooseWindow(25, 80, 0, 0)), platform::kNoRow);
}

TEST(ScreenWindow, TheMarkerSaysWhatIsCut) {
  EXPECT_EQ(WindowMarker(ChooseWindow(24, 80, 0, 24)), L'\u2195');
  EXPECT_EQ(WindowMarker(ChooseWindow(25, 79, 0, 24)), L'\u2194');
  EXPECT_EQ(WindowMarker(ChooseWindow(18, 60, 0, 24)), L'+');
  EXPECT_EQ(WindowMarker(ChooseWindow(4, 80, 0, 24)), L'\u2195');
  // Three rows or fewer: every cell belongs to the prompt area.
  EXPECT_EQ(WindowMarker(ChooseWindow(3, 80, 0, 24)), 0);
  EXPECT_EQ(platform::kMinRowsForMarker, platform::kScreenRows - output::kSeparatorRow + 1);
}

}  // namespace
