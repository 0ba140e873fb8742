// Captures what the program writes to file descriptor 1 while a test runs a piece of it.
#pragma once

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

}  // namespace testing_support
