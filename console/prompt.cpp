// The operator prompt of debug mode: the prompt area, line input, the dot commands and the
// forwarding of firmware commands.
#include "console/prompt.h"

#include <cstdio>
#include <cstring>

#include "capi/adapter_exchange.h"
#include "capi/records/vendor_messages.h"
#include "console/banner.h"
#include "console/dot_commands.h"
#include "control/records/control_block.h"
#include "output/print.h"
#include "output/trace_screen.h"
#include "platform/console.h"

namespace console {

namespace {

using output::kPromptRow;
using output::kReplyRow;
using output::kSeparatorRow;

constexpr const char* kSeparator =
    "\r--------------------------------------------------------------------------------";
// 78 blanks: columns 78 and 79 keep what they held.
constexpr const char* kBlankRow =
    "\r                                                                              ";
constexpr const char* kTaskNameList =
    "\rV42 CMT SM2 L2D PPP DCH BCH FD0 TIM L3E L2B L2M MLP FAX L3P STP";
// First letters of the firmware task names.
constexpr const char* kTaskLetters = "vcslpdbfmt";
constexpr size_t kMinCommandLength = 3;

// Puts the cursor at (column, row) and writes text there, as one unit of drawing.
void DrawAt(int column, int row, const char* text) {
  platform::ConsoleLock();
  output::SetCursor(column, row);
  output::WriteDirect("%s", text);
  platform::ConsoleUnlock();
}

// Carries out a line that begins with '.': the second character chooses the row; a letter
// without one, and the dot alone, show the help screen.
void RunDotCommand(const char* line, size_t length) {
  const DotCommand* command = FindDotCommand(line[1]);
  if (command == nullptr) {
    PrintHelpScreen();
  } else {
    command->run(*command, line, length);
  }
}

// True for a line that the firmware takes as a task command.
bool IsFirmwareCommand(const char* line, size_t length) {
  return length >= kMinCommandLength && length <= capi::kMaxCommandTextLength &&
         std::strchr(kTaskLetters, line[0]) != nullptr;
}

// Draws the prompt area, reads one line and carries it out; false when no line came.
bool RunPromptLine(bool* lineFollows) {
  char prompt[16];
  std::snprintf(prompt, sizeof prompt, "\rC%1d:-)", control::controlBlock.controller);
  DrawAt(0, kSeparatorRow, kSeparator);
  DrawAt(0, kPromptRow, kBlankRow);
  DrawAt(0, kReplyRow, kBlankRow);
  DrawAt(0, kPromptRow, prompt);

  char line[kPromptLineSize];
  // Input has ended (or the program is asked to end): no line, nothing carried out.
  if (platform::ReadLine(line, sizeof line) < 0) return false;
  // Looked at before the line is carried out: keys typed while it runs belong to the keyboard.
  *lineFollows = platform::LineFollows();
  output::WriteDirect("%s", kBlankRow);

  // The line is taken as the text up to its first zero byte, as it would be sent.
  size_t length = std::strlen(line);
  if (line[0] == '.') {
    RunDotCommand(line, length);
  } else if (IsFirmwareCommand(line, length)) {
    capi::SendDebugCommand(line);
  } else {
    output::WriteDirect("%s", kTaskNameList);
  }
  return true;
}

}  // namespace

// The lines of a paste each get a prompt of their own, as if typed one by one; a last line
// without its line end stays in the prompt to be finished. After .l there is no prompt: what
// follows is read as keys.
void RunPrompt() {
  bool lineFollows = false;
  do {
    if (!RunPromptLine(&lineFollows)) return;
  } while (lineFollows && control::controlBlock.loggedIn == 1);
}

}  // namespace console
