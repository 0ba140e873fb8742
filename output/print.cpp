// Formatted text to the two console channels (the standard-output stream and the direct
// console write), and to any receiver of a whole text.
#include "output/print.h"

#include <cstdarg>
#include <cstdio>

#include "platform/console.h"

namespace output {

namespace {
using Channel = void (*)(const char* text, size_t length);

// The line buffer of PrintTo: room for every report line, log line and message-box text.
constexpr size_t kLineBufferSize = 512;

// Formats into a local buffer (longer texts are cut) and hands the text to channel.
void FormatTo(Channel channel, const char* format, va_list arguments) {
  char buffer[1024];
  int result = std::vsnprintf(buffer, sizeof buffer, format, arguments);
  if (result < 0) return;
  size_t length = static_cast<size_t>(result);
  if (length >= sizeof buffer) length = sizeof buffer - 1;
  channel(buffer, length);
}
}  // namespace

void Print(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  FormatTo(platform::StreamWrite, format, arguments);
  va_end(arguments);
}

void PrintError(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  std::fflush(stderr);
}

void WriteDirect(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  FormatTo(platform::ConsoleWrite, format, arguments);
  va_end(arguments);
}

void PrintTo(TextSink sink, const char* format, ...) {
  char line[kLineBufferSize];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  sink(line);
}

}  // namespace output
