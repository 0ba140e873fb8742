// Captures what the program writes to file descriptor 1 (or 2) while a test runs a piece of it.
#pragma once

#include <functional>
#include <string>

namespace testing_support {

class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  // Stops capturing (if still capturing) and returns everything written meanwhile.
  std::string Take();

 private:
  int savedFd_ = -1;
  int fileFd_ = -1;
};

// Runs body with file descriptor 2 going to a temporary file; returns what was written there.
std::string CaptureStderr(const std::function<void()>& body);

}  // namespace testing_support
