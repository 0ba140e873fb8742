// Test scripts: one action a line, run for each application from its registration on.
#pragma once

#include <string>
#include <vector>

namespace emu {

enum class Op {
  kWait,         // wait MS
  kWaitDecoder,  // until a decoder is on
  kTrace,        // trace BODY: head + body
  kText,         // text FULL: exactly these bytes
  kWithhold,     // withhold TYPE: no answer to ADAPTER_REQ of that type
  kAnswer,       // answer TYPE: normal answers again
  kLate,         // late TYPE MS
  kWrong,        // wrong TYPE [CMD SUB]
  kRaw,          // raw HEX: a message, framed correctly
  kRawFrame,     // rawframe HEX: bytes sent as they are
  kStall,        // stall MS [SPLIT]
  kOversize,     // oversize [FRAMELENGTH]
  kFlood,        // flood N
  kGarbage,      // garbage N: malformed messages in correct frames
  kRate,         // rate LINES_PER_SEC
  kDownload,     // download: the download screen, unasked
  kDrop,         // drop: close the application's connection
  kExit,         // exit: end the emulator
};

// One parsed action. TYPE arguments are 0..255, or -1 for "all".
struct Action {
  Op op = Op::kWait;
  long a = 0;  // MS, TYPE, N, SPLIT, FRAMELENGTH, rate
  long b = 0;  // MS of late, CMD of wrong, -1 when absent
  long c = 0;  // SUB of wrong
  std::string bytes;
};

// Parses one line into actions ("after MS ACTION" gives a wait and the action; blank lines and
// '#' comments give none). Returns an empty string or the reason.
std::string ParseAction(const std::string& line, std::vector<Action>& out);

// Parses a script file; returns an empty string or "FILE line N: reason".
std::string LoadScript(const std::string& path, std::vector<Action>& out);

// Text of a trace or text action: backslash escapes \\ \n \t \xHH.
std::string Unescape(const std::string& text);

}  // namespace emu
