// The whole-frame receive guard (see frame_guard.h): peeks at the front of the remote module's
// socket, and waits on it with a low-water mark, so that the library reads only whole frames.
#include "platform/linux/frame_guard.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>

#include "capi/records/result_codes.h"
#include "platform/linux/console_input.h"
#include "platform/linux/monotonic_clock.h"
#include "platform/linux/process_signals.h"

namespace platform {

namespace {
// Large enough that a partly received frame never closes the TCP window on itself.
constexpr int kGuardReceiveBuffer = 4 * 1024 * 1024;
// Pause after a wake-up that brought nothing new (the kernel may report a socket readable
// below its low-water mark under memory pressure), so such a state cannot spin.
constexpr int kIdleWakePauseMs = 2;

// The receive guard of the registered application. fd is -1 when there is none (no remote
// socket); the rest is used only by the thread that takes messages.
struct FrameGuard {
  std::atomic<int> fd{-1};
  std::atomic<int> lowWater{1};
  std::atomic<uint32_t> discardRemaining{0};
  // A copy of the socket's front as last peeked, from the library's read position on: the
  // frames wholly inside it are known to be queued, so a flood costs one peek for many
  // frames instead of one for each.
  unsigned char front[kLongestFrame];
  int frontLength = 0;
  int frontPosition = 0;
  // The last peek found fewer bytes than it could hold: the socket held the front and no more.
  bool frontHeldAll = false;
} guard;

// What the socket holds at the front.
enum class FrameState {
  kWhole,       // a whole frame the library may read
  kRefused,     // a frame the library must never see (its length is impossible)
  kLost,        // end of the connection, a socket error, or framing lost: nothing more comes
  kIncomplete,  // nothing or part of a frame so far
};

struct SocketView {
  FrameState state;
  int frameLength;  // kWhole, kRefused, kIncomplete: the announced length (0 when not known)
  int queued;       // bytes of the frame queued in the socket
  int needed;       // kIncomplete: bytes that must be queued before anything changes
};

// Reads and drops what is queued of the bytes still to discard; true once none remain.
bool DiscardQueued(int fd) {
  static unsigned char scratch[kLongestFrame];
  uint32_t remaining = guard.discardRemaining.load(std::memory_order_relaxed);
  while (remaining > 0) {
    size_t chunk = remaining < sizeof scratch ? remaining : sizeof scratch;
    ssize_t n = recv(fd, scratch, chunk, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // End of the connection or a broken socket: nothing more will come to discard.
    remaining = n > 0 ? remaining - static_cast<uint32_t>(n) : 0;
  }
  guard.discardRemaining.store(remaining, std::memory_order_relaxed);
  return remaining == 0;
}

// Forgets the peeked front: something other than a whole frame left the socket.
void ForgetFront() {
  guard.frontLength = 0;
  guard.frontPosition = 0;
  guard.frontHeldAll = false;
}

// True when every byte the socket held at the last peek has been taken: a look before the next
// wait could only find what arrived since, which the wait itself reports.
bool FrontTakenUp() {
  return guard.frontHeldAll && guard.frontPosition == guard.frontLength;
}

// Drops the first bytes of the socket, as far as they are queued now and the rest as they come.
void DropFront(int fd, int bytes) {
  ForgetFront();
  guard.discardRemaining.store(static_cast<uint32_t>(bytes), std::memory_order_relaxed);
  DiscardQueued(fd);
}

// What the peeked front says of its first frame.
SocketView ViewOfFront() {
  int available = guard.frontLength - guard.frontPosition;
  const unsigned char* head = guard.front + guard.frontPosition;
  if (available < kLengthFieldSize)
    return {FrameState::kIncomplete, 0, available, kLengthFieldSize};
  int frameLength = (head[0] << 8) | head[1];
  // A length below that of the length field itself cannot be skipped: the stream's framing is
  // lost, and every later byte would be read as the wrong thing. It stays at the front, so
  // every later look reports the same.
  if (frameLength < kLengthFieldSize) return {FrameState::kLost, frameLength, available, 0};
  if (frameLength < kShortestFrame || frameLength > kLongestFrame) {
    return {FrameState::kRefused, frameLength, available, 0};
  }
  if (available >= frameLength) return {FrameState::kWhole, frameLength, frameLength, 0};
  return {FrameState::kIncomplete, frameLength, available, frameLength};
}

// Looks at the front of the socket without taking anything the library is to read. A frame
// is at most as long as the peek, so a peek that holds less than the frame means the socket
// holds less.
SocketView InspectSocket(int fd) {
  SocketView known = ViewOfFront();
  if (known.state == FrameState::kWhole) return known;
  ForgetFront();
  if (!DiscardQueued(fd)) return {FrameState::kIncomplete, 0, 0, 1};
  ssize_t n;
  do {
    n = recv(fd, guard.front, sizeof guard.front, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    return {FrameState::kIncomplete, 0, 0, kLengthFieldSize};
  }
  if (n <= 0) return {FrameState::kLost, 0, 0, 0};
  guard.frontLength = static_cast<int>(n);
  guard.frontHeldAll = guard.frontLength < static_cast<int>(sizeof guard.front);
  return ViewOfFront();
}

// Makes poll report the socket readable only once bytes are queued.
void SetLowWater(int fd, int bytes) {
  if (guard.lowWater.load(std::memory_order_relaxed) == bytes) return;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes) == 0) {
    guard.lowWater.store(bytes, std::memory_order_relaxed);
  }
}
}  // namespace

void GuardConnection(int fd) {
  if (fd < 0) return;
  int type = 0;
  socklen_t size = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM) return;
  int bytes = kGuardReceiveBuffer;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
  guard.lowWater.store(1, std::memory_order_relaxed);
  guard.discardRemaining.store(0, std::memory_order_relaxed);
  ForgetFront();
  SetLowWater(fd, kLengthFieldSize);
  guard.fd.store(fd);
}

