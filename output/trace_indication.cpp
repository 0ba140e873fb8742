// Trace indication handling: one received message becomes one trace line in the log and on
// the screen, after the suppression of internal texts and the task filter.
#include "output/trace_indication.h"

#include <cstdio>
#include <cstring>

#include "capi/vendor_messages.h"
#include "control/control_block.h"
#include "output/adapter_text.h"
#include "output/log_writer.h"
#include "output/trace_screen.h"

namespace output {

namespace {
using control::controlBlock;

constexpr size_t kControllerOffset = 8;
constexpr size_t kTextPresentOffset = 9;
constexpr size_t kTextLengthOffset = 10;
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

// True when the received bytes (readable of them) from the task position on begin with prefix
// (length bytes). Bytes beyond the message read as 0, so a message that ends inside the prefix
// fails it.
bool TaskPositionBeginsWith(const uint8_t* message, size_t readable, const char* prefix,
                            size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (capi::ReceivedByte(message, readable, capi::kDebugIndTaskOffset + i) !=
        static_cast<uint8_t>(prefix[i])) {
      return false;
    }
  }
  return true;
}

// True when the text is one of the internal ones or fails an enabled task filter.
bool IsFilteredOut(const uint8_t* message, size_t readable) {
  for (const char* prefix : kSuppressedPrefixes) {
    if (TaskPositionBeginsWith(message, readable, prefix, std::strlen(prefix))) return true;
  }
  if (controlBlock.filterEnabled.load() != 1) return false;
  char filter[control::MAX_FILTER_LEN + 2];
  int filterLength = control::LoadFilterText(filter);
  return !TaskPositionBeginsWith(message, readable, filter, static_cast<size_t>(filterLength));
}

// Logs traceLine; a non-empty line gets its line end (the text itself holds none).
void LogTraceLine() {
  size_t length = std::strlen(traceLine);
  if (length == 0) {
    LogOnly(traceLine);
    return;
  }
  std::memcpy(logLine, traceLine, length);
  logLine[length] = '\n';
  logLine[length + 1] = '\0';
  LogOnly(logLine);
}
}  // namespace

void HandleDebugIndication(const uint8_t* message, size_t arrived) {
  // Everything below reads only the bytes that arrived for this message.
  size_t readable = capi::ReceivedLength(message, arrived);
  if (!capi::IsMessageOfKind(message, readable, capi::kCommandDebug, capi::kSubIndication)) {
    std::snprintf(traceLine, sizeof traceLine, "\rWrong message received: com=%x,subcom=%x\n",
                  capi::ReceivedByte(message, readable, 4),
                  capi::ReceivedByte(message, readable, 5));
    LogWithEchoAs(traceLine, platform::Severity::kWarning);
    return;
  }
  int controller = static_cast<int8_t>(capi::ReceivedByte(message, readable, kControllerOffset));
  if (capi::ReceivedByte(message, readable, kTextPresentOffset) == 0) return;

  // The length byte is taken unsigned; bytes past the message's end read as 0 and end the
  // text there.
  size_t textLength = capi::ReceivedByte(message, readable, kTextLengthOffset);
  char text[kMaxLineText + 1];
  size_t kept = textLength < kMaxLineText ? textLength : kMaxLineText;
  size_t copied = 0;
  while (copied < kept) {
    uint8_t byte = capi::ReceivedByte(message, readable, capi::kDebugIndTextOffset + copied);
    if (byte == 0) break;
    text[copied++] = static_cast<char>(byte);
  }
  CleanAdapterText(text, copied);

  if (IsFilteredOut(message, readable)) return;

  if (controlBlock.showControllerNo.load() == 1) {
    if (textLength > kMaxPrefixedLineText) text[kMaxPrefixedLineText] = '\0';
    std::snprintf(traceLine, sizeof traceLine, "C%1d %s", controller, text);
  } else {
    std::snprintf(traceLine, sizeof traceLine, "%s", text);
  }
  LogTraceLine();
  std::memcpy(displayLine, traceLine, sizeof traceLine);
  ShowTraceLine();
}

}  // namespace output
