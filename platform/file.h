// Files for the log: a text file appended to under a lock that other processes honour, its
// length, and the names around it. The lock is taken on a lock file beside the log that only
// its writers may open, so that a process that may only read the log cannot hold them up.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// An open file; handle and lockHandle are the platform's own kind of file handle (of the file
// and of its lock file), lockedLength its length as measured when the lock was taken (for
// FileLength).
struct File {
  intptr_t handle;
  intptr_t lockHandle;
  uint64_t lockedLength;
};

// Each call that can fail returns 0 or the error number (errno) that says why, or one of
// these. The name is something other than a regular file (a FIFO, a device, a folder):
constexpr int kNotRegularFile = -2;
// Another process held the file's lock for all of kLockWaitMs:
constexpr int kLockedElsewhere = -3;
// The name is a symbolic link (or another kind of link the system would follow), dangling or not:
constexpr int kSymbolicLink = -4;
// The file belongs to neither the user this process runs as nor the system's administrator:
constexpr int kForeignOwner = -5;
// The file has more than one name (a hard link), so it may be someone else's file as well:
constexpr int kSeveralLinks = -6;
// The lock file is a link, not a regular file, another user's or has a second name:
constexpr int kLockFileRefused = -7;
// The file cannot be reopened without following its name, as /proc is not mounted (Linux):
constexpr int kProcMissing = -8;

// How long OpenLocked waits for the lock at most: the processes sharing the log take it in
// turn and a holder keeps it for one write, so only a holder that is stuck (or never lets go)
// lasts this long. Well below the log writer's wait
// for its turn, so that a writer waiting here never holds up shutdown.
constexpr int kLockWaitMs = 1000;

// Opens name for appending text with the platform's line ends, creating it when missing
// (readable by its owner and group only), without ever blocking on what the name is. Only a
// regular file of this user's (or the administrator's) with this one name is opened for
// writing; the name is never followed as a link. Returns holding the lock of lockName, shared
// with every other process that opens a file under that lock; the wait for another holder is
// bounded by kLockWaitMs. The lock file is checked as the file is, created when missing and
// kept for this user alone (no one else may open it, so no one else can take its lock). The
// lock lasts until CloseFile.
int OpenLocked(const char* name, const char* lockName, File* file);

// Writes all length bytes of text at the end of the file.
int WriteText(File file, const char* text, size_t length);

// The bytes WriteText puts in the file for text: its length with the platform's line ends.
size_t WrittenLength(const char* text, size_t length);

// The file's length in bytes (what OpenLocked left it at: only the lock holder writes).
int FileLength(File file, uint64_t* length);

// Cuts the file back to length bytes.
int TruncateFile(File file, uint64_t length);

// Closes the file, then gives up its lock; a failure here may be a write's that only now shows.
int CloseFile(File file);

// True when anything (a dangling link included) has this name.
bool NameExists(const char* name);

// Removes the file (or empty folder) of this name.
int RemoveName(const char* name);

// Renames from to to; never replaces an existing to (EEXIST).
int RenameNoReplace(const char* from, const char* to);

}  // namespace platform
