// The CAPI 2.0 provider on Linux: libcapi20 loaded with dlopen, its calls adapted to the
// CAPI 2.0 entry points, and a receive guard on the remote module's socket that hands the
// library only frames already whole in the socket.
#include "platform/provider_library.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "capi/vendor_messages.h"
#include "platform/console.h"
#include "platform/linux/console_state.h"
#include "platform/linux/process_signals.h"
#include "platform/linux/provider_diagnosis.h"
#include "platform/system.h"

namespace platform {

namespace {
// libcapi20's calls (Linux names, C linkage).
using LinuxRegisterFn = unsigned (*)(unsigned maxLogicalConnection, unsigned maxBDataBlocks,
                                     unsigned maxBDataLen, unsigned* applId);
using LinuxReleaseFn = unsigned (*)(unsigned applId);
using LinuxInfoFn = unsigned char* (*)(unsigned controller, unsigned char* buffer);
using LinuxProfileFn = unsigned (*)(unsigned controller, unsigned char* buffer);
using LinuxInstalledFn = unsigned (*)();
using LinuxPutFn = unsigned (*)(unsigned applId, unsigned char* message);
using LinuxGetFn = unsigned (*)(unsigned applId, unsigned char** message);
using LinuxWaitFn = unsigned (*)(unsigned applId, struct timeval* timeout);
using LinuxFilenoFn = int (*)(unsigned applId);

constexpr const char* kExportNames[capi::kEntryPointCount] = {
    "capi20_register",      "capi20_release",           "capi20_get_manufacturer",
    "capi20_get_version",   "capi20_get_serial_number", "capi20_get_profile",
    "capi20_isinstalled",   "capi20_put_message",       "capi20_get_message",
    "capi20_waitformessage"};
constexpr const char* kFilenoExportName = "capi20_fileno";
constexpr const char* kDefaultLibrary = "libcapi20.so.3";

// The resolved Linux calls; written once while binding, before any other thread exists.
struct LinuxCapi {
  LinuxRegisterFn registerApplication;
  LinuxReleaseFn release;
  LinuxInfoFn getManufacturer;
  LinuxInfoFn getVersion;
  LinuxInfoFn getSerialNumber;
  LinuxProfileFn getProfile;
  LinuxInstalledFn isInstalled;
  LinuxPutFn putMessage;
  LinuxGetFn getMessage;
  LinuxWaitFn waitForMessage;
  LinuxFilenoFn fileNumber;
} linuxCapi;

// CAPI codes the adaptor returns of its own.
constexpr uint32_t kQueueEmpty = 0x1104;
constexpr uint32_t kResourceError = 0x1108;
constexpr uint32_t kIllegalMessage = 0x1102;
constexpr uint32_t kIllegalApplication = 0x1101;
constexpr uint32_t kRegistrationFailed = 0x1008;
constexpr uint32_t kNotInstalled = 0x1009;

// The remote module reads a frame into a 4 KB buffer; a frame needs its 2-byte length and
// an 8-byte CAPI header to be a message at all.
constexpr int kLongestFrame = 4096;
constexpr int kLengthFieldSize = 2;
constexpr int kShortestFrame = kLengthFieldSize + 8;
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

// Held across every use of the socket and the library by the taker, and across the release:
// the release closes the socket and frees the application's buffer.
std::mutex takeOrRelease;
// Set by the release: from then on the receive thread never enters the library again, so the
// library's own clean-up at process end cannot pull its state from under a late take.
std::atomic<bool> released{false};

// The message last taken, copied out of the library's buffer so that it stays readable until
// the next take even when the release frees that buffer meanwhile.
unsigned char takenCopy[capi::kMaxReceivedMessageLength];

// Milliseconds of the monotonic clock.
int64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

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
}

// What the peeked front says of its first frame.
SocketView ViewOfFront() {
  int available = guard.frontLength - guard.frontPosition;
  const unsigned char* head = guard.front + guard.frontPosition;
  if (available < 2) return {FrameState::kIncomplete, 0, available, 2};
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
    return {FrameState::kIncomplete, 0, 0, 2};
  }
  if (n <= 0) return {FrameState::kLost, 0, 0, 0};
  guard.frontLength = static_cast<int>(n);
  return ViewOfFront();
}

