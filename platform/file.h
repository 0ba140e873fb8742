// Files for the log: an append-mode text file, its length, and the names around it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// An open file; handle is the platform's own kind of file handle.
struct File {
  intptr_t handle;
};

// Each call that can fail returns 0 or the error number (errno) that says why.

// Opens name for appending text with the platform's line ends, creating it when missing.
int OpenAppend(const char* name, File* file);

// Writes all length bytes of text at the end of the file.
int WriteText(File file, const char* text, size_t length);

// The file's length in bytes; fails when the file is not a regular file.
int FileLength(File file, uint64_t* length);

// Closes the file; a failure here may be a write's that only now shows.
int CloseFile(File file);

// True when anything (a dangling link included) has this name.
bool NameExists(const char* name);

// Removes the file (or empty folder) of this name.
int RemoveName(const char* name);

// Renames from to to; never replaces an existing to (EEXIST).
int RenameNoReplace(const char* from, const char* to);

}  // namespace platform
