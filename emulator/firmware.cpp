// Firmware commands as the qz7 firmware's command task answers them.
#include "emulator/firmware.h"

#include <cctype>
#include <cstdio>

namespace emu {

namespace {

struct DecoderName {
  const char* name;
  unsigned bit;
  const char* title;
};

// Every decoder name of every firmware generation.
const DecoderName kDecoderNames[] = {
    {"cmt l2", kDecoderL2, "D-channel layer 2"},
    {"dch 22", kDecoderL2, "D-channel layer 2"},
    {"cmt 22", kDecoderL2, "D-channel layer 2"},
    {"cmt l3", kDecoderL3, "D-channel layer 3"},
    {"dch 23", kDecoderL3, "D-channel layer 3"},
    {"cmt 23", kDecoderL3, "D-channel layer 3"},
    {"cmt l3x", kDecoderL3Ext, "D-channel layer 3 ext."},
    {"dch 24", kDecoderL3Ext, "D-channel layer 3 ext."},
    {"cmt 24", kDecoderL3Ext, "D-channel layer 3 ext."},
    {"ppp dec", kDecoderPpp, "PPP"},
    {"bch 22", kDecoderBch, "B-channel layer 2"},
};

const char* const kBusNames[] = {"ISA-UP0", "ISA-S0", "MCA-UP0", "MCA-S0", "EISA-S2m"};

// Lower case, blanks trimmed and runs of blanks folded into one.
std::string Normalise(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      if (!out.empty() && out.back() != ' ') out.push_back(' ');
    } else {
      out.push_back(static_cast<char>(tolower(static_cast<unsigned char>(c))));
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// The decoders in the firmware's own words, "cmt l2 on, cmt l3 off, ...".
std::string DecoderList(unsigned decoders) {
  static const char* const names[] = {"l2", "l3", "l3x", "ppp", "bch"};
  std::string out;
  for (unsigned i = 0; i < 5; ++i) {
    if (!out.empty()) out += ", ";
    out += names[i];
    out += decoders & (1u << i) ? " on" : " off";
  }
  return out;
}

// The line configuration in a few words.
std::string LineText(const AdapterProfile& p) {
  char text[96];
  const char* kind = p.lineFlags & 0x0002   ? "fixed connection"
                     : p.lineFlags & 0x0001 ? "point to point"
                                            : "point to multipoint";
  if (p.teiByte & 0x80)
    snprintf(text, sizeof text, "%s, TEI %d fixed, protocol %u", kind, p.teiByte & 0x7F,
             p.protocolIndex);
  else
    snprintf(text, sizeof text, "%s, TEI automatic, protocol %u", kind, p.protocolIndex);
  return text;
}

// The answer of a task to a command that is not a decoder name.
std::string TaskAnswer(const std::string& task, const AdapterProfile& p, const LineSimulator& line,
                       unsigned decoders) {
  char text[128];
  int tei = line.Tei();
  if (task == "V42") return "V42 compression off, P1=2048 P2=32, no connection";
  if (task == "CMT") return "CMT decoders " + DecoderList(decoders);
  if (task == "SM2") return "SM2 state machine 2: B1 idle, B2 idle";
  if (task == "L2D") {
    if (tei < 0) return "L2D TEI unassigned, state 1, T200=1000 ms, N200=3, k=1";
    snprintf(text, sizeof text, "L2D TEI=%d state 7, T200=1000 ms, N200=3, k=1", tei);
    return text;
  }
  if (task == "PPP") return "PPP B1 LCP initial, B2 LCP initial, MRU 1500";
  if (task == "DCH") return "DCH layer 1 state F7 activated, D-channel 16 kbit/s ok";
  if (task == "BCH") return "BCH B1 HDLC 64 kbit/s idle, B2 HDLC 64 kbit/s idle";
  if (task == "FD0") return "FD0 flash disk 0: 512 kB, 3 files, QZ.BIN 188416 bytes";
  if (task == "TIM") return "TIM running timers: T203 (10000 ms)";
  if (task == "L3E") {
    snprintf(text, sizeof text, "L3E layer 3 entity: calls in %u out %u, none active",
             line.CallsIn(), line.CallsOut());
    return text;
  }
  if (task == "L2B") return "L2B B-channel layer 2: X.75 SLP, window 7, N201 2048";
  if (task == "L2M") {
    if (tei < 0) return "L2M layer 2 management: no TEI assigned";
    snprintf(text, sizeof text, "L2M layer 2 management: TEI %d assigned", tei);
    return text;
  }
  if (task == "MLP") return "MLP multilink PPP: no bundle";
  if (task == "FAX") return "FAX G3 class 1: idle, 14400 bit/s max";
  if (task == "L3P") return "L3P protocol " + LineText(p);
  return "STP stopped tasks: none";
}

}  // namespace

// Decoder names switch a decoder on; "cmt off" switches all off; task commands get the task's
// answer; anything else is refused by the command task.
std::vector<std::string> RunCommand(const std::string& command, unsigned& decoders,
                                    const AdapterProfile& profile, const LineSimulator& line) {
  static const char* const kTasks[] = {"V42", "CMT", "SM2", "L2D", "PPP", "DCH", "BCH", "FD0",
                                       "TIM", "L3E", "L2B", "L2M", "MLP", "FAX", "L3P", "STP"};
  std::vector<std::string> out{"CMT got debugReq " + command};
  std::string text = Normalise(command);
  for (const DecoderName& d : kDecoderNames) {
    if (text != d.name) continue;
    decoders |= d.bit;
    out.push_back(std::string("CMT ") + d.title + " decoder on (" + d.name + ")");
    return out;
  }
  if (text == "cmt off") {
    decoders = 0;
    out.push_back("CMT all decoders off");
    return out;
  }
  std::string task = text.substr(0, text.find(' '));
  for (char& c : task) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  for (const char* t : kTasks)
    if (task == t) {
      out.push_back(TaskAnswer(task, profile, line, decoders));
      return out;
    }
  out.push_back("CMT unknown task in command '" + command + "'");
  return out;
}

// Ten lines about the firmware, the board, the line, the decoders and the calls.
std::vector<std::string> DownloadScreen(int controller, unsigned decoders, const AdapterProfile& p,
                                        const LineSimulator& line) {
  char text[128];
  std::vector<std::string> out{"CMT got debugReq download screen"};
  snprintf(text, sizeof text, "CMT ===== qz7 download screen, controller %d =====", controller);
  out.push_back(text);
  out.push_back("CMT firmware  : " + p.versionText.substr(0, 100));
  const char* board = p.boardFlags & 0x02 ? "multi" : p.boardFlags & 0x04 ? "trunk" : "solo";
  snprintf(text, sizeof text, "CMT board     : qz7-%s %s, %u MB, version 1.%u, kind %u/%u", board,
           p.busIndex < 5 ? kBusNames[p.busIndex] : "bus?", p.memoryMb, p.minorVersion,
           p.firmwareKind, p.firmwareVersion);
  out.push_back(text);
  out.push_back("CMT line      : " + LineText(p));
  out.push_back("CMT tasks     : V42 CMT SM2 L2D PPP DCH BCH FD0 TIM L3E L2B L2M MLP FAX L3P STP");
  out.push_back("CMT decoders  : " + DecoderList(decoders));
  snprintf(text, sizeof text, "CMT calls     : in %u, out %u, TEI %s", line.CallsIn(),
           line.CallsOut(), line.Tei() < 0 ? "unassigned" : std::to_string(line.Tei()).c_str());
  out.push_back(text);
  out.push_back("CMT memory    : code 188416, data 65536, free 131072 bytes");
  out.push_back("CMT ===== end of download screen =====");
  return out;
}

}  // namespace emu
