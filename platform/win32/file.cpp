// Files for the log on Win32: the C library's text-mode streams, so the log holds CR LF.
#include "platform/file.h"

#include <io.h>

#include <cerrno>
#include <cstdio>

namespace platform {

namespace {
// The stream kept in a file handle.
std::FILE* Stream(File file) {
  return reinterpret_cast<std::FILE*>(file.handle);
}

// The error number a failed call left, never 0.
int LastError() {
  return errno != 0 ? errno : EIO;
}
}  // namespace

int OpenAppend(const char* name, File* file) {
  std::FILE* stream = std::fopen(name, "at");
  if (stream == nullptr) return LastError();
  file->handle = reinterpret_cast<intptr_t>(stream);
  return 0;
}

int WriteText(File file, const char* text, size_t length) {
  errno = 0;
  if (std::fwrite(text, 1, length, Stream(file)) != length) return LastError();
  return 0;
}

int FileLength(File file, uint64_t* length) {
  errno = 0;
  long long bytes = _filelengthi64(_fileno(Stream(file)));
  if (bytes < 0) return LastError();
  *length = static_cast<uint64_t>(bytes);
  return 0;
}

int CloseFile(File file) {
  errno = 0;
  return std::fclose(Stream(file)) == 0 ? 0 : LastError();
}

bool NameExists(const char* name) {
  return _access(name, 0) == 0;
}

int RemoveName(const char* name) {
  errno = 0;
  return std::remove(name) == 0 ? 0 : LastError();
}

int RenameNoReplace(const char* from, const char* to) {
  // The C library's rename on Windows never replaces an existing file, but says EACCES.
  if (NameExists(to)) return EEXIST;
  errno = 0;
  return std::rename(from, to) == 0 ? 0 : LastError();
}

}  // namespace platform
