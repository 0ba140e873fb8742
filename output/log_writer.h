// The log writer: every text for LINKSPY.LOG passes here; rotation to LINKSPY.BAK (and the
// numbered backups kept on request) above 500 kB; console print mode; the file tried again
// after a failure; the timestamp text.
#pragma once

#include "platform/console.h"

namespace output {

constexpr int MAX_LOG_SIZE_KB = 500;
// How long a writer waits for its turn before its text is dropped with a warning.
constexpr int kLogTurnWaitMs = 2000;
// While a failure keeps logging off, the file is tried again at most this often.
constexpr int kLogRetryMs = 10000;
// The most numbered backups (LINKSPY.BAK.1 ...) that can be kept.
constexpr int kMaxLogBackups = 9999;
// A rotation that keeps failing with the same errors is reported again at most this often.
constexpr int kRotationReportRepeatMs = 60000;

// Sets the names of the log, its backup and the lock file its writers share (start-up).
void SetLogFileNames(const char* logName, const char* backupName, const char* lockName);

// Takes the number of numbered backups to keep from its text (LINKSPY_LOG_BACKUPS): none or
// empty keeps 0, else a decimal 0..kMaxLogBackups. Returns 0, or -1 for an unusable text
// (the number is left as it was).
int SetLogBackups(const char* text);

// The number of numbered backups kept at each rotation.
int LogBackups();

// The operator switches logging on or off: a failure no longer decides when the file is tried.
void ForgetLogFailure();

// Guarded write with echo to standard output.
void LogWithEcho(const char* text);

// LogWithEcho of a warning or an error: what of the text reaches standard output is ranked
// severity where standard output is the journal.
void LogWithEchoAs(const char* text, platform::Severity severity);

// Guarded write without echo.
void LogOnly(const char* text);

// The trace texts of one receive pass (the receive thread's alone) are logged together: kept
// in order, then appended with one write when the pass ends, the log rotated between two of
// them exactly where one LogOnly each would have rotated it.
// Adds text to the pass; a pass that cannot take it is logged first.
void LogOnlyInPass(const char* text);

// Logs the pass's texts and empties it. Waits for the writers' turn as long as it takes: a pass
// is never dropped for want of it.
void LogPass();

// Shutdown: takes the writer's turn (waiting at most kLogTurnWaitMs for a write in progress),
// writes lastLine with echo and closes the log in that same turn, so that no trace line of
// the still running receive thread can follow it; then flushes every stream. Later writes are
// dropped.
void CloseLogForShutdown(const char* lastLine);

// Local date and time as "dd/mm/yyyy hh:mm:ss"; valid until the next call (main thread).
const char* Timestamp();

}  // namespace output
