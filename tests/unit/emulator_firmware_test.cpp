// qz7emu's firmware side: decoder commands, task answers, the simulated line and script parsing.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "emulator/connection.h"
#include "emulator/firmware.h"
#include "emulator/line_sim.h"
#include "emulator/script.h"
#include "emulator/script_runner.h"

namespace {

TEST(EmulatorCommands, EveryDecoderNameOfEveryGeneration) {
  struct Row {
    const char* name;
    unsigned bit;
  } rows[] = {{"cmt l2", emu::kDecoderL2},     {"dch 22", emu::kDecoderL2},
              {"cmt 22", emu::kDecoderL2},     {"cmt l3", emu::kDecoderL3},
              {"dch 23", emu::kDecoderL3},     {"cmt 23", emu::kDecoderL3},
              {"cmt l3x", emu::kDecoderL3Ext}, {"dch 24", emu::kDecoderL3Ext},
              {"cmt 24", emu::kDecoderL3Ext},  {"ppp dec", emu::kDecoderPpp},
              {"bch 22", emu::kDecoderBch}};
  emu::AdapterProfile profile;
  emu::LineSimulator line(1, -1);
  for (const Row& row : rows) {
    unsigned decoders = 0;
    std::vector<std::string> answer = emu::RunCommand(row.name, decoders, profile, line);
    EXPECT_EQ(decoders, row.bit) << row.name;
    ASSERT_EQ(answer.size(), 2u);
    EXPECT_EQ(answer[0], std::string("CMT got debugReq ") + row.name);
    EXPECT_EQ(answer[1].substr(0, 4), "CMT ");
  }
  unsigned decoders = 0;
  EXPECT_EQ(emu::RunCommand("  CMT   L3X ", decoders, profile, line)[0],
            "CMT got debugReq   CMT   L3X ");
  EXPECT_EQ(decoders, emu::kDecoderL3Ext);
  emu::RunCommand("cmt l4", decoders, profile, line);
  EXPECT_EQ(decoders, emu::kDecoderL3Ext);
}

TEST(EmulatorCommands, TaskCommandsAndOthers) {
  emu::AdapterProfile profile;
  emu::LineSimulator line(1, -1);
  unsigned decoders = emu::kDecoderL2 | emu::kDecoderBch;
  for (const char* task : {"V42", "CMT", "SM2", "L2D", "PPP", "DCH", "BCH", "FD0", "TIM", "L3E",
                           "L2B", "L2M", "MLP", "FAX", "L3P", "STP"}) {
    std::string command = std::string(task) + " stat";
    for (char& c : command) c = static_cast<char>(tolower(c));
    std::vector<std::string> answer = emu::RunCommand(command, decoders, profile, line);
    ASSERT_EQ(answer.size(), 2u);
    EXPECT_EQ(answer[1].substr(0, 4), std::string(task) + " ") << answer[1];
  }
  EXPECT_EQ(decoders, emu::kDecoderL2 | emu::kDecoderBch);
  std::vector<std::string> unknown = emu::RunCommand("xyz 1", decoders, profile, line);
  EXPECT_EQ(unknown[1], "CMT unknown task in command 'xyz 1'");
  emu::RunCommand("cmt off", decoders, profile, line);
  EXPECT_EQ(decoders, 0u);
  std::vector<std::string> screen = emu::DownloadScreen(1, 0, profile, line);
  EXPECT_GE(screen.size(), 8u);
  for (const std::string& text : screen) EXPECT_EQ(text.substr(0, 4), "CMT ");
}

TEST(EmulatorLine, OnlyTheSwitchedOnDecodersAreShown) {
  const std::set<std::string> layer2{"L2D", "DCH", "L2M", "TIM", "CMT", "DBG"};
  emu::LineSimulator line(3, -1);
  std::string body;
  EXPECT_FALSE(line.NextBody(0, body));
  for (int i = 0; i < 3000; ++i) {
    ASSERT_TRUE(line.NextBody(emu::kDecoderL2, body));
    EXPECT_TRUE(layer2.count(body.substr(0, 3))) << body;
    EXPECT_NE(body.substr(0, 16), "CMT statistics: ") << body;
  }
  emu::LineSimulator ppp(4, -1);
  bool sawPpp = false;
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(ppp.NextBody(emu::kDecoderPpp, body));
    const std::string task = body.substr(0, 3);
    EXPECT_TRUE(task == "PPP" || task == "CMT" || task == "DBG") << body;
    sawPpp = sawPpp || task == "PPP";
  }
  EXPECT_TRUE(sawPpp);
}