void UnguardConnection() {
  guard.fd.store(-1);
}

int GuardedSocket() {
  return guard.fd.load();
}

uint32_t WaitForWholeFrame(int fd, std::mutex& socketLock, int timeoutMs) {
  int64_t deadline = timeoutMs >= 0 ? MonotonicMs() + timeoutMs : 0;
  bool peerClosed = false;
  int queuedBefore = -1;
  // After a pass that took all the last peek saw, the first look is the wait itself: the
  // low-water mark is a length field's then, so anything that has arrived ends it at once.
  bool look = !FrontTakenUp();
  for (;; look = true) {
    int queued = 0;
    {
      std::lock_guard<std::mutex> hold(socketLock);
      // Once the guard is off, the descriptor may already name another file.
      if (guard.fd.load() != fd) return capi::kIllegalApplication;
      if (look) {
        SocketView view = InspectSocket(fd);
        if (view.state != FrameState::kIncomplete) return 0;
        if (peerClosed) {
          // The rest of this frame will never come: drop the fragment, so the library's next
          // read meets the end of the connection and reports it.
          DropFront(fd, view.queued);
          return 0;
        }
        SetLowWater(fd, view.needed);
        queued = view.queued;
      }
    }
    if (queued == queuedBefore) poll(nullptr, 0, kIdleWakePauseMs);
    queuedBefore = queued;
    int waitMs = -1;
    if (timeoutMs >= 0) {
      int64_t left = deadline - MonotonicMs();
      if (left <= 0) return capi::kQueueEmpty;
      waitMs = static_cast<int>(left);
    }
    // A bounded wait (a start-up query) gives up at once when the program is to end, and when
    // Ctrl-C or Ctrl-X is typed at the terminal.
    bool bounded = timeoutMs >= 0;
    pollfd watch[3] = {{fd, static_cast<short>(POLLIN | POLLRDHUP), 0},
                       {bounded ? TerminationWakeFd() : -1, POLLIN, 0},
                       {bounded ? StartupKeysFd() : -1, POLLIN, 0}};
    int ready = poll(watch, 3, waitMs);
    // The take that follows looks at the socket afresh and finds out what is wrong with it.
    if ((ready < 0 && errno != EINTR) || (ready > 0 && (watch[0].revents & POLLNVAL) != 0)) {
      ForgetFront();
      return 0;
    }
    if (ready == 0 || (watch[1].revents != 0 && WakeIsTermination())) return capi::kQueueEmpty;
    if (watch[2].revents != 0 && TakeStartupKeys()) return capi::kQueueEmpty;
    if (ready > 0 && (watch[0].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) peerClosed = true;
  }
}

bool FrameQueued() {
  if (guard.frontLength == 0) return false;
  return ViewOfFront().state != FrameState::kIncomplete || !guard.frontHeldAll;
}

uint32_t TakeWholeFrame(int fd, uint32_t applId, const uint8_t** message, LibraryTake take) {
  SocketView view = InspectSocket(fd);
  if (view.state == FrameState::kIncomplete) return capi::kQueueEmpty;
  if (view.state == FrameState::kLost) return capi::kProviderLinkLost;
  if (view.state == FrameState::kRefused) {
    DropFront(fd, view.frameLength);
    return capi::kOsResourceError;
  }
  // A whole frame. A low-water mark left from waiting for a longer one must not hold it up.
  SetLowWater(fd, kLengthFieldSize);
  uint32_t result = take(applId, message, static_cast<size_t>(view.frameLength - kLengthFieldSize));
  // The library reads a whole frame exactly, and the peeked front moves past it; after
  // anything else the front is unknown.
  if ((result & 0xFFFF) == 0) {
    guard.frontPosition += view.frameLength;
  } else {
    ForgetFront();
  }
  return result;
}

}  // namespace platform
