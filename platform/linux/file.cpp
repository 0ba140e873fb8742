// Files for the log on POSIX: plain descriptors, so nothing is allocated per use; flock on
// the log itself is the lock between processes.
#include "platform/file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/linux/monotonic_clock.h"

namespace platform {

namespace {
// How often a file renamed away while its lock was awaited is opened afresh.
constexpr int kReopenTries = 16;
// How often a blocking wait for the lock looks at its deadline.
constexpr long kLockSliceMs = 50;

// The descriptor kept in a file handle.
int Descriptor(File file) {
  return static_cast<int>(file.handle);
}

// Closes fd after a failure and passes the failure's error number on.
int CloseAfter(int fd, int error) {
  close(fd);
  return error;
}

// The signal that cuts a blocking wait for the lock into slices: its handler does nothing and
// is installed without SA_RESTART, so the waiting flock returns EINTR when it comes.
int LockSliceSignal() {
  return SIGRTMIN + 1;
}
void EndLockSlice(int) {}

// Installs the slice signal's handler once.
void CatchLockSliceSignal() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_handler = EndLockSlice;
    sigemptyset(&action.sa_mask);
    sigaction(LockSliceSignal(), &action, nullptr);
  });
}

// Takes the lock on fd, waiting until the deadline (monotonic ms) at most. The wait blocks in
// the kernel, so the waiter has the lock the moment its holder lets go, however busy the
// holder is; a timer that signals this thread every slice lets it look at the deadline.
// Returns 0, an error number or kLockedElsewhere.
int LockBefore(int fd, int64_t deadline) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
  if (errno != EWOULDBLOCK) return errno;
  if (MonotonicMs() >= deadline) return kLockedElsewhere;
  CatchLockSliceSignal();
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = LockSliceSignal();
  event._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
  timer_t timer;
  if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) return errno;
  itimerspec slices{};
  slices.it_value.tv_nsec = kLockSliceMs * 1000000L;
  slices.it_interval = slices.it_value;
  timer_settime(timer, 0, &slices, nullptr);
  int result = 0;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      result = errno;
      break;
    }
    if (MonotonicMs() >= deadline) {
      result = kLockedElsewhere;
      break;
    }
  }
  // A slice signal still pending goes with the timer.
  timer_delete(timer);
  return result;
}

// True when name still points to the file opened as opened (not rotated away meanwhile).
bool StillNamed(const struct stat& opened, const char* name) {
  struct stat named;
  return stat(name, &named) == 0 && named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}
}  // namespace

int OpenLocked(const char* name, File* file) {
  // One bound for every attempt: a file renamed away meanwhile does not start the wait anew.
  int64_t deadline = MonotonicMs() + kLockWaitMs;
  for (int attempt = 0; attempt < kReopenTries; ++attempt) {
    // Non-blocking: a FIFO without a reader fails at once (ENXIO) instead of waiting for one.
    int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd < 0) return errno == ENXIO ? kNotRegularFile : errno;
    int lockError = LockBefore(fd, deadline);
    if (lockError != 0) return CloseAfter(fd, lockError);
    struct stat opened;
    if (fstat(fd, &opened) != 0) return CloseAfter(fd, errno);
    if (!S_ISREG(opened.st_mode)) return CloseAfter(fd, kNotRegularFile);
    if (StillNamed(opened, name)) {
      file->handle = fd;
      file->lockedLength = static_cast<uint64_t>(opened.st_size);
      return 0;
    }
    close(fd);
  }
  return EAGAIN;
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
  *length = file.lockedLength;
  return 0;
}

int TruncateFile(File file, uint64_t length) {
  while (ftruncate(Descriptor(file), static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

int CloseFile(File file) {
  // The lock goes with the last descriptor. Linux frees the descriptor even when close fails, so it
  // is never retried.
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
