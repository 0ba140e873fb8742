// Standard input and output as the console finds them, and whole writes that a stalled reader
// cannot hold past a termination request.
#include "platform/linux/standard_streams.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/linux/cp437.h"
#include "platform/linux/journal_stream.h"
#include "platform/linux/process_signals.h"

namespace platform {

namespace {

// Waits until fd takes bytes or termination is requested; false when termination came while
// fd is still full, so that a stalled reader cannot hold up the end (the descriptor stays
// blocking: its file description is shared with the shell that started the program).
bool WaitWritable(int fd) {
  for (;;) {
    pollfd watched[2] = {{fd, POLLOUT, 0}, {TerminationWakeFd(), POLLIN, 0}};
    if (poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return true;  // the write reports what is wrong with fd
    }
    if (watched[0].revents != 0) return true;
    if (watched[1].revents != 0) return false;
  }
}

}  // namespace

bool OutputIsTerminal() {
  static const bool terminal = isatty(1) == 1;
  return terminal;
}

bool KeysFromTerminal() {
  static const bool terminal = isatty(0) == 1;
  return terminal;
}

bool OutputIsJournal() {
  static const bool journal = IsJournalStream(1, std::getenv("JOURNAL_STREAM"));
  return journal;
}

// Pieces of at most PIPE_BUF bytes: once poll reports room, such a piece goes into a pipe at
// once and whole, so no write blocks past a termination request and a text up to that size is
// never torn.
bool WriteAll(int fd, const char* text, size_t length) {
  while (length > 0) {
    if (!WaitWritable(fd)) return false;
    ssize_t n = write(fd, text, std::min(length, static_cast<size_t>(PIPE_BUF)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Converts in pieces through a fixed buffer.
void WriteTerminalText(const char* text, size_t length) {
  char buffer[1024];
  size_t used = 0;
  for (size_t i = 0; i < length; ++i) {
    if (used + kMaxUtf8Length > sizeof buffer) {
      WriteAll(1, buffer, used);
      used = 0;
    }
    used += Cp437ToUtf8(static_cast<unsigned char>(text[i]), buffer + used);
  }
  WriteAll(1, buffer, used);
}

void WriteTitle(const char* title) {
  WriteAll(1, "\033]0;", 4);
  WriteTerminalText(title, std::strlen(title));
  WriteAll(1, "\007", 1);
}

}  // namespace platform
