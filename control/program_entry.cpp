// The process entry: platform set-up, then the program's main routine.
#include "control/main_sequence.h"
#include "platform/system.h"

int main(int argc, char** argv) {
  platform::StartProcess();
  return control::Main(argc, argv);
}
