// The log writer: the writers' turn, appending to the log file, its rotation to the backup,
// console print mode, and the timestamp text.
#include "output/log_writer.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "control/control_block.h"
#include "output/print.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/system.h"

namespace output {

namespace {
using control::controlBlock;

const char* logFileName = "LINKSPY.LOG";
const char* backupFileName = "LINKSPY.BAK";
std::atomic<int32_t> logSizeKB{0};
char timestampText[30];

// The writers' turn. A writer that finds it taken queues up; the turn is handed straight to
// a waiting writer, so one thread writing steadily cannot keep the other out.
std::mutex turnMutex;
std::condition_variable turnHandedOver;
bool turnTaken = false;
int turnWaiters = 0;
int turnHandoffs = 0;
// Set at shutdown, read under the turn: later texts are dropped.
std::atomic<bool> logClosed{false};

// Takes the turn; bounded: gives up after kLogTurnWaitMs and returns false.
bool TakeTurn(bool bounded) {
  std::unique_lock<std::mutex> hold(turnMutex);
  if (!turnTaken) {
    turnTaken = true;
    return true;
  }
  ++turnWaiters;
  auto handedToUs = [] { return turnHandoffs > 0; };
  bool taken = true;
  if (bounded) {
    taken = turnHandedOver.wait_for(hold, std::chrono::milliseconds(kLogTurnWaitMs), handedToUs);
  } else {
    turnHandedOver.wait(hold, handedToUs);
  }
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

// Writes a text unchanged to standard output (as "%s" would, without a length limit).
void PrintText(const char* text) {
  platform::StreamWrite(text, std::strlen(text));
}

// The error-code line for the error number a failing file operation left.
void PrintErrorCode(int error) {
  Print("LINKSPY: Error code: %s\n", std::strerror(error));
}

// A failed write: logging goes off and the text goes to standard output instead.
void ReportWriteFailure(const char* text, int error) {
  controlBlock.loggingEnabled = 0;
  Print("LINKSPY: Error writing logfile (1): Logging disabled\n");
  PrintErrorCode(error);
  PrintText(text);
}

// Moves the log to the backup name, first removing an old backup.
void RotateLog() {
  if (platform::NameExists(backupFileName)) {
    int error = platform::RemoveName(backupFileName);
    if (error != 0) {
      Print("LINKSPY: Error removing backup logfile\n");
      PrintErrorCode(error);
    }
  }
  // A backup that survived its removal fails the rename: it is never replaced.
  int error = platform::RenameNoReplace(logFileName, backupFileName);
  if (error != 0) {
    Print("LINKSPY: Error renaming logfile\n");
    PrintErrorCode(error);
  }
}

// One guarded write: waits for the turn, drops the text with a warning when it does not come.
void GuardedWrite(const char* text, int echo) {
  if (!TakeTurn(true)) {
    Print("LINKSPY: Warning - Logfile in use!\n");
    return;
  }
  controlBlock.logBusy = 1;
  if (!logClosed.load()) WriteLog(text, echo);
  controlBlock.logBusy = 0;
  GiveTurn();
}
}  // namespace

void SetLogFileNames(const char* logName, const char* backupName) {
  logFileName = logName;
  backupFileName = backupName;
}

void LogWithEcho(const char* text) {
  GuardedWrite(text, 1);
}

void LogOnly(const char* text) {
  GuardedWrite(text, 0);
}

void WriteLog(const char* text, int echo) {
  if (echo > 0) PrintText(text);
  if (controlBlock.loggingEnabled.load() == 0) {
    PrintText(text);
    return;
  }
  platform::File file;
  int error = platform::OpenAppend(logFileName, &file);
  if (error != 0) {
    controlBlock.loggingEnabled = 0;
    Print("\nLINKSPY: Error open log file: %s\n", logFileName);
    PrintErrorCode(error);
    return;
  }
  // Measured before the text is written: the length the log had without it.
  bool checkSize = controlBlock.sizeCheckEnabled.load() != 0;
  uint64_t length = 0;
  int measureError = checkSize ? platform::FileLength(file, &length) : 0;
  error = platform::WriteText(file, text, std::strlen(text));
  // A failure that shows only at the close is the write's failure too.
  int closeError = platform::CloseFile(file);
  if (error == 0) error = closeError;
  if (error != 0) {
    ReportWriteFailure(text, error);
    return;
  }
  if (!checkSize) return;
  if (measureError != 0) {
    Print("LINKSPY: Log file size checking disabled\n");
    PrintErrorCode(measureError);
    controlBlock.sizeCheckEnabled = 0;
    return;
  }
  logSizeKB = static_cast<int32_t>(length / 1024);
  if (logSizeKB.load() <= MAX_LOG_SIZE_KB) return;
  RotateLog();
}

int32_t LogSizeKB() {
  return logSizeKB.load();
}

void CloseLogForShutdown() {
  TakeTurn(false);
  controlBlock.logBusy = 1;
  logClosed = true;
  std::fflush(nullptr);
  controlBlock.logBusy = 0;
  GiveTurn();
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
