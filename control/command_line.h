// The command line: option parsing and the usage text.
#pragma once

namespace control {

enum class ParseOutcome { kRun, kExit, kOptionError };

// Fills the option fields of the ControlBlock. kExit: help was printed and the process is to
// end with status 0; kOptionError: error lines were printed and it is to end with status 2.
ParseOutcome ParseCommandLine(int argc, const char* const* argv);

// The two GNU long options, --help and --version: the first of them on the command line,
// wherever it stands, acts alone (nothing else is parsed or printed). Prints the usage text
// or the one version line and returns kExit; kRun when neither is present.
ParseOutcome AnswerLongOption(int argc, const char* const* argv);

}  // namespace control
