// Test scripts: one action a line, run for each application from its registration on.
#pragma once

#include <string>
#include <vector>

namespace emu {

enum class Op {
  kWait,         // wait MS
  kWaitDecoder,  // until a decoder is on
  kWaitSignal,   // until a SIGUSR1 this application has not used yet
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

// One parsed action; each verb fills the fields it takes.
struct Action {
  Op op = Op::kWait;
  long ms = 0;           // wait, late, stall: milliseconds
  long type = 0;         // withhold, answer, late, wrong: ADAPTER_REQ type 0..255, -1 for all
  long command = -1;     // wrong: command of the answer, -1 for a trace text instead
  long subcommand = 0;   // wrong: subcommand of the answer
  long split = -1;       // stall: bytes sent before it, -1 for half the frame
  long frameLength = 0;  // oversize: the frame length it announces
  long count = 0;        // flood, garbage: how many messages
  long rate = 0;         // rate: trace lines a second
  std::string bytes;     // trace, text: the text; raw: the message; rawframe: the bytes
};

// Parses one line into actions ("after MS ACTION" gives a wait and the action; blank lines and
// '#' comments give none). Returns an empty string or the reason.
std::string ParseAction(const std::string& line, std::vector<Action>& out);

// Parses a script file; returns an empty string or "FILE line N: reason".
std::string LoadScript(const std::string& path, std::vector<Action>& out);

// Text of a trace or text action: backslash escapes \\ \n \t \xHH.
std::string Unescape(const std::string& text);

}  // namespace emu
