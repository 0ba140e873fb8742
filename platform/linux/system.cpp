// Process services on Linux: the standard descriptors, computer name, local time, sleeping,
// termination signals.
#include "platform/system.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/linux/process_signals.h"
#include "platform/linux/wake_pipe.h"

namespace platform {

namespace {
std::atomic<int> terminationSignal{0};
// Self-pipe: the read end wakes blocked key and line reads when a signal arrives.
std::atomic<int> wakeReadFd{-1};
std::atomic<int> wakeWriteFd{-1};

// Notes the request and makes the wake-up descriptor readable; async-signal-safe.
void NoteTermination(int signalNumber) {
  terminationSignal.store(signalNumber);
  WakeThrough(wakeWriteFd.load());
}

// Opens the null device on each of the standard descriptors 0, 1 and 2 that is closed (for
// reading on 0, writing on 1 and 2), as daemons do. Otherwise the next descriptor the program
// opens would take the closed one's number: output would go into it and input come from it.
void OpenClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number, fd itself: every lower one is open by now.
    open("/dev/null", (fd == 0 ? O_RDONLY : O_WRONLY) | O_NOCTTY);
  }
}

// Creates the self-pipe once.
void OpenTerminationPipe() {
  if (wakeReadFd.load() >= 0) return;
  int ends[2];
  if (!OpenWakePipe(ends)) return;
  wakeWriteFd.store(ends[1]);
  wakeReadFd.store(ends[0]);
}
}  // namespace

int TerminationWakeFd() {
  return wakeReadFd.load();
}

bool WakeIsTermination() {
  if (TerminationRequested()) return true;
  char bytes[64];
  while (read(wakeReadFd.load(), bytes, sizeof bytes) > 0) {
  }
  // A request that came meanwhile may have had its byte read away: it is made readable again.
  if (!TerminationRequested()) return false;
  WakeThrough(wakeWriteFd.load());
  return true;
}

void RequestTermination() {
  NoteTermination(SIGINT);
}

// The signals only set the flag, so the program ends through its own shutdown, which gives
// the terminal back.
void StartProcess() {
  OpenClosedStandardDescriptors();
  OpenTerminationPipe();
  struct sigaction action {};
  action.sa_handler = NoteTermination;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
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
