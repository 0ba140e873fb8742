// The operator prompt driven headless: lines fed through standard input, replies read from
// the console screen, firmware commands recorded by a fake provider, markers in the log.
#include "console/prompt.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "capi/records/capi_provider.h"
#include "console/banner.h"
#include "console/dot_commands.h"
#include "control/records/control_block.h"
#include "output/log_writer.h"
#include "output/trace_screen.h"
#include "platform/console.h"
#include "support/stdout_capture.h"
#include "support/temporary_folder.h"
#include "support/test_messages.h"

namespace {

using control::controlBlock;
using testing_support::FirmwareCommands;

std::vector<std::vector<uint8_t>> sentMessages;
uint32_t putResult = 0;

uint32_t RecordPut(uint32_t, const uint8_t* message) {
  size_t length = message[0] | (message[1] << 8);
  sentMessages.emplace_back(message, message + length);
  return putResult;
}

class Prompt : public testing_support::TemporaryFolderTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(TemporaryFolderTest::SetUp());
    controlBlock.loggedIn = 1;
    controlBlock.bottomRow = 21;
    sentMessages.clear();
    putResult = 0;
    capi::capiProvider.CAPI_PUT_MESSAGE = RecordPut;
    capi::capiProvider.applId = 3;
  }
  // Feeds input (bytes as typed, line ends included) on standard input and runs the prompt
  // that many times; returns what reached standard output.
  std::string Run(const std::string& input, int prompts = 1) {
    std::string path = folder_ + "/input";
    std::ofstream(path, std::ios::binary) << input;
    int saved = dup(0);
    int fd = open(path.c_str(), O_RDONLY);
    dup2(fd, 0);
    close(fd);
    testing_support::StdoutCapture capture;
    for (int i = 0; i < prompts; ++i) console::RunPrompt();
    std::string text = capture.Take();
    dup2(saved, 0);
    close(saved);
    return text;
  }
  std::string RunLine(const std::string& line) { return Run(line + "\n"); }

  std::string Log() {
    std::ifstream in(folder_ + "/LINKSPY.LOG", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
};

// One screen row without its trailing blanks.
std::string Row(int row) {
  char cells[platform::kScreenColumns];
  platform::ConsoleReadRow(row, cells);
  std::string text(cells, sizeof cells);
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

std::string Banner() {
  return std::string("LINKSPY for Windows NT v0.96\n") + console::kCopyrightLine +
         "\n** Version for internal use only **\n";
}

// The help screen as it reaches standard output.
std::string HelpScreen() {
  testing_support::StdoutCapture capture;
  console::PrintHelpScreen();
  return capture.Take();
}

TEST_F(Prompt, ToggleRepliesNameTheNewState) {
  struct Case {
    const char* line;
    std::atomic<int32_t>& flag;
    const char* on;
    const char* off;
  } cases[] = {
      {".a", controlBlock.autoPopup, "Auto popup mode on", "Auto popup mode off"},
      {".d", controlBlock.dumpMode, "Dump mode on", "Dump mode off"},
      {".e", controlBlock.showControllerNo, "Disp contr no on", "Disp contr no off"},
      {".w", controlBlock.waitMode, "Wait mode on", "Wait mode off"},
  };
  for (Case& c : cases) {
    EXPECT_EQ(RunLine(c.line), "");
    EXPECT_EQ(c.flag, 1) << c.line;
    EXPECT_EQ(Row(24), c.on);
    RunLine(std::string(c.line) + "xyz");
    EXPECT_EQ(c.flag, 0) << c.line;
    EXPECT_EQ(Row(24), c.off);
  }
  RunLine(".x");
  EXPECT_EQ(Row(24), "Please exit program with <CTRL-X>!");
  EXPECT_EQ(controlBlock.exitRequested, 0);
  EXPECT_TRUE(sentMessages.empty());
}

TEST_F(Prompt, DrawsTheSeparatorAndThePromptWithTheController) {
  controlBlock.controller = 5;
  RunLine(".x");
  EXPECT_EQ(Row(22), std::string(80, '-'));
  EXPECT_EQ(Row(23).rfind("C5:-)", 0), 0u) << Row(23);
}

TEST_F(Prompt, ControllerCommandRules) {
  struct Case {
    const char* line;
    int controller;
  } cases[] = {{".c", 1},  {".c5", 5}, {".c9", 5}, {".c8", 5},  {".c12", 1},
               {".c7", 7}, {".cx", 0}, {".c3", 3}, {".c 5", 0}, {".c0", 0}};
  for (const Case& c : cases) {
    RunLine(c.line);
    EXPECT_EQ(controlBlock.controller, c.controller) << c.line;
    EXPECT_EQ(Row(24), "Controller number: " + std::to_string(c.controller)) << c.line;
  }
}

TEST_F(Prompt, FilterCommandRules) {
  struct Case {
    const char* line;
    const char* text;
    int enabled;
    const char* reply;
  } cases[] = {
      {".fabc", "abc", 0, "Filter: \"abc\""},
      {".f", "abc", 1, "Filter enabled"},
      {".f123456", "123456", 1, "Filter: \"123456\""},
      {".f1234567", "123456", 1,
       "Filter range between 1 and MAX_FILTER_LEN chars, no char toggles filter"},
      {".f dch", " dch", 1, "Filter: \" dch\""},
      {".f", " dch", 0, "Filter disabled"},
  };
  for (const Case& c : cases) {
    RunLine(c.line);
    char text[control::kFilterTextSize];
    control::LoadFilterText(text);
    EXPECT_STREQ(text, c.text) << c.line;
    EXPECT_EQ(controlBlock.filterEnabled, c.enabled) << c.line;
    EXPECT_EQ(Row(24), c.reply) << c.line;
  }
}

TEST_F(Prompt, MarkersAreNumberedInTheLogOnly) {
  EXPECT_EQ(RunLine(".m"), "");
  EXPECT_EQ(Row(24), "Set Marker No. 1");
  RunLine(".mignored");
  EXPECT_EQ(Row(24), "Set Marker No. 2");
  EXPECT_EQ(controlBlock.markerNo, 2);
  const std::string stamp = R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)";
  std::regex lines("################### Marker No. 001 - " + stamp +
                   "  #####################\n"
                   "################### Marker No. 002 - " +
                   stamp + "  #####################\n");
  EXPECT_TRUE(std::regex_match(Log(), lines)) << Log();
  EXPECT_NE(RunLine(".h").find("[status: 2]\n"), std::string::npos);
}

TEST_F(Prompt, PrintModeSendsTheLogWriterToStandardOutput) {
  RunLine(".p");
  EXPECT_EQ(controlBlock.loggingEnabled, 0);
  EXPECT_EQ(Row(24), "Console print mode on, logging mode off");
  std::string printed = RunLine(".m");
  EXPECT_NE(printed.find("Marker No. 001"), std::string::npos) << printed;
  EXPECT_EQ(Log(), "");
  RunLine(".pxyz");
  EXPECT_EQ(controlBlock.loggingEnabled, 1);
  EXPECT_EQ(Row(24), "Console print mode off, logging mode on");
  EXPECT_EQ(RunLine(".m"), "");
  EXPECT_NE(Log().find("Marker No. 002"), std::string::npos);
}

TEST_F(Prompt, ForwardsOnlyTaskCommandsExactlyAsTyped) {
  const char* taskList = "V42 CMT SM2 L2D PPP DCH BCH FD0 TIM L3E L2B L2M MLP FAX L3P STP";
  for (std::string line : {std::string(""), std::string("db"), std::string(40, 'd'),
                           std::string("DCH 22"), std::string("xyz 1"), std::string(" dch")}) {
    RunLine(line);
    EXPECT_EQ(Row(24), taskList) << line;
  }
  EXPECT_TRUE(sentMessages.empty());

  controlBlock.controller = 2;
  EXPECT_EQ(RunLine("dch 22"), "");
  EXPECT_EQ(Row(24), "");
  ASSERT_EQ(sentMessages.size(), 1u);
  const std::vector<uint8_t> expected = {19, 0, 3,   0,   0x19, 0,   0,   0,   2, 1,
                                         8,  2, 'd', 'c', 'h',  ' ', '2', '2', 0};
  EXPECT_EQ(sentMessages[0], expected);

  std::string longest(39, 'x');
  longest[0] = 't';
  for (std::string line :
       {std::string("v42"), longest, std::string("c  b"), std::string("mlp x\r")}) {
    RunLine(line);
  }
  EXPECT_EQ(FirmwareCommands(sentMessages),
            (std::vector<std::string>{"dch 22", "v42", longest, "c  b", "mlp x"}));
}

TEST_F(Prompt, HelpForEveryOtherDotLine) {
  std::string help = HelpScreen();
  for (const char* line : {".", ".h", ".o", ".z", ".A", ".X", ".."}) {
    EXPECT_EQ(RunLine(line), help) << line;
  }
  RunLine(".a");
  EXPECT_NE(RunLine(".h").find("auto popup screen mode         [status: 1]"), std::string::npos);
}

// The letters with a command of their own are exactly those the help screen lists, each on
// one line of its own.
TEST_F(Prompt, EveryCommandLetterHasExactlyOneHelpLine) {
  std::string help = HelpScreen();
  std::string accepted;
  for (int key = 0; key < 256; ++key) {
    const console::DotCommand* row = console::FindDotCommand(static_cast<char>(key));
    std::string lineStart = std::string("\n.") + static_cast<char>(key);
    int helpLines = 0;
    for (size_t at = help.find(lineStart); at != std::string::npos;
         at = help.find(lineStart, at + 1)) {
      ++helpLines;
    }
    EXPECT_EQ(helpLines, row != nullptr ? 1 : 0) << key;
    if (row == nullptr) continue;
    EXPECT_EQ(row->key, static_cast<char>(key));
    accepted += static_cast<char>(key);
  }
  EXPECT_EQ(accepted, "acdefhlmopstwx");
}

TEST_F(Prompt, LogoutEndsDebugModeWithTheBanner) {
  EXPECT_EQ(RunLine(".l"), Banner());
  EXPECT_EQ(controlBlock.loggedIn, 0);
  EXPECT_EQ(controlBlock.bottomRow, 24);
}

TEST_F(Prompt, WaitModeOffLogoutAndTheHelpScreenReleaseHeldOutput) {
  for (const char* line : {".w", ".l", ".h"}) {
    controlBlock.loggedIn = 1;
    controlBlock.bottomRow = 21;
    controlBlock.waitMode = 1;
    output::HoldOutput();
    ASSERT_EQ(controlBlock.outputStopRequested, 1);
    RunLine(line);
    EXPECT_EQ(controlBlock.outputStopRequested, 0) << line;
  }
  EXPECT_EQ(controlBlock.waitMode, 1);
}

TEST_F(Prompt, EnvironmentShowsTheBannerAndOneBlankLine) {
  EXPECT_EQ(RunLine(".t"), Banner() + "\n");
  EXPECT_EQ(controlBlock.loggedIn, 1);
}

TEST_F(Prompt, DownloadScreenRequestAndItsFailure) {
  EXPECT_EQ(RunLine(".s"), "");
  ASSERT_EQ(sentMessages.size(), 1u);
  EXPECT_EQ(sentMessages[0], (std::vector<uint8_t>{12, 0, 3, 0, 0x19, 0, 0, 0, 1, 1, 1, 1}));
  putResult = 0x1101;
  EXPECT_EQ(RunLine(".s"), "download req rc=1101");
}

TEST_F(Prompt, EndedInputCarriesOutNothingAndLeavesTheProgramRunning) {
  EXPECT_EQ(Run(""), "");
  EXPECT_EQ(controlBlock.exitRequested, 0);
  EXPECT_TRUE(sentMessages.empty());
  // A last line without its line end is still a line.
  Run(".a");
  EXPECT_EQ(controlBlock.autoPopup, 1);
  EXPECT_EQ(controlBlock.exitRequested, 0);
}

TEST_F(Prompt, OverlongLineIsCutAndNotForwarded) {
  // The rest of the long line is dropped, not read as the next line.
  Run("d" + std::string(300, 'x') + "\ndch 23\n", 2);
  EXPECT_EQ(FirmwareCommands(sentMessages), (std::vector<std::string>{"dch 23"}));
}

}  // namespace
