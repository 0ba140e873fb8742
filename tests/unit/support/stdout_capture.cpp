// Captures file descriptor 1 (or 2) into a temporary file.
#include "support/stdout_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace testing_support {

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  char path[] = "/tmp/linkspy-stdout-XXXXXX";
  fileFd_ = mkstemp(path);
  unlink(path);
  savedFd_ = dup(1);
  dup2(fileFd_, 1);
}

StdoutCapture::~StdoutCapture() {
  Take();
}

std::string StdoutCapture::Take() {
  if (savedFd_ < 0) return {};
  std::fflush(stdout);
  dup2(savedFd_, 1);
  close(savedFd_);
  savedFd_ = -1;
  std::string text;
  lseek(fileFd_, 0, SEEK_SET);
  char chunk[4096];
  ssize_t n;
  while ((n = read(fileFd_, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
  close(fileFd_);
  fileFd_ = -1;
  return text;
}

std::string CaptureStderr(const std::function<void()>& body) {
  std::fflush(stderr);
  FILE* file = std::tmpfile();
  int saved = dup(2);
  dup2(fileno(file), 2);
  body();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string text;
  std::rewind(file);
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  std::fclose(file);
  return text;
}

}  // namespace testing_support
