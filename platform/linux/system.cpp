// Process services on Linux: computer name, local time, sleeping, termination signals.
#include "platform/system.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/console.h"
#include "platform/linux/process_signals.h"

namespace platform {

namespace {
std::atomic<int> terminationSignal{0};
// Self-pipe: the read end wakes blocked key and line reads when a signal arrives.
std::atomic<int> wakeReadFd{-1};
std::atomic<int> wakeWriteFd{-1};

// Notes the request and makes the wake-up descriptor readable; async-signal-safe.
void NoteTermination(int signalNumber) {
  int savedErrno = errno;
  terminationSignal.store(signalNumber);
  int fd = wakeWriteFd.load();
  if (fd >= 0) {
    ssize_t ignored = write(fd, "x", 1);
    (void)ignored;
  }
  errno = savedErrno;
}

// Creates the self-pipe once; both ends non-blocking and closed on exec.
void OpenWakePipe() {
  if (wakeReadFd.load() >= 0) return;
  int ends[2];
  if (pipe(ends) != 0) return;
  for (int fd : ends) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  wakeWriteFd.store(ends[1]);
  wakeReadFd.store(ends[0]);
}
}  // namespace

int TerminationWakeFd() {
  return wakeReadFd.load();
}

void RequestTermination() {
  NoteTermination(SIGINT);
}

// The terminal is given back by ConsoleClose on every exit; the signals only set the flag, so
// the program ends through its own shutdown.
void StartProcess() {
  OpenWakePipe();
  struct sigaction action {};
  action.sa_handler = NoteTermination;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  std::atexit(ConsoleClose);
}

void ReadComputerName(char* name, size_t size) {
  if (size == 0) return;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  size_t length = std::strlen(host);
  if (length > 15) length = 15;
  if (length > size - 1) length = size - 1;
  std::memcpy(name, host, length);
  name[length] = '\0';
}

std::tm LocalTimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm fields{};
  localtime_r(&now, &fields);
  return fields;
}

void SleepMs(int ms) {
  if (ms <= 0) return;
  timespec pause{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

const char* EnvironmentValue(const char* name) {
  return std::getenv(name);
}

bool TerminationRequested() {
  return terminationSignal.load() != 0;
}

}  // namespace platform
