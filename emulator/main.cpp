// qz7emu: the qz7 adapter firmware behind a remote CAPI server on 127.0.0.1, for runs, demos
// and tests of linkspy over the platform's CAPI library.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control/records/program_identity.h"
#include "emulator/server.h"
#include "emulator/text.h"

namespace {

const char kUsage[] =
    "usage: qz7emu [options]\n"
    "  --port N             listen on 127.0.0.1:N (default 2662; 0 picks a free port)\n"
    "  --controllers N      emulate controllers 1..N (default 1)\n"
    "  --profile FILE       adapter settings, KEY=VALUE or C.KEY=VALUE a line\n"
    "  --set [C.]KEY=VALUE  one adapter setting (keys as in the profile file)\n"
    "  --kind N --firmware-version N --version-text TEXT --board-flags N --info N\n"
    "  --bus N --memory N --minor N --trunk-flags N --line-flags N --protocol N --tei N\n"
    "                       the same settings for every controller\n"
    "  --refuse-register    refuse every application registration\n"
    "  --ignore-register    never answer an application registration\n"
    "  --rate N             trace lines per second once a decoder is on (default 4, 0 none)\n"
    "  --seed N             seed of the simulated line (default 1)\n"
    "  --script FILE        test script, one action a line (see emulator/README.md)\n"
    "  --do ACTION          one script action (repeatable, after the script file's)\n"
    "  --command-log FILE   record every received request\n"
    "  --help, --version    this text, or the version line, and nothing else\n";

// Exits with the usage text and a reason.
[[noreturn]] void Fail(const std::string& reason) {
  fprintf(stderr, "qz7emu: %s\n%s", reason.c_str(), kUsage);
  exit(2);
}

// Options that take no value.
bool IsFlag(const std::string& name) {
  return name == "--help" || name == "-h" || name == "--version" || name == "--refuse-register" ||
         name == "--ignore-register";
}

// --help (or -h) and --version act alone wherever they stand (not as another option's value):
// the usage text or the version line; -1 when neither is present, else the exit status.
int AnswerHelpOrVersion(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (name == "--version") {
      printf("qz7emu %s\n", control::kProgramVersion);
      return 0;
    }
    if (!IsFlag(name)) ++i;
  }
  return -1;
}

// Parses a number option value.
long NumberOption(const char* name, const char* value, long limit) {
  long n = 0;
  if (!emu::ParseNumber(value, limit, n)) Fail(std::string("bad value for ") + name + ": " + value);
  return n;
}

}  // namespace

// Reads the options in order (later ones win) and runs the server.
int main(int argc, char** argv) {
  static const char* const kAdapterKeys[][2] = {
      {"--kind", "kind"},
      {"--firmware-version", "version"},
      {"--version-text", "version_text"},
      {"--board-flags", "board_flags"},
      {"--info", "info"},
      {"--bus", "bus"},
      {"--memory", "memory"},
      {"--minor", "minor"},
      {"--trunk-flags", "trunk_flags"},
      {"--line-flags", "line_flags"},
      {"--protocol", "protocol"},
      {"--tei", "tei"},
  };
  int answered = AnswerHelpOrVersion(argc, argv);
  if (answered >= 0) return answered;
  emu::Options options;
  std::vector<std::string> actions;
  std::string scriptFile;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--refuse-register") {
      options.refuseRegister = true;
      continue;
    }
    if (name == "--ignore-register") {
      options.ignoreRegister = true;
      continue;
    }
    if (i + 1 >= argc) Fail("missing value for " + name);
    const char* value = argv[++i];
    std::string reason;
    const char* key = nullptr;
    for (const auto& entry : kAdapterKeys)
      if (name == entry[0]) key = entry[1];
    if (key) {
      reason = emu::ApplySetting(options.adapters, std::string(key) + "=" + value);
    } else if (name == "--port") {
      options.port = static_cast<int>(NumberOption("--port", value, 65535));
    } else if (name == "--controllers") {
      reason = emu::ApplySetting(options.adapters, std::string("controllers=") + value);
    } else if (name == "--profile") {
      reason = emu::LoadProfile(options.adapters, value);
    } else if (name == "--set") {
      reason = emu::ApplySetting(options.adapters, value);
    } else if (name == "--rate") {
      options.rate = static_cast<double>(NumberOption("--rate", value, 100000));
    } else if (name == "--seed") {
      options.seed = static_cast<unsigned>(NumberOption("--seed", value, 0xFFFFFFFL));
    } else if (name == "--script") {
      scriptFile = value;
    } else if (name == "--do") {
      actions.push_back(value);
    } else if (name == "--command-log") {
      options.commandLog = value;
    } else {
      Fail("unknown option " + name);
    }
    if (!reason.empty()) Fail(name + ": " + reason);
  }
  if (!scriptFile.empty()) {
    std::string reason = emu::LoadScript(scriptFile, options.script);
    if (!reason.empty()) Fail(reason);
  }
  for (const std::string& action : actions) {
    std::string reason = emu::ParseAction(action, options.script);
    if (!reason.empty()) Fail("--do " + action + ": " + reason);
  }
  return emu::RunServer(options);
}
