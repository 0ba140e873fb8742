// The bare receiver: the least a trace monitor must do per message over libcapi20 (wait, take,
// then open the log without following a link, append, measure and close it), as the
// benchmark's speed limit.
//
//   bare_receiver COUNT   (in the folder whose LINKSPY.LOG it writes; HOME holds .capi20rc)
//
// It switches one decoder on with a firmware command and ends once the flood text numbered
// COUNT has been logged. Exit status 0, or 1 when the library fails.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using RegisterFn = unsigned (*)(unsigned, unsigned, unsigned, unsigned*);
using ApplFn = unsigned (*)(unsigned);
using InstalledFn = unsigned (*)();
using PutFn = unsigned (*)(unsigned, unsigned char*);
using GetFn = unsigned (*)(unsigned, unsigned char**);
using WaitFn = unsigned (*)(unsigned, void*);
using FilenoFn = int (*)(unsigned);

constexpr const char* kLog = "LINKSPY.LOG";
constexpr const char* kBackup = "LINKSPY.BAK";
constexpr off_t kRotateAbove = 500 * 1024;

template <typename Fn>
Fn Symbol(void* library, const char* name) {
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) {
    std::fprintf(stderr, "bare_receiver: %s missing\n", name);
    std::exit(1);
  }
  Fn fn;
  std::memcpy(&fn, &symbol, sizeof fn);
  return fn;
}

// Opens the log for appending as linkspy's log writer does: the name without following it,
// then only a regular file reopened through that descriptor; created without following.
int OpenLog() {
  int pathFd = open(kLog, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (pathFd < 0) {
    return open(kLog, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
  }
  struct stat found {};
  int fd = -1;
  if (fstat(pathFd, &found) == 0 && S_ISREG(found.st_mode)) {
    char reopen[32];
    std::snprintf(reopen, sizeof reopen, "/proc/self/fd/%d", pathFd);
    fd = open(reopen, O_WRONLY | O_APPEND | O_CLOEXEC);
  }
  close(pathFd);
  return fd;
}

// Appends one line to the log, measures it and rotates it like linkspy's log writer.
void LogLine(const char* line, size_t length) {
  int fd = OpenLog();
  if (fd < 0) return;
  ssize_t written = write(fd, line, length);
  (void)written;
  struct stat status {};
  bool rotate = fstat(fd, &status) == 0 && status.st_size > kRotateAbove;
  close(fd);
  if (rotate) {
    unlink(kBackup);
    rename(kLog, kBackup);
  }
}

// The flood number of a "... FLOOD 000123 ..." text, or 0.
long FloodNumber(const char* text) {
  const char* at = std::strstr(text, "FLOOD ");
  return at != nullptr ? std::strtol(at + 6, nullptr, 10) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  long count = argc > 1 ? std::atol(argv[1]) : 0;
  void* library = dlopen("libcapi20.so.3", RTLD_NOW);
  if (library == nullptr) return 1;
  auto isInstalled = Symbol<InstalledFn>(library, "capi20_isinstalled");
  auto registerApplication = Symbol<RegisterFn>(library, "capi20_register");
  auto release = Symbol<ApplFn>(library, "capi20_release");
  auto put = Symbol<PutFn>(library, "capi20_put_message");
  auto get = Symbol<GetFn>(library, "capi20_get_message");
  auto wait = Symbol<WaitFn>(library, "capi20_waitformessage");
  auto fileNumber = Symbol<FilenoFn>(library, "capi20_fileno");

  unsigned applId = 0;
  if (isInstalled() != 0 || registerApplication(1, 10, 130, &applId) != 0) return 1;
  // The library's remote module must see both length bytes of a frame at once, or it loses
  // the stream under load; the receive buffer is the one linkspy uses.
  int fd = fileNumber(applId);
  int lowWater = 2;
  int buffer = 4 * 1024 * 1024;
  setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &lowWater, sizeof lowWater);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  }

  // DEBUG_REQ to controller 1: firmware command "cmt l2" switches a decoder on.
  const char command[] = "cmt l2";
  unsigned char request[64] = {};
  size_t payload = sizeof command + 1;  // form byte, text, NUL
  size_t total = 11 + payload;
  request[0] = static_cast<unsigned char>(total);
  request[2] = static_cast<unsigned char>(applId);
  request[4] = 0x19;
  request[8] = 1;
  request[9] = 1;
  request[10] = static_cast<unsigned char>(payload);
  request[11] = 0x02;
  std::memcpy(request + 12, command, sizeof command);
  if (put(applId, request) != 0) return 1;

  char line[260];
  for (;;) {
    if ((wait(applId, nullptr) & 0xFFFF) != 0) return 1;
    unsigned char* message = nullptr;
    unsigned result = get(applId, &message);
    if ((result & 0xFFFF) == 0x1104) continue;
    if ((result & 0xFFFF) != 0) return 1;
    if (message[4] != 0x19 || message[5] != 0x02 || message[9] == 0) continue;
    size_t length = message[10];
    std::memcpy(line, message + 13, length);
    line[length] = '\n';
    line[length + 1] = '\0';
    LogLine(line, length + 1);
    if (count > 0 && FloodNumber(line) == count) break;
  }
  release(applId);
  return 0;
}
