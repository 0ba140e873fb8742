// Provisional headless console: stream text to standard output, keys and lines from
// standard input. Replaced by the screen model and terminal presenter.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "platform/console.h"

namespace platform {

namespace {
std::recursive_mutex consoleMutex;
}

void ConsoleOpen() {}
void ConsoleClose() {}
void ConsoleSetTitle(const char*) {}
void ConsoleLock() { consoleMutex.lock(); }
void ConsoleUnlock() { consoleMutex.unlock(); }
void ConsoleSetCursor(int, int) {}
void ConsoleGetCursor(int* column, int* row) { *column = *row = 0; }
void ConsoleMoveRect(int, int, int, int, int, int, char) {}
void ConsoleWrite(const char*, size_t) {}
char ConsoleCellAt(int, int) { return ' '; }

void StreamWrite(const char* text, size_t length) {
  std::lock_guard<std::recursive_mutex> hold(consoleMutex);
  while (length > 0) {
    ssize_t n = write(1, text, length);
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

bool KeyWaiting(int timeoutMs) {
  pollfd p{0, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
}

int ReadKey() {
  unsigned char c;
  return read(0, &c, 1) == 1 ? c : -1;
}

int ReadLine(char* line, int capacity) {
  int length = 0;
  for (;;) {
    unsigned char c;
    if (read(0, &c, 1) != 1) return length > 0 ? length : -1;
    if (c == '\n') break;
    if (length < capacity - 1) line[length++] = static_cast<char>(c);
  }
  if (length > 0 && line[length - 1] == '\r') --length;
  line[length] = '\0';
  return length;
}

void ShowMessageBox(const char* text) { std::fprintf(stderr, "LINKSPY: %s\n", text); }

}  // namespace platform