// The library has taken the front frame of view: the peeked front moves past it.
void FrameTaken(const SocketView& view) {
  guard.frontPosition += view.frameLength;
}

// Makes poll report the socket readable only once bytes are queued.
void SetLowWater(int fd, int bytes) {
  if (guard.lowWater.load(std::memory_order_relaxed) == bytes) return;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes) == 0) {
    guard.lowWater.store(bytes, std::memory_order_relaxed);
  }
}

// Waits until the socket holds a whole frame, a frame to refuse, or the link is lost;
// 0 then, kQueueEmpty when timeoutMs (negative: no limit) ran out first.
uint32_t WaitForWholeFrame(int fd, int timeoutMs) {
  int64_t deadline = timeoutMs >= 0 ? NowMs() + timeoutMs : 0;
  bool peerClosed = false;
  int queuedBefore = -1;
  for (;;) {
    int queued;
    {
      std::lock_guard<std::mutex> hold(takeOrRelease);
      // After the release the descriptor may already name another file.
      if (released.load()) return kIllegalApplication;
      SocketView view = InspectSocket(fd);
      if (view.state != FrameState::kIncomplete) return 0;
      if (peerClosed) {
        // The rest of this frame will never come: drop the fragment, so the library's next
        // read meets the end of the connection and reports it.
        ForgetFront();
        guard.discardRemaining.store(static_cast<uint32_t>(view.queued), std::memory_order_relaxed);
        DiscardQueued(fd);
        return 0;
      }
      SetLowWater(fd, view.needed);
      queued = view.queued;
    }
    if (queued == queuedBefore) poll(nullptr, 0, kIdleWakePauseMs);
    queuedBefore = queued;
    int waitMs = -1;
    if (timeoutMs >= 0) {
      int64_t left = deadline - NowMs();
      if (left <= 0) return kQueueEmpty;
      waitMs = static_cast<int>(left);
    }
    // A bounded wait (a start-up query) gives up at once when the program is to end.
    pollfd watch[2] = {{fd, static_cast<short>(POLLIN | POLLRDHUP), 0},
                       {timeoutMs >= 0 ? TerminationWakeFd() : -1, POLLIN, 0}};
    int ready = poll(watch, 2, waitMs);
    if (ready < 0 && errno != EINTR) return 0;
    if (ready == 0 || (ready > 0 && watch[1].revents != 0)) return kQueueEmpty;
    if (ready > 0 && (watch[0].revents & POLLNVAL) != 0) return 0;
    if (ready > 0 && (watch[0].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) peerClosed = true;
  }
}

// The library's start-up calls connect to a remote server and read its answer without a
// limit, so one that accepts and stays silent (or a host that drops the connection attempt)
// would hold start-up for ever. Each runs on a helper thread; the caller waits for it at most
// kLibraryCallWaitMs, and a termination request or Ctrl-C typed at the terminal ends the wait
// at once. A helper given up on stays blocked in the library and is never waited for: the
// program then ends through its failure path, and the process's end takes the helper with it.
constexpr int kLibraryCallWaitMs = 5000;
constexpr int kKeyCtrlC = 0x03;

enum class CallEnd { kDone, kTimedOut, kTerminated };

// The helper's call and its parameters, set before it starts; its results, read after its
// done byte.
std::atomic<void (*)()> helperWork{nullptr};
std::atomic<unsigned> registerParameters[3];
std::atomic<uint32_t> helperResult{0};
std::atomic<unsigned> helperApplId{0};
// The helper writes one byte here when its call has returned.
int helperDone[2] = {-1, -1};
std::atomic<int> helperDoneWrite{-1};

// The helper thread: the call, then the done byte.
void* RunHelperCall(void*) {
  helperWork.load()();
  char done = 1;
  ssize_t ignored = write(helperDoneWrite.load(), &done, 1);
  (void)ignored;
  return nullptr;
}

// Runs work on a helper thread and waits for it within the bound (see above). Where no
// helper can be started the call runs on the caller's thread.
CallEnd CallWithBound(void (*work)()) {
  if (helperDone[0] < 0 && pipe2(helperDone, O_CLOEXEC) != 0) helperDone[0] = -1;
  helperDoneWrite.store(helperDone[1]);
  helperWork.store(work);
  pthread_t helper;
  if (helperDone[0] < 0 || pthread_create(&helper, nullptr, RunHelperCall, nullptr) != 0) {
    work();
    return CallEnd::kDone;
  }
  pthread_detach(helper);
  int64_t deadline = NowMs() + kLibraryCallWaitMs;
  bool watchKeys = KeysFromTerminal();
  for (;;) {
    int64_t left = deadline - NowMs();
    if (left <= 0) return CallEnd::kTimedOut;
    // The terminal is raw by now: Ctrl-C arrives as a key, not as a signal.
    pollfd watched[3] = {{helperDone[0], POLLIN, 0},
                         {TerminationWakeFd(), POLLIN, 0},
                         {watchKeys ? 0 : -1, POLLIN, 0}};
    if (poll(watched, 3, static_cast<int>(left)) <= 0) continue;
    if (watched[0].revents != 0) {
      char done;
      ssize_t ignored = read(helperDone[0], &done, 1);
      (void)ignored;
      return CallEnd::kDone;
    }
    if (watched[1].revents != 0) return CallEnd::kTerminated;
    if (watched[2].revents != 0) {
      int key = ReadKey();
      if (key == kKeyCtrlC) RequestTermination();
      if (key < 0) watchKeys = false;
    }
  }
}

// Set when the last start-up call got no answer within the bound.
bool libraryCallTimedOut = false;

// The helper's work for CAPI_INSTALLED and CAPI_REGISTER.
void InstalledWork() {
  helperResult.store(linuxCapi.isInstalled());
}
void RegisterWork() {
  unsigned id = 0;
  helperResult.store(linuxCapi.registerApplication(registerParameters[0], registerParameters[1],
                                                   registerParameters[2], &id));
  helperApplId.store(id);
}

// The result of a bounded call, or failure when it did not return in time.
uint32_t BoundedResult(void (*work)(), uint32_t failure) {
  CallEnd end = CallWithBound(work);
  libraryCallTimedOut = end == CallEnd::kTimedOut;
  return end == CallEnd::kDone ? helperResult.load() : failure;
}

// Puts the guard on the application's socket when it has one; skipped for the kernel device.
void GuardApplication(unsigned applId) {
  if (linuxCapi.fileNumber == nullptr) return;
  int fd = linuxCapi.fileNumber(applId);
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
  SetLowWater(fd, 2);
  guard.fd.store(fd);
}

// CAPI_REGISTER: the Linux call has no message buffer size. One that does not return in time
// fails as a registration the provider could not make.
uint32_t RegisterAdaptor(uint32_t, uint32_t maxLogicalConnection, uint32_t maxBDataBlocks,
                         uint32_t maxBDataLen, uint32_t* applId) {
  registerParameters[0] = maxLogicalConnection;
  registerParameters[1] = maxBDataBlocks;
  registerParameters[2] = maxBDataLen;
  helperApplId.store(0);
  uint32_t result = BoundedResult(RegisterWork, kRegistrationFailed);
  unsigned id = result == 0 ? helperApplId.load() : 0;
  *applId = id;
  if (result == 0) {
    released.store(false);
    GuardApplication(id);
  }
  return result;
}

// CAPI_RELEASE; the socket goes with the application. A take after it fails as the library
// reports for a released application.
uint32_t ReleaseAdaptor(uint32_t applId) {
  std::lock_guard<std::mutex> hold(takeOrRelease);
  released.store(true);
  guard.fd.store(-1);
  return linuxCapi.release(applId);
}

// CAPI_GET_MANUFACTURER for the first controller.
void GetManufacturerAdaptor(char* buffer) {
  linuxCapi.getManufacturer(0, reinterpret_cast<unsigned char*>(buffer));
}

// CAPI_GET_VERSION: the Linux call fills four 32-bit words.
uint32_t GetVersionAdaptor(uint32_t* capiMajor, uint32_t* capiMinor, uint32_t* manufacturerMajor,
                           uint32_t* manufacturerMinor) {
  unsigned char words[16] = {};
  if (linuxCapi.getVersion(0, words) == nullptr) return kResourceError;
  std::memcpy(capiMajor, words, 4);
  std::memcpy(capiMinor, words + 4, 4);
  std::memcpy(manufacturerMajor, words + 8, 4);
  std::memcpy(manufacturerMinor, words + 12, 4);
  return 0;
}

// CAPI_GET_SERIAL_NUMBER for the first controller.
uint32_t GetSerialNumberAdaptor(char* buffer) {
  return linuxCapi.getSerialNumber(0, reinterpret_cast<unsigned char*>(buffer)) != nullptr
             ? 0
             : kResourceError;
}

// CAPI_GET_PROFILE.
uint32_t GetProfileAdaptor(void* buffer, uint32_t controller) {
  return linuxCapi.getProfile(controller, static_cast<unsigned char*>(buffer));
}

// CAPI_INSTALLED; one that does not return in time counts as not installed.
uint32_t InstalledAdaptor() {
  return BoundedResult(InstalledWork, kNotInstalled);
}

// CAPI_PUT_MESSAGE. The remote module reads two bytes past the message's total length while
// it frames it, so the message goes to it from a copy with room for them; one whose length
// cannot make a frame is refused as the illegal message it is.
uint32_t PutMessageAdaptor(uint32_t applId, const uint8_t* message) {
  size_t length = static_cast<size_t>(message[0] | (message[1] << 8));
  if (length < kShortestFrame - 2 || length > kLongestFrame - 2) return kIllegalMessage;
  unsigned char copy[kLongestFrame + 2] = {};
  std::memcpy(copy, message, length);
  return linuxCapi.putMessage(applId, copy);
}

// The library's take; a message taken is handed on as its copy (the library's buffer holds at
// least the copy's length).
uint32_t TakeFromLibrary(uint32_t applId, const uint8_t** message) {
  unsigned char* taken = nullptr;
  uint32_t result = linuxCapi.getMessage(applId, &taken);
  if ((result & 0xFFFF) == 0 && taken != nullptr) {
    std::memcpy(takenCopy, taken, sizeof takenCopy);
    taken = takenCopy;
  }
  *message = taken;
  return result;
}

// CAPI_GET_MESSAGE; with the guard on, the library reads only a frame already whole in the
// socket, a frame of impossible length is dropped and reported as a resource error, and a
// connection that is gone for good is reported as the lost link it is (the library itself
// would only say, again and again, that its queue is empty).
uint32_t GetMessageAdaptor(uint32_t applId, const uint8_t** message) {
  std::lock_guard<std::mutex> hold(takeOrRelease);
  if (released.load()) return kIllegalApplication;
  int fd = guard.fd.load();
  if (fd >= 0) {
    SocketView view = InspectSocket(fd);
    if (view.state == FrameState::kIncomplete) return kQueueEmpty;
    if (view.state == FrameState::kLost) return capi::kProviderLinkLost;
    if (view.state == FrameState::kRefused) {
      ForgetFront();
      guard.discardRemaining.store(static_cast<uint32_t>(view.frameLength),
                                   std::memory_order_relaxed);
      DiscardQueued(fd);
      return kResourceError;
    }
    // A whole frame. A low-water mark left from waiting for a longer one must not hold it up.
    SetLowWater(fd, 2);
    uint32_t result = TakeFromLibrary(applId, message);
    // The library reads a whole frame exactly; after anything else the front is unknown.
    if ((result & 0xFFFF) == 0) {
      FrameTaken(view);
    } else {
      ForgetFront();
    }
    return result;
  }
  return TakeFromLibrary(applId, message);
}

// CAPI_WAIT_FOR_SIGNAL: blocks until a message is waiting.
uint32_t WaitForSignalAdaptor(uint32_t applId) {
  if (released.load()) return kIllegalApplication;
  int fd = guard.fd.load();
  if (fd >= 0) return WaitForWholeFrame(fd, -1);
  return linuxCapi.waitForMessage(applId, nullptr);
}

// The bounded wait of the start-up queries.
uint32_t WaitForSignalWithinAdaptor(uint32_t applId, uint32_t timeoutMs) {
  int fd = guard.fd.load();
  if (fd >= 0) return WaitForWholeFrame(fd, static_cast<int>(timeoutMs));
  timeval timeout{static_cast<time_t>(timeoutMs / 1000),
                  static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
  return linuxCapi.waitForMessage(applId, &timeout);
}

// Reinterprets a resolved symbol as the call it is.
template <typename Fn>
Fn AsCall(void* symbol) {
  Fn call;
  static_assert(sizeof call == sizeof symbol);
  std::memcpy(&call, &symbol, sizeof call);
  return call;
}

// The adaptor when the library has the call, null when it lacks it.
template <typename Adaptor>
Adaptor WhenPresent(const void* call, Adaptor adaptor) {
  return call != nullptr ? adaptor : nullptr;
}
}  // namespace

const char* ProviderLibraryName() {
  const char* name = std::getenv("LINKSPY_CAPI_LIBRARY");
  return name != nullptr && name[0] != '\0' ? name : kDefaultLibrary;
}

const char* ProviderExportName(int index) {
  return index >= 0 && index < capi::kEntryPointCount ? kExportNames[index] : "";
}

uintptr_t LoadProviderLibrary(const char* name) {
  return reinterpret_cast<uintptr_t>(dlopen(name, RTLD_NOW | RTLD_LOCAL));
}

void ResolveProviderEntryPoints(uintptr_t module, capi::CapiProvider& provider) {
  void* handle = reinterpret_cast<void*>(module);
  void* symbols[capi::kEntryPointCount];
  for (int i = 0; i < capi::kEntryPointCount; ++i) symbols[i] = dlsym(handle, kExportNames[i]);
  LinuxCapi& c = linuxCapi;
  c.registerApplication = AsCall<LinuxRegisterFn>(symbols[0]);
  c.release = AsCall<LinuxReleaseFn>(symbols[1]);
  c.getManufacturer = AsCall<LinuxInfoFn>(symbols[2]);
  c.getVersion = AsCall<LinuxInfoFn>(symbols[3]);
  c.getSerialNumber = AsCall<LinuxInfoFn>(symbols[4]);
  c.getProfile = AsCall<LinuxProfileFn>(symbols[5]);
  c.isInstalled = AsCall<LinuxInstalledFn>(symbols[6]);
  c.putMessage = AsCall<LinuxPutFn>(symbols[7]);
  c.getMessage = AsCall<LinuxGetFn>(symbols[8]);
  c.waitForMessage = AsCall<LinuxWaitFn>(symbols[9]);
  c.fileNumber = AsCall<LinuxFilenoFn>(dlsym(handle, kFilenoExportName));

  provider.CAPI_REGISTER = WhenPresent(symbols[0], RegisterAdaptor);
  provider.CAPI_RELEASE = WhenPresent(symbols[1], ReleaseAdaptor);
  provider.CAPI_GET_MANUFACTURER = WhenPresent(symbols[2], GetManufacturerAdaptor);
  provider.CAPI_GET_VERSION = WhenPresent(symbols[3], GetVersionAdaptor);
  provider.CAPI_GET_SERIAL_NUMBER = WhenPresent(symbols[4], GetSerialNumberAdaptor);
  provider.CAPI_GET_PROFILE = WhenPresent(symbols[5], GetProfileAdaptor);
  provider.CAPI_INSTALLED = WhenPresent(symbols[6], InstalledAdaptor);
  provider.CAPI_PUT_MESSAGE = WhenPresent(symbols[7], PutMessageAdaptor);
  provider.CAPI_GET_MESSAGE = WhenPresent(symbols[8], GetMessageAdaptor);
  provider.CAPI_WAIT_FOR_SIGNAL = WhenPresent(symbols[9], WaitForSignalAdaptor);
  provider.waitForSignalWithin = WhenPresent(symbols[9], WaitForSignalWithinAdaptor);
}

void UnloadProviderLibrary(uintptr_t module) {
  guard.fd.store(-1);
  dlclose(reinterpret_cast<void*>(module));
}

void ExplainBindingFailure() {
  DescribeProviderSetup(libraryCallTimedOut ? kLibraryCallWaitMs : 0);
}

}  // namespace platform
