// The log writer: every text for LINKSPY.LOG passes here; rotation to LINKSPY.BAK above
// 500 kB; console print mode; the timestamp text.
#pragma once

#include <cstdint>

namespace output {

constexpr int MAX_LOG_SIZE_KB = 500;
// How long a writer waits for its turn before its text is dropped with a warning.
constexpr int kLogTurnWaitMs = 2000;

// Sets the log and backup file names (start-up).
void SetLogFileNames(const char* logName, const char* backupName);

// Guarded write with echo to standard output.
void LogWithEcho(const char* text);

// Guarded write without echo.
void LogOnly(const char* text);

// The unguarded core; echo > 0 asks for the echo. Only the two guards call it.
void WriteLog(const char* text, int echo);

// The log size in whole kB found by the last measurement.
int32_t LogSizeKB();

// Shutdown: takes the writer's turn for good (waiting for a write in progress), then closes
// every stream still open. Later writes are dropped.
void CloseLogForShutdown();

// Local date and time as "dd/mm/yyyy hh:mm:ss"; valid until the next call (main thread).
const char* Timestamp();

}  // namespace output
