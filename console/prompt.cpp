// The operator prompt of debug mode: the prompt area, line input, the dot commands and the
// forwarding of firmware commands.
#include "console/prompt.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "capi/adapter_exchange.h"
#include "console/banner.h"
#include "control/records/control_block.h"
#include "output/log_writer.h"
#include "output/print.h"
#include "output/trace_screen.h"
#include "platform/console.h"

namespace console {

namespace {

using output::kPromptRow;
using output::kReplyRow;
using output::kSeparatorRow;

constexpr int kLineSize = 256;

constexpr const char* kSeparator =
    "\r--------------------------------------------------------------------------------";
// 78 blanks: columns 78 and 79 keep what they held.
constexpr const char* kBlankRow =
    "\r                                                                              ";
constexpr const char* kTaskNameList =
    "\rV42 CMT SM2 L2D PPP DCH BCH FD0 TIM L3E L2B L2M MLP FAX L3P STP";
// First letters of the firmware task names.
constexpr const char* kTaskLetters = "vcslpdbfmt";
constexpr int kMinCommandLength = 3;
constexpr int kMaxCommandLength = 39;

// Puts the cursor at (column, row) and writes text there, as one unit of drawing.
void DrawAt(int column, int row, const char* text) {
  platform::ConsoleLock();
  output::SetCursor(column, row);
  output::WriteDirect("%s", text);
  platform::ConsoleUnlock();
}

// Turns a 0/1 setting over and answers with the text for its new state.
void Toggle(std::atomic<int32_t>& flag, const char* replyOff, const char* replyOn) {
  int32_t now = flag.load() == 0 ? 1 : 0;
  flag.store(now);
  output::WriteDirect("%s", now == 1 ? replyOn : replyOff);
}

// .c: shows the controller; a third character 0..7 sets it first (a non-digit counts as 0,
// 8 and 9 keep it).
void ControllerCommand(const char* line, size_t length) {
  control::ControlBlock& cb = control::controlBlock;
  if (length > 2) {
    char digit = line[2];
    int value = (digit >= '0' && digit <= '9') ? digit - '0' : 0;
    if (value <= control::kMaxControllerNo) cb.controller = static_cast<uint8_t>(value);
  }
  output::WriteDirect("\rController number: %1d", cb.controller);
}

// .f: alone toggles the filter; with 1..6 characters sets its text, blanks included.
void FilterCommand(const char* line, size_t length) {
  if (length == 2) {
    Toggle(control::controlBlock.filterEnabled, "\rFilter disabled", "\rFilter enabled");
    return;
  }
  size_t textLength = length - 2;
  if (textLength > static_cast<size_t>(control::MAX_FILTER_LEN)) {
    output::WriteDirect(
        "\rFilter range between 1 and MAX_FILTER_LEN chars, no char toggles filter");
    return;
  }
  control::StoreFilterText(line + 2, static_cast<int>(textLength));
  char text[control::MAX_FILTER_LEN + 2];
  control::LoadFilterText(text);
  output::WriteDirect("\rFilter: \"%s\"", text);
}

// .l: leaves debug mode; the whole screen becomes the output region again.
void LogoutCommand() {
  control::ControlBlock& cb = control::controlBlock;
  cb.loggedIn = 0;
  output::WriteDirect("\rLogged out");
  cb.bottomRow = output::kFullBottomRow;
  output::ClearScreen();
  PrintBanner();
}

// .m: writes the next numbered marker line into the log only.
void MarkerCommand() {
  int32_t number = control::controlBlock.markerNo.fetch_add(1) + 1;
  char line[kLineSize];
  std::snprintf(line, sizeof line,
                "################### Marker No. %03d - %s  #####################\n", number,
                output::Timestamp());
  output::LogOnly(line);
  output::WriteDirect("\rSet Marker No. %d", number);
}

// Carries out a line that begins with '.'; the second character chooses the command.
void DotCommand(const char* line, size_t length) {
  control::ControlBlock& cb = control::controlBlock;
  switch (line[1]) {
    case 'x':
      output::WriteDirect("\rPlease exit program with <CTRL-X>!");
      break;
    case 'a':
      Toggle(cb.autoPopup, "\rAuto popup mode off", "\rAuto popup mode on");
      break;
    case 'c':
      ControllerCommand(line, length);
      break;
    case 'd':
      Toggle(cb.dumpMode, "\rDump mode off", "\rDump mode on");
      break;
    case 'e':
      Toggle(cb.showControllerNo, "\rDisp contr no off", "\rDisp contr no on");
      break;
    case 'f':
      FilterCommand(line, length);
      break;
    case 'l':
      LogoutCommand();
      break;
    case 'm':
      MarkerCommand();
      break;
    case 'p':
      output::ForgetLogFailure();
      Toggle(cb.loggingEnabled, "\rConsole print mode on, logging mode off",
             "\rConsole print mode off, logging mode on");
      break;
    case 's':
      output::ClearScreen();
      capi::RequestDownloadScreen();
      break;
    case 't':
      output::ClearScreen();
      PrintBanner();
      output::Print("\n");
      break;
    case 'w':
      Toggle(cb.waitMode, "\rWait mode off", "\rWait mode on");
      break;
    default:  // the dot alone, .h, .o and every other letter
      PrintHelpScreen();
      break;
  }
}

// True for a line that the firmware takes as a task command.
bool IsFirmwareCommand(const char* line, size_t length) {
  return length >= kMinCommandLength && length <= kMaxCommandLength &&
         std::strchr(kTaskLetters, line[0]) != nullptr;
}

}  // namespace

void RunPrompt() {
  char prompt[16];
  std::snprintf(prompt, sizeof prompt, "\rC%1d:-)", control::controlBlock.controller);
  DrawAt(0, kSeparatorRow, kSeparator);
  DrawAt(0, kPromptRow, kBlankRow);
  DrawAt(0, kReplyRow, kBlankRow);
  DrawAt(0, kPromptRow, prompt);

  char line[kPromptLineSize];
  // Input has ended (or the program is asked to end): no line, nothing carried out.
  if (platform::ReadLine(line, sizeof line) < 0) return;
  output::WriteDirect("%s", kBlankRow);

  // The line is taken as the text up to its first zero byte, as it would be sent.
  size_t length = std::strlen(line);
  if (line[0] == '.') {
    DotCommand(line, length);
  } else if (IsFirmwareCommand(line, length)) {
    capi::SendDebugCommand(line);
  } else {
    output::WriteDirect("%s", kTaskNameList);
  }
}

}  // namespace console
