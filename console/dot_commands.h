// The table of dot commands: one row per command, walked by the prompt's dispatcher and by the
// help screen, so that the two cannot drift apart.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "control/records/control_block.h"

namespace console {

// What the help line of a command shows after its text.
enum class DotStatus : uint8_t {
  kNone,        // nothing
  kFlag,        // the row's field, as %d
  kController,  // the controller number, as %d
  kFilter,      // the row's field as %d, then the filter text as %s
};

struct DotCommand {
  // The second character of the line, which chooses the command.
  char key;
  // Carries out the command for the whole line (length without its zero byte).
  void (*run)(const DotCommand& row, const char* line, size_t length);
  // The help line, a printf format whose conversions the status supplies; the table is checked
  // against its statuses when it is compiled.
  const char* help;
  DotStatus status;
  // The ControlBlock field that the command changes and the help line shows, or null.
  std::atomic<int32_t> control::ControlBlock::*field;
  // A toggle's answers for its field's new value 0 and 1.
  const char* replyOff;
  const char* replyOn;
};

constexpr size_t kDotCommandCount = 14;

// In help screen order.
extern const DotCommand kDotCommands[kDotCommandCount];

// The row for the given second character, or null where the line shows the help screen.
const DotCommand* FindDotCommand(char key);

// Writes the row's help line with its status to standard output.
void PrintHelpLine(const DotCommand& row);

}  // namespace console
