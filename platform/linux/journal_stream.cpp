// Lines for the systemd journal on standard output or standard error.
#include "platform/linux/journal_stream.h"

#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/cp437.h"
#include "platform/linux/journal_stream_internal.h"
#include "platform/linux/screen_state.h"
#include "platform/linux/standard_streams.h"

namespace platform {

namespace {

// The syslog priorities journald reads: informational, warning, error.
constexpr const char* kPriorityPrefix[] = {"<6>", "<4>", "<3>"};

// Standard error's journal line when standard output is not the journal; standard output's
// is under the console lock.
pthread_mutex_t stderrMutex = PTHREAD_MUTEX_INITIALIZER;
JournalLine stderrLine{};

// True when standard error is the journal (looked at once, before any capture of it).
bool ErrorsToJournal() {
  static const bool journal = IsJournalStream(2, std::getenv("JOURNAL_STREAM"));
  return journal;
}

}  // namespace

bool IsJournalStream(int fd, const char* journalStream) {
  if (journalStream == nullptr) return false;
  unsigned long long device = 0, inode = 0;
  char rest = 0;
  if (std::sscanf(journalStream, "%llu:%llu%c", &device, &inode, &rest) != 2) return false;
  struct stat status {};
  if (fstat(fd, &status) != 0) return false;
  return status.st_dev == device && status.st_ino == inode;
}

// Line ends close a line (an empty one is dropped: journald stores nothing for it).
size_t FormatJournalText(JournalLine* line, Severity severity, const char* text, size_t length,
                         char* out, size_t capacity, size_t* produced) {
  size_t taken = 0, used = 0;
  for (; taken < length; ++taken) {
    unsigned char byte = static_cast<unsigned char>(text[taken]);
    if (byte == '\r') continue;
    if (byte == '\n') {
      if (!line->open) continue;
      if (used + 1 > capacity) break;
      out[used++] = '\n';
      line->open = false;
      continue;
    }
    if (used + kJournalMinRoom > capacity) break;
    if (!line->open) {
      std::memcpy(out + used, kPriorityPrefix[static_cast<int>(severity)], kJournalPrefixLength);
      used += kJournalPrefixLength;
      line->open = true;
    }
    used += Cp437ToUtf8(byte, out + used);
  }
  *produced = used;
  return taken;
}

void WriteJournalText(int fd, JournalLine* line, Severity severity, const char* text,
                      size_t length) {
  char buffer[1024];
  while (length > 0) {
    size_t produced = 0;
    size_t taken =
        FormatJournalText(line, severity, text, length, buffer, sizeof buffer, &produced);
    if (!WriteAll(fd, buffer, produced)) return;
    text += taken;
    length -= taken;
  }
}

// Standard error captured for the painted screen takes the text unchanged. When both
// descriptors are the journal they are one stream: the text goes the way of standard output,
// so that it cannot land inside a line that standard output has begun.
void ErrorStreamWrite(const char* text, size_t length, Severity severity) {
  if (!ErrorsToJournal() || ScreenIsPainted()) {
    std::fwrite(text, 1, length, stderr);
    std::fflush(stderr);
    return;
  }
  if (OutputIsJournal()) {
    StreamWrite(text, length, severity);
    return;
  }
  pthread_mutex_lock(&stderrMutex);
  WriteJournalText(2, &stderrLine, severity, text, length);
  pthread_mutex_unlock(&stderrMutex);
}

// Formats a text (cut at 1023 bytes) and writes it as ErrorStreamWrite does.
void PrintToStderr(Severity severity, const char* format, ...) {
  char text[1024];
  va_list arguments;
  va_start(arguments, format);
  int result = std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (result <= 0) return;
  ErrorStreamWrite(text, std::min(static_cast<size_t>(result), sizeof text - 1), severity);
}

}  // namespace platform
