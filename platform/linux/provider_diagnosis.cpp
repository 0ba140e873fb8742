// Why libcapi20 could not be used: the configuration file it reads, its REMOTE line, and a
// short TCP connection attempt to the server that line names.
#include "platform/linux/provider_diagnosis.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/journal_stream.h"

namespace platform {

namespace {

constexpr const char* kUserConfiguration = ".capi20rc";
constexpr const char* kSystemConfiguration = "/etc/capi20.conf";
constexpr const char* kKernelDevice = "/dev/capi20";
constexpr const char* kDefaultPort = "2662";
// Long enough for a server on the local network, short enough not to hold up the end.
constexpr int kProbeWaitMs = 2000;
constexpr size_t kWordSize = 256;

// The REMOTE line's server: host and port, empty when the line names none.
struct RemoteServer {
  bool present;
  char host[kWordSize];
  char port[kWordSize];
};

// Copies the next blank-separated word of *text into word and moves past it; false at the end.
bool NextWord(const char** text, char (&word)[kWordSize]) {
  const char* p = *text;
  while (*p == ' ' || *p == '\t') ++p;
  size_t length = std::strcspn(p, " \t\r\n#");
  if (length == 0) return false;
  std::snprintf(word, sizeof word, "%.*s", static_cast<int>(length), p);
  *text = p + length;
  return true;
}

// Reads the file's REMOTE line ("REMOTE module host port"), the last one if there are several.
RemoteServer FindRemoteLine(FILE* file) {
  RemoteServer remote{};
  char line[1024];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    const char* rest = line;
    char word[kWordSize];
    if (!NextWord(&rest, word) || strcasecmp(word, "REMOTE") != 0) continue;
    char module[kWordSize];
    remote = RemoteServer{};
    remote.present = true;
    if (!NextWord(&rest, module) || !NextWord(&rest, remote.host)) continue;
    if (!NextWord(&rest, remote.port)) std::snprintf(remote.port, kWordSize, "%s", kDefaultPort);
  }
  return remote;
}

// How a TCP connection to host and port fares, as a short text.
const char* ProbeServer(const char* host, const char* port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, port, &hints, &found) != 0 || found == nullptr) {
    return "the host name or port cannot be resolved";
  }
  int fd = socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                  found->ai_protocol);
  int error = fd < 0 ? errno : 0;
  if (fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) != 0) error = errno;
  freeaddrinfo(found);
  if (error == EINPROGRESS) {
    pollfd watch{fd, POLLOUT, 0};
    int ready;
    do {
      ready = poll(&watch, 1, kProbeWaitMs);
    } while (ready < 0 && errno == EINTR);
    socklen_t size = sizeof error;
    if (ready <= 0) {
      error = ETIMEDOUT;
    } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
      error = errno;
    }
  }
  if (fd >= 0) close(fd);
  if (error == 0) return "a TCP connection to it works";
  if (error == ECONNREFUSED) return "a TCP connection to it was refused";
  if (error == ETIMEDOUT) return "a TCP connection to it timed out (2 s)";
  return std::strerror(error);
}

// The kernel's CAPI device, which the library uses without a REMOTE line.
const char* KernelDeviceState() {
  return access(kKernelDevice, F_OK) == 0 ? "/dev/capi20 is there" : "/dev/capi20 is missing";
}

}  // namespace

void DescribeProviderSetup(int unansweredMs) {
  char tail[64] = "";
  if (unansweredMs > 0) {
    std::snprintf(tail, sizeof tail, "; the provider gave no answer within %d s",
                  unansweredMs / 1000);
  }
  char userPath[1024] = "";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    std::snprintf(userPath, sizeof userPath, "%s/%s", home, kUserConfiguration);
  }
  const char* path = userPath;
  FILE* file = userPath[0] != '\0' ? std::fopen(userPath, "r") : nullptr;
  if (file == nullptr) {
    path = kSystemConfiguration;
    file = std::fopen(path, "r");
  }
  if (file == nullptr) {
    PrintToStderr(Severity::kError,
                  "LINKSPY: libcapi20 finds no configuration (neither %s nor %s), so it looks for "
                  "the kernel's CAPI device: %s%s\n",
                  userPath[0] != '\0' ? userPath : "$HOME/.capi20rc", kSystemConfiguration,
                  KernelDeviceState(), tail);
    return;
  }
  RemoteServer remote = FindRemoteLine(file);
  std::fclose(file);
  if (!remote.present) {
    PrintToStderr(Severity::kError,
                  "LINKSPY: libcapi20 reads %s, which has no REMOTE line, so it looks for the "
                  "kernel's CAPI device: %s%s\n",
                  path, KernelDeviceState(), tail);
  } else if (remote.host[0] == '\0') {
    PrintToStderr(Severity::kError,
                  "LINKSPY: libcapi20 reads %s, whose REMOTE line names no server%s\n", path, tail);
  } else {
    PrintToStderr(Severity::kError,
                  "LINKSPY: libcapi20 reads %s, whose REMOTE line names %s port %s: %s%s\n", path,
                  remote.host, remote.port, ProbeServer(remote.host, remote.port), tail);
  }
}

}  // namespace platform
