// The banner, the copyright line and the help screen of the operator console.
#include "console/banner.h"

#include "console/dot_commands.h"
#include "control/records/program_identity.h"
#include "output/print.h"
#include "output/trace_screen.h"

namespace console {

const char* const kCopyrightLine =
    "Copyright (c) 1996-2026 LINKSPY developers. All rights reserved.";
const char* const kInternalUseLine = "** Version for internal use only **";

void PrintBanner() {
  output::Print("%s v%s\n", control::kProgramTitle, control::kProgramVersion);
  output::Print("%s\n", kCopyrightLine);
  output::Print("%s\n", kInternalUseLine);
}

// Every dot command's line comes from the command table, so the screen lists exactly the
// commands the prompt carries out. Byte 0xFD marks the settings the command line can also give.
void PrintHelpScreen() {
  output::ClearScreen();
  output::Print("The following commands can be entered at promt sign:\n\n");
  for (const DotCommand& row : kDotCommands) PrintHelpLine(row);
  output::Print("\xFD = parameter is available at command line\n");
}

}  // namespace console
