// Process services on Linux: computer name, local time, sleeping, signals.
#include "platform/system.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>

#include "platform/console.h"

namespace platform {

// Linux text files keep line ends unchanged.
const char* const kAppendTextMode = "a";

namespace {
std::atomic<int> terminationSignal{0};

void NoteTermination(int signalNumber) { terminationSignal.store(signalNumber); }
}  // namespace

void StartProcess() {
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
  timespec pause{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0) {
  }
}

bool TerminationRequested() { return terminationSignal.load() != 0; }

}  // namespace platform
