// Line mode's output: direct writes as lines of their own, stream text as it comes, and the
// line being typed shown again below a line that came between.
#include "platform/linux/line_mode.h"

#include <gtest/gtest.h>

#include <string>

#include "support/stdout_capture.h"

namespace {

// Runs one direct write and returns what reached standard output.
std::string Direct(const std::string& text) {
  testing_support::StdoutCapture capture;
  platform::LineModeDirect(text.data(), text.size());
  return capture.Take();
}

std::string Stream(const std::string& text) {
  testing_support::StdoutCapture capture;
  platform::LineModeStream(text.data(), text.size());
  return capture.Take();
}

class LineMode : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::internal::CaptureStderr();
    platform::LineModeStart("terminal type \"dumb\" cannot place the cursor");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "LINKSPY: terminal type \"dumb\" cannot place the cursor: line mode, no screen\n");
  }
};

TEST_F(LineMode, DirectWritesAreLinesAndStreamTextFlowsOn) {
  EXPECT_EQ(Direct("\r" + std::string(80, ' ')), "");  // clearing shows nothing
  EXPECT_EQ(Direct("\r12:00:00.000 L2D RX RR"), "12:00:00.000 L2D RX RR");
  EXPECT_EQ(Direct("\r12:00:00.100 L2D TX I   "), "\r\n12:00:00.100 L2D TX I");
  EXPECT_EQ(Stream("Welcome"), "\r\nWelcome");
  EXPECT_EQ(Stream(" in debug mode\n"), " in debug mode\n");
  EXPECT_EQ(Direct("1"), "1");
  testing_support::StdoutCapture capture;
  platform::LineModeStop();
  EXPECT_EQ(capture.Take(), "\r\n");
}

TEST_F(LineMode, TheTypedLineComesBackBelowALineThatCameBetween) {
  EXPECT_EQ(Direct("\rC1:-)"), "C1:-)");
  platform::LineModeBeginEdit("C1:-)", 5);
  testing_support::StdoutCapture capture;
  platform::LineModeEcho('.');
  platform::LineModeEcho('c');
  platform::LineModeEcho('x');
  platform::LineModeBackspace();
  EXPECT_EQ(capture.Take(), ".cx\b \b");
  EXPECT_EQ(Direct("\r12:00:00.000 L2D RX RR"), "\r\n12:00:00.000 L2D RX RR\r\nC1:-).c");
  EXPECT_EQ(Stream("*Thread: error\n"), "\r\n*Thread: error\nC1:-).c");
  testing_support::StdoutCapture end;
  platform::LineModeEndEdit();
  EXPECT_EQ(end.Take(), "\r\n");
  EXPECT_EQ(Direct("\rController number: 1"), "Controller number: 1");
}

}  // namespace
