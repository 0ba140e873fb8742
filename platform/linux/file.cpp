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

// Closes fd and passes on the result of the step before (an error number, or 0).
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

// True when name itself (not what a link there points to) still is the file opened as
// opened, that is, it was not rotated away meanwhile.
bool StillNamed(const struct stat& opened, const char* name) {
  struct stat named;
  return lstat(name, &named) == 0 && named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

// Why a name of this kind is never opened for writing, or 0. A folder says so in the
// system's own words.
int KindRefusal(mode_t mode) {
  if (S_ISLNK(mode)) return kSymbolicLink;
  if (S_ISDIR(mode)) return EISDIR;
  return S_ISREG(mode) ? 0 : kNotRegularFile;
}

// Why this file is not written as the log, or 0: only a regular file of this user's or
// root's with no other name, so that no one else can plant it to read the traces and it is
// no one else's file reached through a second name.
int Refusal(const struct stat& status) {
  int refusal = KindRefusal(status.st_mode);
  if (refusal != 0) return refusal;
  if (status.st_uid != geteuid() && status.st_uid != 0) return kForeignOwner;
  return status.st_nlink > 1 ? kSeveralLinks : 0;
}

// The name was created or replaced between two steps of an open; it is opened afresh.
constexpr int kNameChanged = -1;
// A log created here is readable by its owner and group only: traces hold telephone numbers.
constexpr mode_t kNewLogMode = 0640;

// Opens name for appending without following a link at it: the name itself is opened without
// access first, and only what that found, once it is known to be a regular file, is reopened
// for writing through its descriptor, so a FIFO or device swapped in meanwhile is never
// opened. A missing name is created, never through a link. Returns 0 with *fd, an error
// number, or kNameChanged.
int OpenAppending(const char* name, int* fd) {
  int pathFd = open(name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (pathFd < 0) {
    if (errno != ENOENT) return errno;
    // O_EXCL fails on any name there, a dangling link included: one made meanwhile is looked at.
    *fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
               kNewLogMode);
    if (*fd >= 0) return 0;
    return errno == EEXIST ? kNameChanged : errno;
  }
  struct stat found;
  int refusal = fstat(pathFd, &found) == 0 ? KindRefusal(found.st_mode) : errno;
  if (refusal != 0) return CloseAfter(pathFd, refusal);
  char reopen[32];
  std::snprintf(reopen, sizeof reopen, "/proc/self/fd/%d", pathFd);
  *fd = open(reopen, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
  return CloseAfter(pathFd, *fd >= 0 ? 0 : errno);
}
}  // namespace

int OpenLocked(const char* name, File* file) {
  // One bound for every attempt: a file renamed away meanwhile does not start the wait anew.
  int64_t deadline = MonotonicMs() + kLockWaitMs;
  for (int attempt = 0; attempt < kReopenTries; ++attempt) {
    int fd = -1;
    int openError = OpenAppending(name, &fd);
    if (openError == kNameChanged) continue;
    if (openError != 0) return openError;
    int lockError = LockBefore(fd, deadline);
    if (lockError != 0) return CloseAfter(fd, lockError);
    // Owner and links are judged under the lock: a rotation (by the lock's holder) that
    // renames by a second link is over then.
    struct stat opened;
    int refusal = fstat(fd, &opened) == 0 ? Refusal(opened) : errno;
    if (refusal != 0) return CloseAfter(fd, refusal);
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
