// Number words, trimming and line-by-line reading of the emulator's input files.
#include "emulator/text.h"

#include <cstdlib>
#include <fstream>

namespace emu {

// Reads the whole word as one number.
bool ParseNumber(const std::string& word, long limit, long& value) {
  if (word.empty() || word[0] == '-' || word[0] == '+' || word[0] == ' ') return false;
  bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
  char* end = nullptr;
  value = strtol(word.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
  return *end == '\0' && value >= 0 && value <= limit;
}

// Cuts blanks, tabs and line ends off both sides.
std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

// Reads the file line by line, numbering the lines for the reason.
std::string ForEachLine(const std::string& path,
                        const std::function<std::string(const std::string&)>& handle) {
  std::ifstream in(path);
  if (!in) return "cannot read " + path;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string reason = handle(line);
    if (!reason.empty()) return "line " + std::to_string(number) + ": " + reason;
  }
  return "";
}

}  // namespace emu
