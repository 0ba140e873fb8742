// Script parsing: actions, their arguments and escapes.
#include "emulator/script.h"

#include <sstream>

#include "emulator/text.h"
#include "emulator/wire.h"

namespace emu {

namespace {

// A request type word: a number 0..255, or "all" (-1).
bool ParseType(const std::string& word, long& value) {
  if (word == "all") {
    value = -1;
    return true;
  }
  return ParseNumber(word, 255, value);
}

constexpr long kDay = 86400000;

}  // namespace

// Resolves backslash escapes.
std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    std::string byte;
    if (text[i] != '\\' || i + 1 == text.size()) {
      out.push_back(text[i]);
    } else if (text[i + 1] == 'n') {
      out.push_back('\n');
      ++i;
    } else if (text[i + 1] == 't') {
      out.push_back('\t');
      ++i;
    } else if (text[i + 1] == 'x' && i + 3 < text.size() && ParseHex(text.substr(i + 2, 2), byte) &&
               byte.size() == 1) {
      out += byte;
      i += 3;
    } else {
      out.push_back(text[++i]);
    }
  }
  return out;
}

// Splits off the verb and reads its arguments.
std::string ParseAction(const std::string& line, std::vector<Action>& out) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  if (words.empty() || words[0][0] == '#') return "";
  const std::string& verb = words[0];
  size_t verbEnd = line.find(verb) + verb.size();
  std::string rest = verbEnd < line.size() ? line.substr(verbEnd + 1) : "";
  size_t n = words.size() - 1;
  Action a;
  bool ok = true;
  if (verb == "after") {
    if (n < 2 || !ParseNumber(words[1], kDay, a.ms)) return "after needs MS and an action";
    out.push_back(a);
    return ParseAction(rest.substr(rest.find(words[1]) + words[1].size()), out);
  } else if (verb == "trace" || verb == "text") {
    a.op = verb == "trace" ? Op::kTrace : Op::kText;
    a.bytes = Unescape(rest);
    if (a.bytes.size() > 255) return verb + " longer than 255 bytes";
  } else if (verb == "raw" || verb == "rawframe") {
    a.op = verb == "raw" ? Op::kRaw : Op::kRawFrame;
    ok = ParseHex(rest, a.bytes) && !a.bytes.empty() && a.bytes.size() <= 65533;
  } else if (verb == "wait") {
    ok = n == 1 && ParseNumber(words[1], kDay, a.ms);
  } else if (verb == "wait-signal") {
    a.op = Op::kWaitSignal;
    ok = n == 0;
  } else if (verb == "wait-decoder" || verb == "download" || verb == "drop" || verb == "exit") {
    a.op = verb == "wait-decoder" ? Op::kWaitDecoder
           : verb == "download"   ? Op::kDownload
           : verb == "drop"       ? Op::kDrop
                                  : Op::kExit;
    ok = n == 0;
  } else if (verb == "withhold" || verb == "answer") {
    a.op = verb == "withhold" ? Op::kWithhold : Op::kAnswer;
    ok = n == 1 && ParseType(words[1], a.type);
  } else if (verb == "late") {
    a.op = Op::kLate;
    ok = n == 2 && ParseType(words[1], a.type) && ParseNumber(words[2], kDay, a.ms);
  } else if (verb == "wrong") {
    a.op = Op::kWrong;
    ok = (n == 1 || n == 3) && ParseType(words[1], a.type) &&
         (n == 1 ||
          (ParseNumber(words[2], 255, a.command) && ParseNumber(words[3], 255, a.subcommand)));
  } else if (verb == "stall") {
    a.op = Op::kStall;
    ok = (n == 1 || n == 2) && ParseNumber(words[1], kDay, a.ms) &&
         (n == 1 || (ParseNumber(words[2], 1000, a.split) && a.split > 0));
  } else if (verb == "oversize") {
    a.op = Op::kOversize;
    a.frameLength = 5000;
    ok = n == 0 || (n == 1 && ParseNumber(words[1], 65535, a.frameLength) && a.frameLength >= 15);
  } else if (verb == "flood") {
    a.op = Op::kFlood;
    ok = n == 1 && ParseNumber(words[1], 100000000, a.count);
  } else if (verb == "garbage") {
    a.op = Op::kGarbage;
    ok = n == 1 && ParseNumber(words[1], 1000000, a.count);
  } else if (verb == "rate") {
    a.op = Op::kRate;
    ok = n == 1 && ParseNumber(words[1], 100000, a.rate);
  } else {
    return "unknown action " + verb;
  }
  if (!ok) return "bad arguments for " + verb;
  out.push_back(a);
  return "";
}

// Parses every line of the file.
std::string LoadScript(const std::string& path, std::vector<Action>& out) {
  std::string reason =
      ForEachLine(path, [&](const std::string& line) { return ParseAction(line, out); });
  return reason.empty() ? reason : path + " " + reason;
}

}  // namespace emu
