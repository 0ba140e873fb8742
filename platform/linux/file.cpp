// Files for the log on POSIX: plain descriptors, so nothing is allocated per use; flock on a
// lock file beside the log, which only its owner may open, is the lock between processes (a
// reader's lock on the log itself, shared or not, holds no writer up).
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
// How often a name that changes between the steps of its open is opened afresh.
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
// The lock file is its owner's alone: whoever may open it may take its lock.
constexpr mode_t kLockFileMode = 0600;

// Why the reopen through /proc just failed: without /proc there is no reopen at all.
int ReopenError() {
  int error = errno;
  struct stat procFds;
  return error == ENOENT && stat("/proc/self/fd", &procFds) != 0 ? kProcMissing : error;
}

// Opens name with access (O_WRONLY | O_APPEND, or O_RDONLY) without following a link at it:
// the name itself is opened without access first, and only what that found, once it is known
// to be a regular file, is reopened with access through its descriptor, so a FIFO or device
// swapped in meanwhile is never opened (a plain open would run theirs). A missing name is
// created with newMode, never through a link. Returns 0 with *fd, an error number,
// kNameChanged or kProcMissing.
int OpenRegularOnce(const char* name, int access, mode_t newMode, int* fd) {
  int pathFd = open(name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (pathFd < 0) {
    if (errno != ENOENT) return errno;
    // O_EXCL fails on any name there, a dangling link included: one made meanwhile is looked at.
    *fd = open(name, access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, newMode);
    if (*fd >= 0) return 0;
    return errno == EEXIST ? kNameChanged : errno;
  }
  struct stat found;
  int refusal = fstat(pathFd, &found) == 0 ? KindRefusal(found.st_mode) : errno;
  if (refusal != 0) return CloseAfter(pathFd, refusal);
  char reopen[32];
  std::snprintf(reopen, sizeof reopen, "/proc/self/fd/%d", pathFd);
  *fd = open(reopen, access | O_CLOEXEC | O_NOCTTY);
  return CloseAfter(pathFd, *fd >= 0 ? 0 : ReopenError());
}

// OpenRegularOnce, opened afresh while the name changes between its steps; then checked as
// Refusal says, with *status what was opened. Returns 0 with *fd, or an error.
int OpenRegular(const char* name, int access, mode_t newMode, int* fd, struct stat* status) {
  for (int attempt = 0; attempt < kReopenTries; ++attempt) {
    *fd = -1;
    int error = OpenRegularOnce(name, access, newMode, fd);
    if (error == kNameChanged) continue;
    if (error == 0) error = fstat(*fd, status) == 0 ? Refusal(*status) : errno;
    if (error != 0 && *fd >= 0) close(*fd);
    return error;
  }
  return EAGAIN;
}

// True for the refusals of what is at a name (as opposed to the system's errors).
bool IsRefusal(int error) {
  return error == EISDIR || error == kSymbolicLink || error == kNotRegularFile ||
         error == kForeignOwner || error == kSeveralLinks;
}

// Opens the lock file lockName, made when missing, and keeps it its owner's alone: a mode
// that lets anyone else in (widened by hand, or by an access list added later) is narrowed,
// which shuts out the users and groups an access list names as well. Returns 0 with *fd, an
// error number or kLockFileRefused.
int OpenLockFile(const char* lockName, int* fd) {
  struct stat status;
  int error = OpenRegular(lockName, O_RDONLY, kLockFileMode, fd, &status);
  if (IsRefusal(error)) return kLockFileRefused;
  if (error != 0 || (status.st_mode & 07777) == kLockFileMode || status.st_uid != geteuid()) {
    return error;
  }
  return fchmod(*fd, kLockFileMode) == 0 ? 0 : CloseAfter(*fd, errno);
}
}  // namespace

int OpenLocked(const char* name, const char* lockName, File* file) {
  int lockFd = -1;
  int error = OpenLockFile(lockName, &lockFd);
  if (error != 0) return error;
  error = LockBefore(lockFd, MonotonicMs() + kLockWaitMs);
  if (error != 0) return CloseAfter(lockFd, error);
  // Under the lock no other writer rotates the log: what the name holds now stays there.
  int fd = -1;
  struct stat opened;
  error = OpenRegular(name, O_WRONLY | O_APPEND, kNewLogMode, &fd, &opened);
  if (error != 0) return CloseAfter(lockFd, error);
  file->handle = fd;
  file->lockHandle = lockFd;
  file->lockedLength = static_cast<uint64_t>(opened.st_size);
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

size_t WrittenLength(const char*, size_t length) {
  return length;
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
  // Linux frees a descriptor even when its close fails, so neither is retried. The lock goes
  // with the lock file's descriptor, once the log's is closed.
  int result = close(Descriptor(file)) == 0 ? 0 : errno;
  close(static_cast<int>(file.lockHandle));
  return result;
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
