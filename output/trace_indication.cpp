// Trace indication handling: one received message becomes one trace line in the log and on
// the screen, after the suppression of internal texts and the task filter.
#include "output/trace_indication.h"

#include <cstdio>
#include <cstring>

#include "capi/records/vendor_messages.h"
#include "control/records/control_block.h"
#include "output/adapter_text.h"
#include "output/log_writer.h"
#include "output/trace_screen.h"

namespace output {

namespace {
using control::controlBlock;

// Longest text kept for a line, without and with the controller prefix.
constexpr size_t kMaxLineText = 79;
constexpr size_t kMaxPrefixedLineText = 76;
constexpr size_t kTraceLineSize = 255;

// Internal firmware texts that are never shown, tested in this order.
constexpr const char* kSuppressedPrefixes[] = {"CMT got debugReq", "CMT ascii", "DBG"};

// The formatted line, and the same line with the line end the log adds.
char traceLine[kTraceLineSize];
char logLine[kTraceLineSize + 1];
static_assert(kTraceLineSize <= kDisplayLineSize);

// True when the indication's text from the task position on begins with prefix (length
// bytes). Bytes beyond what arrived read as 0, so a text that ends inside the prefix fails it.
bool TaskPositionBeginsWith(const capi::DebugIndication& indication, const char* prefix,
                            size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (capi::TextByte(indication, capi::kDebugIndTaskTextOffset + i) !=
        static_cast<uint8_t>(prefix[i])) {
      return false;
    }
  }
  return true;
}

// True when the text is one of the internal ones or fails an enabled task filter.
bool IsFilteredOut(const capi::DebugIndication& indication) {
  for (const char* prefix : kSuppressedPrefixes) {
    if (TaskPositionBeginsWith(indication, prefix, std::strlen(prefix))) return true;
  }
  if (controlBlock.filterEnabled.load() != 1) return false;
  char filter[control::kFilterTextSize];
  int filterLength = control::LoadFilterText(filter);
  return !TaskPositionBeginsWith(indication, filter, static_cast<size_t>(filterLength));
}

// Logs traceLine with the receive pass; a non-empty line gets its line end (the text itself
// holds none).
void LogTraceLine() {
  size_t length = std::strlen(traceLine);
  if (length == 0) {
    LogOnlyInPass(traceLine);
    return;
  }
  std::memcpy(logLine, traceLine, length);
  logLine[length] = '\n';
  logLine[length + 1] = '\0';
  LogOnlyInPass(logLine);
}
}  // namespace

void HandleDebugIndication(const uint8_t* message, size_t arrived) {
  // Everything below reads only the bytes that arrived for this message.
  capi::DebugIndication indication;
  if (!capi::ReadDebugIndication(message, arrived, indication)) {
    std::snprintf(traceLine, sizeof traceLine, "\rWrong message received: com=%x,subcom=%x\n",
                  indication.command, indication.subcommand);
    // The pass's earlier lines go first: the log keeps the order of arrival.
    LogPass();
    LogWithEchoAs(traceLine, platform::Severity::kWarning);
    return;
  }
  if (!indication.textPresent) return;

  // A zero byte, or the end of what arrived, ends the text before its length byte does.
  size_t textLength = indication.textLength;
  char text[kMaxLineText + 1];
  size_t kept = textLength < kMaxLineText ? textLength : kMaxLineText;
  size_t copied = 0;
  while (copied < kept) {
    uint8_t byte = capi::TextByte(indication, copied);
    if (byte == 0) break;
    text[copied++] = static_cast<char>(byte);
  }
  CleanAdapterText(text, copied);

  if (IsFilteredOut(indication)) return;

  if (controlBlock.showControllerNo.load() == 1) {
    if (textLength > kMaxPrefixedLineText) text[kMaxPrefixedLineText] = '\0';
    std::snprintf(traceLine, sizeof traceLine, "C%1d %s", indication.controller, text);
  } else {
    std::snprintf(traceLine, sizeof traceLine, "%s", text);
  }
  LogTraceLine();
  std::memcpy(displayLine, traceLine, sizeof traceLine);
  ShowTraceLine();
}

}  // namespace output
