// The console with standard input and output redirected: stream bytes pass unchanged, direct
// writes stay in the screen model, keys and lines come from standard input, message boxes go
// to standard error, and waiting for a key blocks instead of spinning.
#include "platform/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>

#include "support/stdout_capture.h"

namespace {

std::string Row(int row) {
  char cells[platform::kScreenColumns];
  platform::ConsoleReadRow(row, cells);
  std::string text(cells, sizeof cells);
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

// Runs the tests only where standard output is redirected (as under ctest).
class Headless : public ::testing::Test {
 protected:
  void SetUp() override {
    if (isatty(1)) GTEST_SKIP() << "standard output is a terminal";
    savedInput_ = dup(0);
  }
  void TearDown() override {
    if (savedInput_ >= 0) {
      dup2(savedInput_, 0);
      close(savedInput_);
    }
  }
  // Makes standard input a pipe holding input; the write end stays open when keepOpen.
  void Input(const std::string& input, bool keepOpen = false) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    dup2(ends[0], 0);
    close(ends[0]);
    if (keepOpen) {
      writeEnd_ = ends[1];
    } else {
      close(ends[1]);
    }
  }
  int savedInput_ = -1;
  int writeEnd_ = -1;
};

TEST_F(Headless, StreamBytesPassUnchangedAndDirectWritesStayOffStandardOutput) {
  platform::ConsoleSetCursor(0, 3);
  platform::ConsoleWrite("\r          ", 11);
  platform::ConsoleSetCursor(0, 3);
  testing_support::StdoutCapture capture;
  const std::string stream("\rLINKSPY\xFD\n\x01\x7F\xC9 end\n", 16);
  platform::StreamWrite(stream.data(), stream.size(), platform::Severity::kError);
  platform::ConsoleWrite("direct", 6);
  EXPECT_EQ(capture.Take(), stream);
  EXPECT_EQ(Row(3), "direct");  // the stream text did not land in the model
  int column, row;
  platform::ConsoleGetCursor(&column, &row);
  EXPECT_EQ(column, 6);
  EXPECT_EQ(row, 3);
}

TEST_F(Headless, LinesEndAtLineFeedsWithCarriageReturnsBeforeThemDropped) {
  Input("first\r\nin\rside\n\ncut after five\nlast");
  char line[6];
  EXPECT_EQ(platform::ReadLine(line, sizeof line), 5);
  EXPECT_STREQ(line, "first");
  EXPECT_EQ(platform::ReadLine(line, sizeof line), 5);
  EXPECT_STREQ(line, "in\rsi");
  EXPECT_EQ(platform::ReadLine(line, sizeof line), 0);
  EXPECT_STREQ(line, "");
  EXPECT_EQ(platform::ReadLine(line, sizeof line), 5);  // the rest of the line is dropped
  EXPECT_STREQ(line, "cut a");
  EXPECT_EQ(platform::ReadLine(line, sizeof line), 4);  // a last line without its line feed
  EXPECT_STREQ(line, "last");
  EXPECT_EQ(platform::ReadLine(line, sizeof line), -1);
  EXPECT_EQ(platform::ReadLine(line, 1), -1);
}

TEST_F(Headless, ALineLeavesTheModelCursorOnTheNextRow) {
  Input(".x\n");
  platform::ConsoleSetCursor(5, 23);
  char line[256];
  EXPECT_EQ(platform::ReadLine(line, sizeof line), 2);
  int column, row;
  platform::ConsoleGetCursor(&column, &row);
  EXPECT_EQ(column, 0);
  EXPECT_EQ(row, 24);
}

TEST_F(Headless, KeysAreSingleBytesUntilTheEndOfInput) {
  Input(std::string("\x10\x05\x0E \xFD", 5));
  EXPECT_TRUE(platform::KeyWaiting(0));
  for (int expected : {0x10, 0x05, 0x0E, 0x20, 0xFD}) EXPECT_EQ(platform::ReadKey(), expected);
  EXPECT_EQ(platform::ReadKey(), -1);
  EXPECT_EQ(platform::ReadKey(), -1);
  // The ended input (always readable) no longer wakes a wait: it sleeps its time.
  auto start = std::chrono::steady_clock::now();
  std::clock_t cpuStart = std::clock();
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(platform::KeyWaiting(50));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
  EXPECT_LT(static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC, 0.05);
}

TEST_F(Headless, WaitingForAKeyBlocksForItsTimeWithoutSpinning) {
  Input("", true);
  auto start = std::chrono::steady_clock::now();
  std::clock_t cpuStart = std::clock();
  EXPECT_FALSE(platform::KeyWaiting(200));
  double cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  EXPECT_LT(waited, std::chrono::milliseconds(1000));
  EXPECT_LT(cpuSeconds, 0.05);
  ASSERT_EQ(write(writeEnd_, "k", 1), 1);
  EXPECT_TRUE(platform::KeyWaiting(1000));
  EXPECT_EQ(platform::ReadKey(), 'k');
  close(writeEnd_);
}

TEST_F(Headless, MessageBoxIsALineOnStandardErrorAndDoesNotBlock) {
  Input("", true);
  char path[] = "/tmp/linkspy-stderr-XXXXXX";
  int file = mkstemp(path);
  unlink(path);
  int saved = dup(2);
  dup2(file, 2);
  platform::ShowMessageBox("CAPI not installed\nsecond line", platform::Severity::kError);
  dup2(saved, 2);
  close(saved);
  char text[128] = {};
  ASSERT_GT(pread(file, text, sizeof text - 1, 0), 0);
  close(file);
  EXPECT_STREQ(text, "LINKSPY: CAPI not installed\nsecond line\n");
  close(writeEnd_);
}

TEST_F(Headless, OpeningAndClosingLeaveTheChannelsAsTheyWere) {
  platform::ConsoleOpen();
  platform::ConsoleSetTitle("LINKSPY for Windows NT");
  platform::ConsoleClose();
  platform::ConsoleClose();
  testing_support::StdoutCapture capture;
  platform::StreamWrite("after\n", 6, platform::Severity::kWarning);
  EXPECT_EQ(capture.Take(), "after\n");
}

}  // namespace