TEST(EmulatorLine, SequenceNumbersFollowTheFrames) {
  emu::LineSimulator line(9, -1);
  std::string body;
  unsigned expectTx = 0;
  int checked = 0;
  for (int i = 0; i < 5000; ++i) {
    ASSERT_TRUE(line.NextBody(emu::kDecoderL2, body));
    if (body.find("SABME") != std::string::npos) expectTx = 0;
    size_t at = body.find("L2D TX I ");
    if (at == std::string::npos) continue;
    unsigned ns = 0;
    ASSERT_EQ(sscanf(body.c_str() + body.find("N(S)="), "N(S)=%u", &ns), 1);
    EXPECT_EQ(ns, expectTx) << body;
    expectTx = (expectTx + 1) % 128;
    ++checked;
  }
  EXPECT_GT(checked, 50);
}

TEST(EmulatorLine, AFixedTeiIsNeverAssigned) {
  emu::LineSimulator line(2, 5);
  std::string body;
  for (int i = 0; i < 2000; ++i) {
    ASSERT_TRUE(line.NextBody(emu::kDecoderL2, body));
    EXPECT_EQ(body.find("ID-REQUEST"), std::string::npos) << body;
    size_t at = body.find("TEI=");
    if (at == std::string::npos) continue;
    EXPECT_TRUE(body.compare(at, 6, "TEI=5 ") == 0 || body.compare(at, 8, "TEI=127 ") == 0) << body;
  }
  EXPECT_EQ(line.Tei(), 5);
}

TEST(EmulatorScript, ParsesActionsAndRefusesBadLines) {
  std::vector<emu::Action> actions;
  for (const char* line : {"# comment", "", "after 20 trace L2D x\\x00y", "withhold all",
                           "late 4 300", "wrong 6 0x19 1", "stall 6000 1", "oversize",
                           "rawframe 00 05 01 02 03", "flood 10", "garbage 3", "drop"})
    ASSERT_EQ(emu::ParseAction(line, actions), "") << line;
  ASSERT_EQ(actions.size(), 11u);
  EXPECT_EQ(actions[0].op, emu::Op::kWait);
  EXPECT_EQ(actions[0].ms, 20);
  EXPECT_EQ(actions[1].op, emu::Op::kTrace);
  EXPECT_EQ(actions[1].bytes, std::string("L2D x\0y", 7));
  EXPECT_EQ(actions[2].type, -1);
  EXPECT_EQ(actions[3].ms, 300);
  EXPECT_EQ(actions[4].command, 0x19);
  EXPECT_EQ(actions[4].subcommand, 1);
  EXPECT_EQ(actions[5].split, 1);
  EXPECT_EQ(actions[6].frameLength, 5000);
  EXPECT_EQ(actions[7].bytes.size(), 5u);
  for (const char* line : {"wait", "wait -1", "late 4", "wrong 6 0x19", "stall 10 0", "oversize 10",
                           "raw 0", "flood many", "drop now", "jump 3", "after 5"})
    EXPECT_NE(emu::ParseAction(line, actions), "") << line;
}

TEST(EmulatorScript, EachSignalReleasesOneWaitSignal) {
  emu::Options options;
  for (const char* line :
       {"wait-signal", "trace L2D first", "wait-signal", "wait-signal", "trace L2D second"})
    ASSERT_EQ(emu::ParseAction(line, options.script), "") << line;
  EXPECT_EQ(options.script[0].op, emu::Op::kWaitSignal);
  std::vector<emu::Action> refused;
  EXPECT_NE(emu::ParseAction("wait-signal 5", refused), "");
  emu::serverOptions = &options;
  emu::signalsReceived = 0;
  auto registered = [] {
    emu::Connection c;
    c.registered = true;
    c.controllers.resize(2);
    return c;
  };
  emu::Connection c = registered();
  emu::TimePoint now = emu::Clock::now();
  emu::RunScript(c, now);
  EXPECT_TRUE(c.out.empty());
  emu::signalsReceived = 1;
  emu::RunScript(c, now);
  EXPECT_NE(c.out.find("L2D first"), std::string::npos);
  emu::signalsReceived = 2;
  emu::RunScript(c, now);
  EXPECT_EQ(c.out.find("L2D second"), std::string::npos);
  emu::signalsReceived = 3;
  emu::RunScript(c, now);
  EXPECT_NE(c.out.find("L2D second"), std::string::npos);
  // Signals that came before an application reached its waits are not lost.
  emu::Connection later = registered();
  emu::RunScript(later, now);
  EXPECT_NE(later.out.find("L2D second"), std::string::npos);
  emu::serverOptions = nullptr;
  emu::signalsReceived = 0;
}

}  // namespace
