// Unit test of the receive pass's log append on Win32, built for Windows and run under Wine:
// with the line ends stored as CR LF, a pass rotates the log between the same two texts as one
// LogOnly each. Prints one line per failed check and ends with status 1 if any failed.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "control/records/control_block.h"
#include "control/records/control_block_internal.h"
#include "output/log_writer.h"
#include "output/log_writer_internal.h"
#include "support/log_texts.h"

namespace {

int failures = 0;

std::string ReadFile(const char* name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Logs texts in folder, its log first made logBytes long, one LogOnly each or in one pass;
// returns the log and its backup.
std::string Log(const char* folder, bool inPass, long logBytes,
                const std::vector<std::string>& texts) {
  CreateDirectoryA(folder, nullptr);
  SetCurrentDirectoryA(folder);
  DeleteFileA("LINKSPY.BAK");
  std::ofstream("LINKSPY.LOG", std::ios::binary) << std::string(static_cast<size_t>(logBytes), 'a');
  control::ResetControlBlock();
  testing_support::LogTexts(texts, inPass);
  std::string files = ReadFile("LINKSPY.LOG") + "|" + ReadFile("LINKSPY.BAK");
  SetCurrentDirectoryA("..");
  return files;
}

}  // namespace

int main() {
  output::SetLogFileNames("LINKSPY.LOG", "LINKSPY.BAK", "LINKSPY.LCK");
  std::vector<std::string> texts;
  long lineEnds = 0;
  for (int i = 0; i < 40; ++i) {
    texts.push_back(std::string(1 + (i * 37) % 79, static_cast<char>('A' + i % 26)) + "\n");
    if (i < 10) lineEnds += static_cast<long>(texts.back().size()) + 1;
  }
  // The length before the eleventh text, counted with its CR LF line ends, just below the
  // rotation's and at it; and lengths that cross the limit elsewhere in the pass.
  for (long logBytes : {513023 - lineEnds, 513024 - lineEnds, 511000L, 512900L, 513024L}) {
    std::string each = Log("each", false, logBytes, texts);
    std::string pass = Log("pass", true, logBytes, texts);
    if (each != pass) {
      ++failures;
      std::printf("FAIL log of %ld bytes: %zu bytes one each, %zu in a pass\n", logBytes,
                  each.size(), pass.size());
    }
    if (each.find("\r\n") == std::string::npos) {
      ++failures;
      std::printf("FAIL log of %ld bytes: no CR LF stored\n", logBytes);
    }
  }
  std::printf("%s: %d failed\n", failures == 0 ? "PASS" : "FAIL", failures);
  return failures == 0 ? 0 : 1;
}
