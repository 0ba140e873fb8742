// What the log writer's tests share.
#include "support/log_files.h"

#include <fstream>
#include <sstream>

#include "output/log_writer.h"
#include "support/stdout_capture.h"

namespace testing_support {

std::string ReadFile(const char* name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const char* name, const std::string& text) {
  std::ofstream(name, std::ios::binary) << text;
}

std::string LogWriterTest::LogOnlyOutput(const char* text) {
  StdoutCapture capture;
  output::LogOnly(text);
  return capture.Take();
}

std::atomic<int64_t> testClockMs{1000};

int64_t TestClock() {
  return testClockMs.load();
}

}  // namespace testing_support
