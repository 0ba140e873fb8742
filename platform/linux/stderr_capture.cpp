// Capture of standard error while the screen is painted: what libraries write there is
// shown at the cursor like stream text instead of tearing the screen.
#include "platform/linux/stderr_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>

#include "platform/console.h"
#include "platform/linux/wake_pipe.h"

namespace platform {

namespace {

int savedStderr = -1;
int captureRead = -1;
int stopFds[2] = {-1, -1};
pthread_t readerThread;
bool capturing = false;

// Moves what is readable on the capture pipe to the screen; false at its end.
bool ForwardCaptured() {
  char buffer[512];
  ssize_t n = read(captureRead, buffer, sizeof buffer);
  if (n > 0) {
    StreamWrite(buffer, static_cast<size_t>(n), Severity::kWarning);
    return true;
  }
  return n < 0 && (errno == EINTR || errno == EAGAIN);
}

// Forwards until the pipe ends or the stop comes; at the stop, takes what is still there.
void* RunReader(void*) {
  for (;;) {
    pollfd watched[2] = {{captureRead, POLLIN, 0}, {stopFds[0], POLLIN, 0}};
    if (poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (watched[0].revents != 0) {
      if (!ForwardCaptured()) break;
      continue;
    }
    if (watched[1].revents != 0) {
      fcntl(captureRead, F_SETFL, O_NONBLOCK);
      char buffer[512];
      ssize_t n;
      while ((n = read(captureRead, buffer, sizeof buffer)) > 0) {
        StreamWrite(buffer, static_cast<size_t>(n), Severity::kWarning);
      }
      break;
    }
  }
  return nullptr;
}

}  // namespace

void CaptureStderr() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return;
  if (!OpenWakePipe(stopFds)) {
    close(ends[0]);
    close(ends[1]);
    return;
  }
  std::fflush(stderr);
  savedStderr = fcntl(2, F_DUPFD_CLOEXEC, 3);
  captureRead = ends[0];
  if (savedStderr < 0 || dup2(ends[1], 2) < 0 ||
      pthread_create(&readerThread, nullptr, RunReader, nullptr) != 0) {
    if (savedStderr >= 0) dup2(savedStderr, 2);
    for (int fd : {ends[0], ends[1], stopFds[0], stopFds[1], savedStderr}) {
      if (fd >= 0) close(fd);
    }
    savedStderr = -1;
    return;
  }
  close(ends[1]);
  capturing = true;
}

// Puts the original standard error back; what was written before that still reaches the
// screen.
void ReleaseStderr() {
  if (!capturing) return;
  capturing = false;
  std::fflush(stderr);
  dup2(savedStderr, 2);
  close(savedStderr);
  WakeThrough(stopFds[1]);
  pthread_join(readerThread, nullptr);
  for (int fd : {captureRead, stopFds[0], stopFds[1]}) close(fd);
}

}  // namespace platform
