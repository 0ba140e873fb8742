// Option parsing: option effects, the controller rules, error lines and the usage text.
#include "control/command_line.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "control/records/control_block.h"
#include "control/records/control_block_internal.h"
#include "control/records/program_identity.h"
#include "support/stdout_capture.h"

namespace {

using control::controlBlock;
using control::ParseOutcome;

struct Parsed {
  ParseOutcome outcome;
  std::string output;
};

using Parser = ParseOutcome (*)(int argc, const char* const* argv);

// Runs parser on the program name and arguments, capturing what it prints.
Parsed RunParser(Parser parser, std::initializer_list<const char*> arguments) {
  std::vector<const char*> argv{"linkspy"};
  argv.insert(argv.end(), arguments);
  testing_support::StdoutCapture capture;
  ParseOutcome outcome = parser(static_cast<int>(argv.size()), argv.data());
  return {outcome, capture.Take()};
}

// The short options' parsing on a fresh ControlBlock.
Parsed Parse(std::initializer_list<const char*> arguments) {
  control::ResetControlBlock();
  return RunParser(control::ParseCommandLine, arguments);
}

// The look for --help and --version.
Parsed AnswerLong(std::initializer_list<const char*> arguments) {
  return RunParser(control::AnswerLongOption, arguments);
}

TEST(CommandLine, ControllerNumberRules) {
  EXPECT_EQ(Parse({"-c5"}).outcome, ParseOutcome::kRun);
  EXPECT_EQ(controlBlock.controller, 5);
  Parse({"-c9"});
  EXPECT_EQ(controlBlock.controller, 0);
  Parse({"-c-1"});
  EXPECT_EQ(controlBlock.controller, 0);
  Parse({"-c"});
  EXPECT_EQ(controlBlock.controller, 0);
  Parse({"-cx"});
  EXPECT_EQ(controlBlock.controller, 0);
  Parse({"-c7x"});
  EXPECT_EQ(controlBlock.controller, 7);
  Parse({"-c99999999999999999999"});
  EXPECT_EQ(controlBlock.controller, 0);
  Parse({});
  EXPECT_EQ(controlBlock.controller, 1);
  EXPECT_EQ(controlBlock.controllerGiven, 0);
}

TEST(CommandLine, OptionsSetTheirFieldsAndOnlyTheSecondCharacterCounts) {
  Parsed parsed = Parse({"/2", "-3x", "-4", "-a", "-b", "-d", "-e", "-ppp"});
  EXPECT_EQ(parsed.outcome, ParseOutcome::kRun);
  EXPECT_EQ(parsed.output, "");
  EXPECT_EQ(controlBlock.decoderDch2, 1);
  EXPECT_EQ(controlBlock.decoderDch3, 1);
  EXPECT_EQ(controlBlock.decoderDch3Ext, 1);
  EXPECT_EQ(controlBlock.autoPopup, 1);
  EXPECT_EQ(controlBlock.decoderBch2, 1);
  EXPECT_EQ(controlBlock.dumpMode, 1);
  EXPECT_EQ(controlBlock.showControllerNo, 1);
  EXPECT_EQ(controlBlock.decoderPpp, 1);
}

TEST(CommandLine, ErrorsAreReportedOneByOneAndEndWithoutUsage) {
  Parsed parsed = Parse({"-A", "foo", "-2", "-"});
  EXPECT_EQ(parsed.outcome, ParseOutcome::kOptionError);
  EXPECT_EQ(parsed.output,
            "\rUnknown parameter: -A\n"
            "\rParameter without '-' or '/': foo\n"
            "\rUnknown parameter: -\n");
  parsed = Parse({"-h", "-q"});
  EXPECT_EQ(parsed.outcome, ParseOutcome::kOptionError);
  EXPECT_EQ(parsed.output, "\rUnknown parameter: -q\n");
}

TEST(CommandLine, HelpPrintsTheUsageTextByteForByte) {
  Parsed parsed = Parse({"-h"});
  EXPECT_EQ(parsed.outcome, ParseOutcome::kExit);
  EXPECT_EQ(parsed.output,
            "\n"
            "Usage: LOAD LINKSPY -h\n"
            "                   | [-2] [-3] [-4] [-b] [-cNO]\n"
            "\n"
            "                      -h       -- this help\n"
            "Start parameters:     -2       -- switch D-Ch. Layer 2 on\n"
            "                      -3       -- switch D-Ch. Layer 3 on\n"
            "                      -4       -- switch D-Ch. Layer 3 ext. on\n"
            "                      -b       -- switch B-Ch. Layer 2 on\n"
            "                      -a       -- set auto popup mode\n"
            "                      -cNO     -- set controller number\n"
            "                                  (Default: 0)\n"
            "\n"
            "Valid NO format is: [0..7]\n"
            "\n"
            "Start example   : LOAD LINKSPY -2 -3\n"
            "\n");
  control::ResetControlBlock();
  testing_support::StdoutCapture capture;
  EXPECT_EQ(control::ParseCommandLine(0, nullptr), ParseOutcome::kExit);
  EXPECT_NE(capture.Take().find("Usage: LOAD LINKSPY -h\n"), std::string::npos);
}

TEST(CommandLine, HelpAndVersionActAloneWhereverTheyStand) {
  Parsed version = AnswerLong({"-q", "x", "--version", "-h"});
  EXPECT_EQ(version.outcome, ParseOutcome::kExit);
  EXPECT_EQ(version.output, std::string("linkspy ") + control::kProgramVersion + "\n");
  Parsed help = AnswerLong({"-2", "/c9", "--help", "--version", "-A"});
  EXPECT_EQ(help.outcome, ParseOutcome::kExit);
  EXPECT_EQ(help.output, Parse({"-h"}).output);
  // Only the exact words: the rest goes on to the short options' parsing.
  for (const char* other : {"--foo", "--versions", "--hel", "-version", "/help", "--"}) {
    Parsed passed = AnswerLong({"-2", other});
    EXPECT_EQ(passed.outcome, ParseOutcome::kRun) << other;
    EXPECT_EQ(passed.output, "") << other;
  }
  for (const char* other : {"--foo", "--versions", "-version", "--"}) {
    Parsed parsed = Parse({other});
    EXPECT_EQ(parsed.outcome, ParseOutcome::kOptionError) << other;
    EXPECT_EQ(parsed.output, std::string("\rUnknown parameter: ") + other + "\n") << other;
  }
  EXPECT_EQ(AnswerLong({}).outcome, ParseOutcome::kRun);
}

TEST(CommandLine, FilterTextIsStoredWholeAndCutAtSixCharacters) {
  control::ResetControlBlock();
  char text[control::kFilterTextSize];
  EXPECT_EQ(control::LoadFilterText(text), 0);
  control::StoreFilterText(" dch", 4);
  EXPECT_EQ(control::LoadFilterText(text), 4);
  EXPECT_STREQ(text, " dch");
  control::StoreFilterText("abcdefgh", 8);
  EXPECT_EQ(control::LoadFilterText(text), 6);
  EXPECT_STREQ(text, "abcdef");
}

}  // namespace
