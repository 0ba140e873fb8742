// The log writer: the writers' turn, appending to the log file under its lock, its rotation
// through the backups, console print mode, trying the file again after a failure, and the
// timestamp text.
#include "output/log_writer.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "control/records/control_block.h"
#include "output/log_writer_internal.h"
#include "output/print.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/system.h"

namespace output {

namespace {
using control::controlBlock;
using platform::Severity;

const char* logFileName = "LINKSPY.LOG";
const char* backupFileName = "LINKSPY.BAK";
const char* lockFileName = "LINKSPY.LCK";
std::atomic<int32_t> logSizeKB{0};
std::atomic<int> logBackups{0};
char timestampText[30];
// While a failure (not the operator) keeps logging off: when the file failed last, in ms of
// the writer's clock (at least 1). 0 otherwise: no retry is due then.
std::atomic<int64_t> failedAtMs{0};
// The two backup names of one move during a rotation (used under the turn only).
constexpr int kNameSize = 300;
char fromName[kNameSize];
char toName[kNameSize];

// The failing rotation last reported (used under the turn only): its two errors and when they
// were printed. Not reported: the last write found no rotation failing.
struct RotationReport {
  bool reported;
  int removeError;
  int renameError;
  int64_t printedAtMs;
};
RotationReport rotationReport{};

// Texts in order, stored one after another: text i ends at ends[i].
struct TextRun {
  const char* bytes;
  const uint32_t* ends;
  int count;
};

// Where text index of the run begins in its bytes.
uint32_t TextStart(const TextRun& run, int index) {
  return index == 0 ? 0 : run.ends[index - 1];
}

// The trace texts of the pass under way (receive thread only), kept until the pass ends.
constexpr size_t kPassTextSize = 32 * 1024;
constexpr int kPassTextCount = 512;
struct PassTexts {
  char bytes[kPassTextSize];
  uint32_t ends[kPassTextCount];
  int count;
};
PassTexts passTexts;

// What one append to the log came to: each field 0 or the error of its step.
struct AppendOutcome {
  int openError;
  int writeError;
  int measureError;
  int removeError;
  int renameError;
};

// The writers' turn. A writer that finds it taken queues up; the turn is handed straight to
// a waiting writer, so one thread writing steadily cannot keep the other out.
std::mutex turnMutex;
std::condition_variable turnHandedOver;
bool turnTaken = false;
int turnWaiters = 0;
int turnHandoffs = 0;
// Set at shutdown, read under the turn: later texts are dropped.
std::atomic<bool> logClosed{false};

// Takes the turn; gives up after kLogTurnWaitMs and returns false.
bool TakeTurn() {
  std::unique_lock<std::mutex> hold(turnMutex);
  if (!turnTaken) {
    turnTaken = true;
    return true;
  }
  ++turnWaiters;
  bool taken = turnHandedOver.wait_for(hold, std::chrono::milliseconds(kLogTurnWaitMs),
                                       [] { return turnHandoffs > 0; });
  --turnWaiters;
  if (taken) --turnHandoffs;
  return taken;
}

// Gives the turn to the next waiting writer, or frees it.
void GiveTurn() {
  std::lock_guard<std::mutex> hold(turnMutex);
  if (turnWaiters > turnHandoffs) {
    ++turnHandoffs;
    turnHandedOver.notify_one();
  } else {
    turnTaken = false;
  }
}

// Milliseconds of the steady (monotonic) clock.
int64_t SteadyClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The clock the writer's intervals are measured on.
std::atomic<int64_t (*)()> clockMs{SteadyClockMs};

// Milliseconds of the writer's clock.
int64_t NowMs() {
  return clockMs.load()();
}

// Writes a text unchanged to standard output (as "%s" would, without a length limit).
void PrintText(const char* text, Severity severity) {
  platform::StreamWrite(text, std::strlen(text), severity);
}

// The reasons for the refusals the file layer names itself; other errors are the system's.
struct Refusal {
  int error;
  const char* reason;
};
constexpr Refusal kRefusals[] = {
    {platform::kNotRegularFile, "Not a regular file"},
    {platform::kLockedElsewhere, "Log file locked by another process"},
    {platform::kSymbolicLink, "Log file is a symbolic link"},
    {platform::kForeignOwner, "Log file owned by another user"},
    {platform::kSeveralLinks, "Log file has other hard links"},
    {platform::kLockFileRefused, "Lock file is a link, not a regular file or another user's"},
    {platform::kProcMissing, "/proc must be mounted for the log file to be opened safely"},
};

// The error-code line for the error a failing file operation left, an error or a warning as
// the message before it.
void PrintErrorCode(int error, Severity severity) {
  const char* reason = nullptr;
  for (const Refusal& refusal : kRefusals) {
    if (refusal.error == error) reason = refusal.reason;
  }
  (severity == Severity::kError ? PrintError : PrintWarning)(
      "LINKSPY: Error code: %s\n", reason != nullptr ? reason : std::strerror(error));
}

// The name of backup slot: 0 is the backup name itself, n > 0 the backup name with ".n".
void SlotName(int slot, char (&name)[kNameSize]) {
  if (slot == 0) {
    std::snprintf(name, sizeof name, "%s", backupFileName);
  } else {
    std::snprintf(name, sizeof name, "%s.%d", backupFileName, slot);
  }
}

// Undoes the moves of a failed rotation in slots first..last: a slot whose lower neighbour
// is empty was moved up from there and goes back.
void MoveBack(int first, int last) {
  for (int slot = first; slot <= last; ++slot) {
    SlotName(slot, fromName);
    SlotName(slot - 1, toName);
    if (platform::NameExists(fromName) && !platform::NameExists(toName)) {
      platform::RenameNoReplace(fromName, toName);
    }
  }
}

// Moves every backup up one slot (the oldest is removed first), then the log to the backup
// name. A failed rename stops the rotation and moves back what had moved.
void RotateLog(AppendOutcome* outcome) {
  int kept = logBackups.load();
  SlotName(kept, toName);
  if (platform::NameExists(toName)) outcome->removeError = platform::RemoveName(toName);
  // A backup that survived its removal fails the first rename: it is never replaced.
  for (int slot = kept; slot > 0; --slot) {
    SlotName(slot - 1, fromName);
    SlotName(slot, toName);
    if (!platform::NameExists(fromName)) continue;
    outcome->renameError = platform::RenameNoReplace(fromName, toName);
    if (outcome->renameError != 0) {
      MoveBack(slot + 1, kept);
      return;
    }
  }
  outcome->renameError = platform::RenameNoReplace(logFileName, backupFileName);
  if (outcome->renameError != 0) MoveBack(1, kept);
}

// Appends the run's texts from first on while holding the log's lock, up to the text after
// which the log is rotated: the first one written once the measured length before it is over
// the limit (size checking on). The log is cut back to its measured length when the part could
// not be written whole. Returns the index after the part's last text.
int AppendPart(const TextRun& run, int first, bool checkSize, AppendOutcome* outcome) {
  platform::File file{};
  outcome->openError = platform::OpenLocked(logFileName, lockFileName, &file);
  if (outcome->openError != 0) return first;
  uint64_t length = 0;
  outcome->measureError = platform::FileLength(file, &length);
  bool sizeKnown = checkSize && outcome->measureError == 0;
  // The length before the part's last text, counted in the bytes the file stores.
  uint64_t before = length;
  int last = sizeKnown ? first : run.count - 1;
  while (sizeKnown && before / 1024 <= MAX_LOG_SIZE_KB && last < run.count - 1) {
    uint32_t start = TextStart(run, last);
    before += platform::WrittenLength(run.bytes + start, run.ends[last] - start);
    ++last;
  }
  uint32_t from = TextStart(run, first);
  outcome->writeError = platform::WriteText(file, run.bytes + from, run.ends[last] - from);
  if (outcome->writeError != 0 && outcome->measureError == 0) {
    platform::TruncateFile(file, length);
  } else if (sizeKnown) {
    logSizeKB = static_cast<int32_t>(before / 1024);
    if (logSizeKB.load() > MAX_LOG_SIZE_KB) RotateLog(outcome);
  }
  // A failure that shows only at the close is the write's failure too.
  int closeError = platform::CloseFile(file);
  if (outcome->writeError == 0) outcome->writeError = closeError;
  return last + 1;
}

// Writes the run's texts from first on unchanged to standard output, with one write.
void PrintRun(const TextRun& run, int first, Severity severity) {
  uint32_t from = TextStart(run, first);
  platform::StreamWrite(run.bytes + from, run.ends[run.count - 1] - from, severity);
}

// A failure switches logging off; the file is tried again kLogRetryMs later.
void NoteFailure() {
  controlBlock.loggingEnabled = 0;
  failedAtMs = std::max<int64_t>(NowMs(), 1);
}

// True when a failure switched logging off and the file is due to be tried again.
bool RetryDue() {
  int64_t failedAt = failedAtMs.load();
  return failedAt != 0 && NowMs() - failedAt >= kLogRetryMs;
}

// Reports a failed open or write (a failed retry is not reported again), errors since logging
// goes off.
void ReportFailure(const AppendOutcome& outcome, bool retrying) {
  NoteFailure();
  if (!retrying && outcome.openError != 0) {
    PrintError("\nLINKSPY: Error open log file: %s\n", logFileName);
    PrintErrorCode(outcome.openError, Severity::kError);
  } else if (!retrying) {
    PrintError("LINKSPY: Error writing logfile (1): Logging disabled\n");
    PrintErrorCode(outcome.writeError, Severity::kError);
  }
}

// True when a failed rotation is to be reported: the first of a run of failures, one whose
// errors differ from those reported, or one kRotationReportRepeatMs after the report. A
// rotation that did not fail ends the run.
bool RotationReportDue(const AppendOutcome& outcome) {
  if (outcome.removeError == 0 && outcome.renameError == 0) {
    rotationReport.reported = false;
    return false;
  }
  int64_t now = NowMs();
  if (rotationReport.reported && outcome.removeError == rotationReport.removeError &&
      outcome.renameError == rotationReport.renameError &&
      now - rotationReport.printedAtMs < kRotationReportRepeatMs) {
    return false;
  }
  rotationReport = {true, outcome.removeError, outcome.renameError, now};
  return true;
}

// Reports a failed measurement (size checking goes off) and a failed rotation: warnings, as
// the text was logged and logging goes on. A rotation failing again and again is reported
// only now and then, so that its lines do not bury the trace.
void ReportSizeAndRotation(const AppendOutcome& outcome, bool checkSize) {
  if (checkSize && outcome.measureError != 0) {
    PrintWarning("LINKSPY: Log file size checking disabled\n");
    PrintErrorCode(outcome.measureError, Severity::kWarning);
    controlBlock.sizeCheckEnabled = 0;
  }
  if (!RotationReportDue(outcome)) return;
  if (outcome.removeError != 0) {
    PrintWarning("LINKSPY: Error removing backup logfile\n");
    PrintErrorCode(outcome.removeError, Severity::kWarning);
  }
  if (outcome.renameError != 0) {
    PrintWarning("LINKSPY: Error renaming logfile\n");
    PrintErrorCode(outcome.renameError, Severity::kWarning);
  }
}

// Writes the run to the log, or to standard output while logging is off (the file tried
// again when a retry is due); a part that fails to be written goes there with the rest.
void WriteRun(const TextRun& run, Severity severity) {
  bool retrying = false;
  if (controlBlock.loggingEnabled.load() == 0) {
    if (!RetryDue()) {
      PrintRun(run, 0, severity);
      return;
    }
    retrying = true;
  }
  for (int first = 0; first < run.count;) {
    bool checkSize = controlBlock.sizeCheckEnabled.load() != 0;
    AppendOutcome outcome{};
    int next = AppendPart(run, first, checkSize, &outcome);
    if (outcome.openError != 0 || outcome.writeError != 0) {
      ReportFailure(outcome, retrying);
      PrintRun(run, first, severity);
      return;
    }
    if (retrying) {
      retrying = false;
      failedAtMs = 0;
      controlBlock.loggingEnabled = 1;
      Print("LINKSPY: Log file usable again, logging resumed\n");
    }
    ReportSizeAndRotation(outcome, checkSize);
    first = next;
  }
}

// The unguarded core: the echo, then the text to the log.
void WriteLog(const char* text, int echo, Severity severity) {
  if (echo > 0) PrintText(text, severity);
  uint32_t end = static_cast<uint32_t>(std::strlen(text));
  WriteRun(TextRun{text, &end, 1}, severity);
}

// One guarded write: waits for the turn, drops the text with a warning when it does not come.
void GuardedWrite(const char* text, int echo, Severity severity) {
  if (!TakeTurn()) {
    PrintWarning("LINKSPY: Warning - Logfile in use!\n");
    return;
  }
  controlBlock.logBusy = 1;
  if (!logClosed.load()) WriteLog(text, echo, severity);
  controlBlock.logBusy = 0;
  GiveTurn();
}

// A pass's texts to the log under the writers' turn, waited for as long as it takes: a pass is
// never dropped for want of it. After the shutdown's last line nothing is written.
void WritePassRun(const TextRun& run) {
  while (!TakeTurn()) {
  }
  controlBlock.logBusy = 1;
  if (!logClosed.load()) WriteRun(run, Severity::kInformation);
  controlBlock.logBusy = 0;
  GiveTurn();
}
}  // namespace

void SetLogFileNames(const char* logName, const char* backupName, const char* lockName) {
  logFileName = logName;
  backupFileName = backupName;
  lockFileName = lockName;
}

void SetLogClock(int64_t (*clock)()) {
  clockMs = clock != nullptr ? clock : SteadyClockMs;
  // A time of the old clock means nothing on the new one.
  rotationReport = {};
}

int SetLogBackups(const char* text) {
  int count = 0;
  for (const char* digit = text; digit != nullptr && *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9') return -1;
    count = count * 10 + (*digit - '0');
    if (count > kMaxLogBackups) return -1;
  }
  logBackups = count;
  return 0;
}

int LogBackups() {
  return logBackups.load();
}

void ForgetLogFailure() {
  failedAtMs = 0;
}

void LogWithEcho(const char* text) {
  GuardedWrite(text, 1, Severity::kInformation);
}

void LogWithEchoAs(const char* text, Severity severity) {
  GuardedWrite(text, 1, severity);
}

void LogOnly(const char* text) {
  GuardedWrite(text, 0, Severity::kInformation);
}

void LogOnlyInPass(const char* text) {
  size_t length = std::strlen(text);
  PassTexts& pass = passTexts;
  uint32_t used = pass.count == 0 ? 0 : pass.ends[pass.count - 1];
  if (pass.count == kPassTextCount || used + length > kPassTextSize) {
    LogPass();
    used = 0;
  }
  if (length > kPassTextSize) {
    // Longer than a whole pass: it goes alone, as its own pass would.
    uint32_t end = static_cast<uint32_t>(length);
    WritePassRun(TextRun{text, &end, 1});
    return;
  }
  std::memcpy(pass.bytes + used, text, length);
  pass.ends[pass.count++] = used + static_cast<uint32_t>(length);
}

void LogPass() {
  PassTexts& pass = passTexts;
  if (pass.count == 0) return;
  WritePassRun(TextRun{pass.bytes, pass.ends, pass.count});
  pass.count = 0;
}

int32_t LogSizeKB() {
  return logSizeKB.load();
}

void CloseLogForShutdown(const char* lastLine) {
  // A writer stuck past the wait (its echo on a stalled terminal) keeps its turn; the last
  // line is dropped then (printing it would stall too) and the log is closed all the same.
  bool taken = TakeTurn();
  if (taken) {
    controlBlock.logBusy = 1;
    if (!logClosed.load()) WriteLog(lastLine, 1, Severity::kInformation);
    controlBlock.logBusy = 0;
  }
  logClosed = true;
  std::fflush(nullptr);
  if (taken) GiveTurn();
}

const char* Timestamp() {
  std::tm now = platform::LocalTimeNow();
  // The fields lie in their calendar ranges; narrow types bound the text within the buffer.
  std::snprintf(timestampText, sizeof timestampText, "%02d/%02d/%02d %02d:%02d:%02d",
                static_cast<uint8_t>(now.tm_mday), static_cast<uint8_t>(now.tm_mon + 1),
                static_cast<uint16_t>(now.tm_year + 1900), static_cast<uint8_t>(now.tm_hour),
                static_cast<uint8_t>(now.tm_min), static_cast<uint8_t>(now.tm_sec));
  return timestampText;
}

}  // namespace output
