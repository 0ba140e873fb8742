// The command line: options -2 -3 -4 -a -b -cNO -d -e -h -p (with '-' or '/'), the GNU
// --help and --version, the usage text.
#include "control/command_line.h"

#include <cstdlib>
#include <cstring>

#include "control/records/control_block.h"
#include "control/records/program_identity.h"
#include "output/print.h"

namespace control {

namespace {

constexpr const char* kUsageLines[] = {
    "\n",
    "Usage: LOAD LINKSPY -h\n",
    "                   | [-2] [-3] [-4] [-b] [-cNO]\n",
    "\n",
    "                      -h       -- this help\n",
    "Start parameters:     -2       -- switch D-Ch. Layer 2 on\n",
    "                      -3       -- switch D-Ch. Layer 3 on\n",
    "                      -4       -- switch D-Ch. Layer 3 ext. on\n",
    "                      -b       -- switch B-Ch. Layer 2 on\n",
    "                      -a       -- set auto popup mode\n",
    "                      -cNO     -- set controller number\n",
    "                                  (Default: 0)\n",
    "\n",
    "Valid NO format is: [0..7]\n",
    "\n",
    "Start example   : LOAD LINKSPY -2 -3\n",
    "\n",
};

// Applies -cNO: the decimal number after "-c" (empty or non-numeric reads as 0); an
// out-of-range number selects controller 0, and the user is told so.
void SetControllerOption(const char* rest) {
  long number = std::strtol(rest, nullptr, 10);
  bool inRange = number >= 0 && number <= kMaxControllerNo;
  controlBlock.controller = inRange ? static_cast<uint8_t>(number) : 0;
  controlBlock.controllerGiven = 1;
  if (!inRange) {
    output::PrintNote("LINKSPY: Controller %s is out of range 0..%d, using controller 0\n", rest,
                      kMaxControllerNo);
  }
}

// Prints the usage text to standard output.
void PrintUsage() {
  for (const char* line : kUsageLines) output::Print("%s", line);
}

}  // namespace

ParseOutcome AnswerLongOption(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      PrintUsage();
      return ParseOutcome::kExit;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      output::Print("%s %s\n", kCommandName, kProgramVersion);
      return ParseOutcome::kExit;
    }
  }
  return ParseOutcome::kRun;
}

ParseOutcome ParseCommandLine(int argc, const char* const* argv) {
  ControlBlock& cb = controlBlock;
  bool errorMark = false;
  bool helpRequested = argc < 1;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] != '-' && argument[0] != '/') {
      output::PrintError("\rParameter without '-' or '/': %s\n", argument);
      errorMark = true;
      continue;
    }
    switch (argument[1]) {
      case '2':
        cb.decoderDch2 = 1;
        break;
      case '3':
        cb.decoderDch3 = 1;
        break;
      case '4':
        cb.decoderDch3Ext = 1;
        break;
      case 'a':
        cb.autoPopup = 1;
        break;
      case 'b':
        cb.decoderBch2 = 1;
        break;
      case 'c':
        SetControllerOption(argument + 2);
        break;
      case 'd':
        cb.dumpMode = 1;
        break;
      case 'e':
        cb.showControllerNo = 1;
        break;
      case 'h':
        helpRequested = true;
        break;
      case 'p':
        cb.decoderPpp = 1;
        break;
      default:
        output::PrintError("\rUnknown parameter: %s\n", argument);
        errorMark = true;
        break;
    }
  }
  if (errorMark) return ParseOutcome::kOptionError;
  if (helpRequested) {
    PrintUsage();
    return ParseOutcome::kExit;
  }
  if (cb.controllerGiven == 0) cb.controller = 1;
  return ParseOutcome::kRun;
}

}  // namespace control
