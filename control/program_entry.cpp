// The process entry: platform set-up, the program's main routine, the terminal given back.
#include "control/main_sequence.h"
#include "platform/console.h"
#include "platform/system.h"

// Who closes the console on each way out: after a normal end (Ctrl-X, a termination request,
// a lost provider link) and after a failed binding, Main returns and the call below closes
// it; after the options (help, an option error) Main returns before the console is opened and
// the call does nothing. A fatal signal gives the terminal back in its own handler and ends
// the process without exit handlers. An exit from anywhere else runs the exit handler that
// ConsoleOpen registers.
int main(int argc, char** argv) {
  platform::StartProcess();
  int status = control::Main(argc, argv);
  platform::ConsoleClose();
  return status;
}
