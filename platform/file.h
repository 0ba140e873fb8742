// Files for the log: a text file appended to under a lock that other processes honour, its
// length, and the names around it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// An open file; handle is the platform's own kind of file handle, lockedLength its length as
// measured when the lock was taken (for FileLength).
struct File {
  intptr_t handle;
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

// How long OpenLocked waits for the lock at most: the processes sharing the log take it in
// turn and a holder keeps it for one write, so only a holder that is stuck (or never lets go)
// lasts this long. Well below the log writer's wait
// for its turn, so that a writer waiting here never holds up shutdown.
constexpr int kLockWaitMs = 1000;

// Opens name for appending text with the platform's line ends, creating it when missing
// (readable by its owner and group only), without ever blocking on what the name is. Only a
// regular file of this user's (or the administrator's) with this one name is opened for
// writing; the name is never followed as a link. Returns holding the file's lock, shared with
// every other process that opens the name this way, and only once the file still is the one
// the name points to; the wait for another holder is bounded by kLockWaitMs. The lock lasts
// until CloseFile.
int OpenLocked(const char* name, File* file);

// Writes all length bytes of text at the end of the file.
int WriteText(File file, const char* text, size_t length);

// The file's length in bytes (what OpenLocked left it at: only the lock holder writes).
int FileLength(File file, uint64_t* length);

// Cuts the file back to length bytes.
int TruncateFile(File file, uint64_t length);

// Closes the file and gives up its lock; a failure here may be a write's that only now shows.
int CloseFile(File file);

// True when anything (a dangling link included) has this name.
bool NameExists(const char* name);

// Removes the file (or empty folder) of this name.
int RemoveName(const char* name);

// Renames from to to; never replaces an existing to (EEXIST).
int RenameNoReplace(const char* from, const char* to);

}  // namespace platform
