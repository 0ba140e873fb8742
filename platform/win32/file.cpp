// Files for the log on Win32: the C library's text-mode streams, so the log holds CR LF,
// over handles that share deletion (another instance may rotate the log meanwhile) and
// carry LockFileEx's lock between processes.
#include "platform/file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

namespace platform {

namespace {
// The stream kept in a file handle.
std::FILE* Stream(File file) {
  return reinterpret_cast<std::FILE*>(file.handle);
}

// How often a file renamed away while its lock was awaited is opened afresh.
constexpr int kReopenTries = 16;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The error number a failed call left, never 0.
int LastError() {
  return errno != 0 ? errno : EIO;
}

// The error number for the system error code a failed call left.
int SystemError() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    default:
      return EIO;
  }
}

// The system handle under a stream.
HANDLE Handle(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// Takes the lock on the whole of the file (and beyond its end); waits for another holder.
bool Lock(HANDLE handle) {
  OVERLAPPED whole{};
  return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0;
}

// True when name still points to the file open as handle (not rotated away meanwhile).
bool StillNamed(HANDLE handle, const char* name) {
  HANDLE named = CreateFileA(name, 0, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION opened, current;
  bool same = GetFileInformationByHandle(handle, &opened) &&
              GetFileInformationByHandle(named, &current) &&
              opened.dwVolumeSerialNumber == current.dwVolumeSerialNumber &&
              opened.nFileIndexHigh == current.nFileIndexHigh &&
              opened.nFileIndexLow == current.nFileIndexLow;
  CloseHandle(named);
  return same;
}

// Opens name for writing, creating it; locked and checked to be a disk file that still has
// this name. Returns 0, an error number, or -1 when it was renamed away meanwhile.
int OpenHandle(const char* name, HANDLE* handle) {
  *handle = CreateFileA(name, GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
  if (*handle == INVALID_HANDLE_VALUE) return SystemError();
  int result = 0;
  if (GetFileType(*handle) != FILE_TYPE_DISK) {
    result = kNotRegularFile;
  } else if (!Lock(*handle)) {
    result = SystemError();
  } else if (!StillNamed(*handle, name)) {
    result = -1;
  }
  if (result != 0) CloseHandle(*handle);
  return result;
}
}  // namespace

int OpenLocked(const char* name, File* file) {
  for (int attempt = 0; attempt < kReopenTries; ++attempt) {
    HANDLE handle;
    int error = OpenHandle(name, &handle);
    if (error == -1) continue;
    if (error != 0) return error;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND | _O_TEXT);
    if (fd < 0) {
      CloseHandle(handle);
      return LastError();
    }
    std::FILE* stream = _fdopen(fd, "at");
    if (stream == nullptr) {
      error = LastError();
      _close(fd);
      return error;
    }
    file->handle = reinterpret_cast<intptr_t>(stream);
    return 0;
  }
  return EAGAIN;
}

int WriteText(File file, const char* text, size_t length) {
  errno = 0;
  // Flushed at once, so a failure shows here, while the file can still be cut back.
  if (std::fwrite(text, 1, length, Stream(file)) != length || std::fflush(Stream(file)) != 0) {
    return LastError();
  }
  return 0;
}

int FileLength(File file, uint64_t* length) {
  errno = 0;
  long long bytes = _filelengthi64(_fileno(Stream(file)));
  if (bytes < 0) return LastError();
  *length = static_cast<uint64_t>(bytes);
  return 0;
}

int TruncateFile(File file, uint64_t length) {
  // What the stream still holds of a failed write must not land after the cut.
  std::fflush(Stream(file));
  HANDLE handle = Handle(Stream(file));
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(length);
  if (!SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) || !SetEndOfFile(handle)) {
    return SystemError();
  }
  return 0;
}

int CloseFile(File file) {
  errno = 0;
  int error = std::fflush(Stream(file)) == 0 ? 0 : LastError();
  OVERLAPPED whole{};
  UnlockFileEx(Handle(Stream(file)), 0, MAXDWORD, MAXDWORD, &whole);
  if (std::fclose(Stream(file)) != 0 && error == 0) error = LastError();
  return error;
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
