// The banner and the help screen, byte for byte as they reach redirected standard output.
#include "console/banner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "control/records/control_block.h"
#include "control/records/control_block_internal.h"
#include "support/stdout_capture.h"

namespace {

TEST(Banner, ThreeLinesWithTheCopyrightLine) {
  testing_support::StdoutCapture capture;
  console::PrintBanner();
  EXPECT_EQ(capture.Take(), std::string("LINKSPY for Windows NT v0.96\n") +
                                console::kCopyrightLine +
                                "\n** Version for internal use only **\n");
  EXPECT_EQ(std::strchr(console::kCopyrightLine, '\n'), nullptr);
  EXPECT_EQ(std::strncmp(console::kCopyrightLine, "Copyright", 9), 0);
}

std::string HelpScreen() {
  testing_support::StdoutCapture capture;
  console::PrintHelpScreen();
  return capture.Take();
}

TEST(HelpScreen, EveryLineWithItsValuesAndTheRawMarkByte) {
  control::ResetControlBlock();
  control::ControlBlock& cb = control::controlBlock;
  cb.autoPopup = 1;
  cb.controller = 6;
  cb.showControllerNo = 1;
  cb.filterEnabled = 1;
  control::StoreFilterText(" dch", 4);
  cb.markerNo = 12;
  cb.loggingEnabled = 0;
  cb.waitMode = 1;
  EXPECT_EQ(HelpScreen(),
            "The following commands can be entered at promt sign:\n\n"
            ".a     \xFD- toggle auto popup screen mode         [status: 1]\n"
            ".c<No> \xFD- display/set controller number (0..7)  [status: 6]\n"
            ".d     \xFD- toggle dump all messages              [status: 0]\n"
            ".e     \xFD- toggle display type (w/o contr no)    [status: 1]\n"
            ".f      - toggle & set task filter for output   [status: 1, text: \" dch\"]\n"
            ".h      - this help screen\n"
            ".l      - logout and clear screen\n"
            ".m      - set marker (only in logfile)          [status: 12]\n"
            ".o      - clear screen\n"
            ".p      - toggle logging to file/console        [status: 0]\n"
            ".s      - get qz7 download screen\n"
            ".t      - get enviroment parameters\n"
            ".w      - stop output when CTRL-A key pressed   [status: 1]\n"
            ".x      - exit program\n\n"
            "\xFD = parameter is available at command line\n");
}

}  // namespace
