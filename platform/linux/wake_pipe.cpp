// Wake-up pipes shared by the termination request, the terminal painter and the capture of
// standard error.
#include "platform/linux/wake_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

bool OpenWakePipe(int (&ends)[2]) {
  return pipe2(ends, O_NONBLOCK | O_CLOEXEC) == 0;
}

void WakeThrough(int writeFd) {
  if (writeFd < 0) return;
  int savedErrno = errno;
  ssize_t ignored = write(writeFd, "x", 1);
  (void)ignored;
  errno = savedErrno;
}

}  // namespace platform
