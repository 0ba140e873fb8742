// The message box laid over the screen: its frame, title, text lines and OK button, and text
// cut to the screen.
#include <gtest/gtest.h>

#include <string>

#include "platform/linux/message_box_internal.h"

namespace {

TEST(MessageBox, FramedTitledBoxWithTheTextLinesAndOkInTheMiddle) {
  platform::ScreenOverlay box{};
  platform::LayoutMessageBox("First line of it\r\nsecond", &box);
  auto line = [&](int row) {
    return std::string(&box.grid.cells[row][box.left], box.right - box.left + 1);
  };
  int width = box.right - box.left + 1;
  EXPECT_EQ(width, 20);  // the 16 characters of the longest line, a blank and a frame each side
  EXPECT_EQ(box.left, (80 - width) / 2);
  EXPECT_EQ(box.bottom - box.top + 1, 7);
  EXPECT_EQ(box.top, (25 - 7) / 2);
  EXPECT_EQ(line(box.top), "\xC9\xCD\xCD\xCD\xCD LINKSPY \xCD\xCD\xCD\xCD\xCD\xBB");
  EXPECT_EQ(line(box.top + 1), std::string("\xBA").append(18, ' ').append("\xBA"));
  EXPECT_EQ(line(box.top + 2), "\xBA First line of it \xBA");
  EXPECT_EQ(line(box.top + 3), std::string("\xBA second").append(11, ' ').append("\xBA"));
  EXPECT_EQ(line(box.top + 4), std::string("\xBA").append(18, ' ').append("\xBA"));
  EXPECT_EQ(line(box.top + 5), "\xBA      [ OK ]      \xBA");
  EXPECT_EQ(line(box.bottom), std::string("\xC8").append(18, '\xCD').append("\xBC"));
  EXPECT_EQ(box.cursorRow, box.top + 5);
  EXPECT_EQ(box.grid.cells[box.cursorRow][box.cursorColumn], 'O');
}

TEST(MessageBox, OverlongTextIsCutToTheScreen) {
  platform::ScreenOverlay box{};
  std::string text(200, 'w');
  for (int i = 0; i < 30; ++i) text += "\nline";
  platform::LayoutMessageBox(text.c_str(), &box);
  EXPECT_EQ(box.left, 0);
  EXPECT_EQ(box.right, 79);
  EXPECT_EQ(box.top, 0);
  EXPECT_EQ(box.bottom, 24);
  EXPECT_EQ(box.grid.cells[2][77], 'w');
  EXPECT_EQ(box.grid.cells[2][79], '\xBA');
}

}  // namespace
