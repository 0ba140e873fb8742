// What the log writer's tests share: the names of the log's files, whole files read and
// written, the fixture, and a writer's clock that the test sets.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "support/temporary_folder.h"

namespace testing_support {

constexpr const char* kLog = "LINKSPY.LOG";
constexpr const char* kBackup = "LINKSPY.BAK";
constexpr const char* kLock = "LINKSPY.LCK";

// The whole file, empty when it cannot be read.
std::string ReadFile(const char* name);

// Makes the file hold text.
void WriteFile(const char* name, const std::string& text);

// Each test runs in a fresh temporary working directory with default settings.
class LogWriterTest : public TemporaryFolderTest {
 protected:
  // Writes text with LogOnly and returns what reached standard output meanwhile.
  static std::string LogOnlyOutput(const char* text);
};

// The writer's clock in tests (output::SetLogClock(TestClock)): what the test sets.
extern std::atomic<int64_t> testClockMs;
int64_t TestClock();

}  // namespace testing_support
