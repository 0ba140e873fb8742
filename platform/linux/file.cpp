// Files for the log on POSIX: plain descriptors, so nothing is allocated per use.
#include "platform/file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform {

namespace {
// The descriptor kept in a file handle.
int Descriptor(File file) {
  return static_cast<int>(file.handle);
}
}  // namespace

int OpenAppend(const char* name, File* file) {
  int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  file->handle = fd;
  return 0;
}

int WriteText(File file, const char* text, size_t length) {
  while (length > 0) {
    ssize_t written = write(Descriptor(file), text, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    text += written;
    length -= static_cast<size_t>(written);
  }
  return 0;
}

int FileLength(File file, uint64_t* length) {
  struct stat status;
  if (fstat(Descriptor(file), &status) != 0) return errno;
  // A device or pipe has no length to check against.
  if (S_ISDIR(status.st_mode)) return EISDIR;
  if (!S_ISREG(status.st_mode)) return EOPNOTSUPP;
  *length = static_cast<uint64_t>(status.st_size);
  return 0;
}

int CloseFile(File file) {
  // Linux frees the descriptor even when close fails, so it is never retried.
  return close(Descriptor(file)) == 0 ? 0 : errno;
}

bool NameExists(const char* name) {
  struct stat status;
  return lstat(name, &status) == 0;
}

int RemoveName(const char* name) {
  return std::remove(name) == 0 ? 0 : errno;
}

int RenameNoReplace(const char* from, const char* to) {
  if (syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != ENOSYS && errno != EINVAL) return errno;
  // Kernel or file system without renameat2: a new link never replaces either.
  if (link(from, to) != 0) return errno;
  if (unlink(from) != 0) {
    int error = errno;
    unlink(to);
    return error;
  }
  return 0;
}

}  // namespace platform
