// The banner, the copyright line and the help screen of the operator console.
#include "console/banner.h"

#include "control/records/control_block.h"
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

// Byte 0xFD (a superscript two in the console's code page) marks the settings that the command
// line can also give.
void PrintHelpScreen() {
  const control::ControlBlock& cb = control::controlBlock;
  char filterText[control::MAX_FILTER_LEN + 2];
  control::LoadFilterText(filterText);
  output::ClearScreen();
  output::Print("The following commands can be entered at promt sign:\n\n");
  output::Print(".a     \xFD- toggle auto popup screen mode         [status: %d]\n",
                cb.autoPopup.load());
  output::Print(".c<No> \xFD- display/set controller number (0..7)  [status: %d]\n", cb.controller);
  output::Print(".d     \xFD- toggle dump all messages              [status: %d]\n",
                cb.dumpMode.load());
  output::Print(".e     \xFD- toggle display type (w/o contr no)    [status: %d]\n",
                cb.showControllerNo.load());
  output::Print(".f      - toggle & set task filter for output   [status: %d, text: \"%s\"]\n",
                cb.filterEnabled.load(), filterText);
  output::Print(".h      - this help screen\n");
  output::Print(".l      - logout and clear screen\n");
  output::Print(".m      - set marker (only in logfile)          [status: %d]\n",
                cb.markerNo.load());
  output::Print(".o      - clear screen\n");
  output::Print(".p      - toggle logging to file/console        [status: %d]\n",
                cb.loggingEnabled.load());
  output::Print(".s      - get qz7 download screen\n");
  output::Print(".t      - get enviroment parameters\n");
  output::Print(".w      - stop output when CTRL-A key pressed   [status: %d]\n",
                cb.waitMode.load());
  output::Print(".x      - exit program\n\n");
  output::Print("\xFD = parameter is available at command line\n");
}

}  // namespace console
