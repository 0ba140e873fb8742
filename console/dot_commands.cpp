// The dot commands: their handlers, their table and the help line of each.
#include "console/dot_commands.h"

#include <cstdio>

#include "capi/adapter_exchange.h"
#include "console/banner.h"
#include "output/log_writer.h"
#include "output/print.h"
#include "output/trace_screen.h"

namespace console {

namespace {

using control::ControlBlock;

// The main thread's line buffer, in which the marker line is formatted.
constexpr int kLineSize = 256;
// The dot and the command letter: where a command's own text begins.
constexpr size_t kCommandPrefixLength = 2;

// Turns the row's 0/1 field over and answers with the text for its new state.
void Toggle(const DotCommand& row) {
  std::atomic<int32_t>& flag = control::controlBlock.*row.field;
  int32_t now = flag.load() == 0 ? 1 : 0;
  flag.store(now);
  output::WriteDirect("%s", now == 1 ? row.replyOn : row.replyOff);
}

// .a .d .e .w: toggles the row's field; the rest of the line is ignored.
void ToggleCommand(const DotCommand& row, const char*, size_t) {
  Toggle(row);
}

// .p: like a toggle, and a log failure that switched logging off is forgotten, so that the next
// write tries the file again.
void PrintModeCommand(const DotCommand& row, const char*, size_t) {
  output::ForgetLogFailure();
  Toggle(row);
}

// .x: the program ends only by Ctrl-X.
void ExitHintCommand(const DotCommand&, const char*, size_t) {
  output::WriteDirect("\rPlease exit program with <CTRL-X>!");
}

// .c: shows the controller; a third character 0..7 sets it first (a non-digit counts as 0,
// 8 and 9 keep it).
void ControllerCommand(const DotCommand&, const char* line, size_t length) {
  ControlBlock& cb = control::controlBlock;
  if (length > kCommandPrefixLength) {
    char digit = line[kCommandPrefixLength];
    int value = (digit >= '0' && digit <= '9') ? digit - '0' : 0;
    if (value <= control::kMaxControllerNo) cb.controller = static_cast<uint8_t>(value);
  }
  output::WriteDirect("\rController number: %1d", cb.controller);
}

// .f: alone toggles the filter; with 1..6 characters sets its text, blanks included.
void FilterCommand(const DotCommand& row, const char* line, size_t length) {
  if (length == kCommandPrefixLength) {
    Toggle(row);
    return;
  }
  size_t textLength = length - kCommandPrefixLength;
  if (textLength > static_cast<size_t>(control::MAX_FILTER_LEN)) {
    output::WriteDirect(
        "\rFilter range between 1 and MAX_FILTER_LEN chars, no char toggles filter");
    return;
  }
  control::StoreFilterText(line + kCommandPrefixLength, static_cast<int>(textLength));
  char text[control::kFilterTextSize];
  control::LoadFilterText(text);
  output::WriteDirect("\rFilter: \"%s\"", text);
}

// .w: toggles wait mode; turning it off releases held output first.
void WaitModeCommand(const DotCommand& row, const char*, size_t) {
  if ((control::controlBlock.*row.field).load() == 1) output::ReleaseOutput();
  Toggle(row);
}

// .h .o: the help screen, as for every letter without a command.
void HelpCommand(const DotCommand&, const char*, size_t) {
  PrintHelpScreen();
}

// .l: leaves debug mode; the whole screen becomes the output region again.
void LogoutCommand(const DotCommand&, const char*, size_t) {
  ControlBlock& cb = control::controlBlock;
  cb.loggedIn = 0;
  output::WriteDirect("\rLogged out");
  cb.bottomRow = output::kFullBottomRow;
  output::ClearScreen();
  PrintBanner();
}

// .m: writes the next numbered marker line into the log only.
void MarkerCommand(const DotCommand& row, const char*, size_t) {
  int32_t number = (control::controlBlock.*row.field).fetch_add(1) + 1;
  char line[kLineSize];
  std::snprintf(line, sizeof line,
                "################### Marker No. %03d - %s  #####################\n", number,
                output::Timestamp());
  output::LogOnly(line);
  output::WriteDirect("\rSet Marker No. %d", number);
}

// .s: asks the firmware for its download screen on a cleared screen.
void DownloadScreenCommand(const DotCommand&, const char*, size_t) {
  output::ClearScreen();
  capi::RequestDownloadScreen();
}

// .t: the banner on a cleared screen, and one blank line.
void EnvironmentCommand(const DotCommand&, const char*, size_t) {
  output::ClearScreen();
  PrintBanner();
  output::Print("\n");
}

// True when the format's conversions are exactly what the status supplies, in order: %d for a
// flag or the controller, %d then %s for the filter, none otherwise. Nothing else may follow a
// '%', so PrintHelpLine's arguments always match.
constexpr bool HelpFits(const char* format, DotStatus status) {
  const char* expected = status == DotStatus::kNone     ? ""
                         : status == DotStatus::kFilter ? "ds"
                                                        : "d";
  for (; *format != '\0'; ++format) {
    if (*format != '%') continue;
    ++format;
    if (*format == '\0' || *format != *expected) return false;
    ++expected;
  }
  return *expected == '\0';
}

// True when every row's help line fits its status and a status that shows the row's field has
// one to show.
constexpr bool HelpLinesFit(const DotCommand (&table)[kDotCommandCount]) {
  for (const DotCommand& row : table) {
    bool showsField = row.status == DotStatus::kFlag || row.status == DotStatus::kFilter;
    if (!HelpFits(row.help, row.status) || showsField != (row.field != nullptr)) return false;
  }
  return true;
}

// True when every row has a handler and a lower-case key that no other row has.
constexpr bool KeysAreDistinct(const DotCommand (&table)[kDotCommandCount]) {
  for (size_t i = 0; i < kDotCommandCount; ++i) {
    if (table[i].key < 'a' || table[i].key > 'z' || table[i].run == nullptr) return false;
    for (size_t j = 0; j < i; ++j) {
      if (table[j].key == table[i].key) return false;
    }
  }
  return true;
}

}  // namespace

// Byte 0xFD (a superscript two in the console's code page) marks the settings that the command
// line can also give.
constexpr DotCommand kDotCommands[kDotCommandCount] = {
    {'a', ToggleCommand, ".a     \xFD- toggle auto popup screen mode         [status: %d]\n",
     DotStatus::kFlag, &ControlBlock::autoPopup, "\rAuto popup mode off", "\rAuto popup mode on"},
    {'c', ControllerCommand, ".c<No> \xFD- display/set controller number (0..7)  [status: %d]\n",
     DotStatus::kController, nullptr, nullptr, nullptr},
    {'d', ToggleCommand, ".d     \xFD- toggle dump all messages              [status: %d]\n",
     DotStatus::kFlag, &ControlBlock::dumpMode, "\rDump mode off", "\rDump mode on"},
    {'e', ToggleCommand, ".e     \xFD- toggle display type (w/o contr no)    [status: %d]\n",
     DotStatus::kFlag, &ControlBlock::showControllerNo, "\rDisp contr no off",
     "\rDisp contr no on"},
    {'f', FilterCommand,
     ".f      - toggle & set task filter for output   [status: %d, text: \"%s\"]\n",
     DotStatus::kFilter, &ControlBlock::filterEnabled, "\rFilter disabled", "\rFilter enabled"},
    {'h', HelpCommand, ".h      - this help screen\n", DotStatus::kNone, nullptr, nullptr, nullptr},
    {'l', LogoutCommand, ".l      - logout and clear screen\n", DotStatus::kNone, nullptr, nullptr,
     nullptr},
    {'m', MarkerCommand, ".m      - set marker (only in logfile)          [status: %d]\n",
     DotStatus::kFlag, &ControlBlock::markerNo, nullptr, nullptr},
    {'o', HelpCommand, ".o      - clear screen\n", DotStatus::kNone, nullptr, nullptr, nullptr},
    {'p', PrintModeCommand, ".p      - toggle logging to file/console        [status: %d]\n",
     DotStatus::kFlag, &ControlBlock::loggingEnabled, "\rConsole print mode on, logging mode off",
     "\rConsole print mode off, logging mode on"},
    {'s', DownloadScreenCommand, ".s      - get qz7 download screen\n", DotStatus::kNone, nullptr,
     nullptr, nullptr},
    {'t', EnvironmentCommand, ".t      - get enviroment parameters\n", DotStatus::kNone, nullptr,
     nullptr, nullptr},
    {'w', WaitModeCommand, ".w      - stop output when CTRL-A key pressed   [status: %d]\n",
     DotStatus::kFlag, &ControlBlock::waitMode, "\rWait mode off", "\rWait mode on"},
    {'x', ExitHintCommand, ".x      - exit program\n\n", DotStatus::kNone, nullptr, nullptr,
     nullptr},
};

static_assert(HelpLinesFit(kDotCommands), "a help line's conversions differ from its status");
static_assert(KeysAreDistinct(kDotCommands), "a dot command row lacks its key or repeats one");

const DotCommand* FindDotCommand(char key) {
  for (const DotCommand& row : kDotCommands) {
    if (row.key == key) return &row;
  }
  return nullptr;
}

void PrintHelpLine(const DotCommand& row) {
  const ControlBlock& cb = control::controlBlock;
  switch (row.status) {
    case DotStatus::kNone:
      output::Print("%s", row.help);
      break;
    case DotStatus::kFlag:
      output::Print(row.help, (cb.*row.field).load());
      break;
    case DotStatus::kController:
      output::Print(row.help, static_cast<int>(cb.controller));
      break;
    case DotStatus::kFilter: {
      char text[control::kFilterTextSize];
      control::LoadFilterText(text);
      output::Print(row.help, (cb.*row.field).load(), text);
      break;
    }
  }
}

}  // namespace console
