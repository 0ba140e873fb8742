// The process entry: platform set-up, the program's main routine, the terminal given back.
#include "control/main_sequence.h"
#include "platform/console.h"
#include "platform/system.h"

int main(int argc, char** argv) {
  platform::StartProcess();
  int status = control::Main(argc, argv);
  platform::ConsoleClose();
  return status;
}
