// The CAPI 2.0 provider on Linux: libcapi20 loaded with dlopen and its calls adapted to the
// CAPI 2.0 entry points. The start-up calls are bounded in time, and on the remote module's
// socket every wait and take goes through the whole-frame receive guard (frame_guard.h).
#include "platform/provider_library.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "capi/records/result_codes.h"
#include "capi/records/vendor_messages.h"
#include "platform/console.h"
#include "platform/linux/console_input.h"
#include "platform/linux/frame_guard.h"
#include "platform/linux/journal_stream.h"
#include "platform/linux/monotonic_clock.h"
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

// Held across every use of the socket and the library by the taker, and across the release:
// the release closes the socket and frees the application's buffer.
std::mutex takeOrRelease;
// Set by the release: from then on the receive thread never enters the library again, so the
// library's own clean-up at process end cannot pull its state from under a late take.
std::atomic<bool> released{false};

// The message last taken, copied out of the library's buffer so that it stays readable until
// the next take even when the release frees that buffer meanwhile, and how many of its bytes
// arrived: only those are copied.
unsigned char takenCopy[capi::kMaxReceivedMessageLength];
std::atomic<size_t> takenLength{0};

// The library's start-up calls connect to a remote server and read its answer without a
// limit, so one that accepts and stays silent (or a host that drops the connection attempt)
// would hold start-up for ever. Each runs on a helper thread; the caller waits for it at most
// kLibraryCallWaitMs, and a termination request or Ctrl-C or Ctrl-X typed at the terminal ends
// the wait at once. A helper given up on stays blocked in the library and is never waited for:
// the program then ends through its failure path, and the process's end takes the helper with
// it.
constexpr int kLibraryCallWaitMs = 5000;

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

// A wait of start-up: until fd is readable (kDone) or the deadline passes. A termination
// request ends it at once, and so do Ctrl-C and Ctrl-X typed at the terminal: the terminal is
// raw by now, so they arrive as keys, not as a signal.
CallEnd WaitReadable(int fd, int64_t deadline) {
  for (;;) {
    int64_t left = deadline - MonotonicMs();
    if (left <= 0) return CallEnd::kTimedOut;
    pollfd watched[3] = {
        {fd, POLLIN, 0}, {TerminationWakeFd(), POLLIN, 0}, {StartupKeysFd(), POLLIN, 0}};
    if (poll(watched, 3, static_cast<int>(left)) <= 0) continue;
    if (watched[0].revents != 0) return CallEnd::kDone;
    if (watched[1].revents != 0 && WakeIsTermination()) return CallEnd::kTerminated;
    if (watched[2].revents != 0 && TakeStartupKeys()) return CallEnd::kTerminated;
  }
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
  CallEnd end = WaitReadable(helperDone[0], MonotonicMs() + kLibraryCallWaitMs);
  if (end == CallEnd::kDone) {
    char done;
    ssize_t ignored = read(helperDone[0], &done, 1);
    (void)ignored;
  }
  return end;
}

// Why the last load failed, in the loader's words.
char loadFailureReason[512];

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

// Puts the guard on the application's connection when the library tells its descriptor.
void GuardApplication(unsigned applId) {
  if (linuxCapi.fileNumber != nullptr) GuardConnection(linuxCapi.fileNumber(applId));
}

// CAPI_REGISTER: the Linux call has no message buffer size. One that does not return in time
// fails as a registration the provider could not make.
uint32_t RegisterAdaptor(uint32_t, uint32_t maxLogicalConnection, uint32_t maxBDataBlocks,
                         uint32_t maxBDataLen, uint32_t* applId) {
  registerParameters[0] = maxLogicalConnection;
  registerParameters[1] = maxBDataBlocks;
  registerParameters[2] = maxBDataLen;
  helperApplId.store(0);
  uint32_t result = BoundedResult(RegisterWork, capi::kRegisterOsResourceError);
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
  UnguardConnection();
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
  if (linuxCapi.getVersion(0, words) == nullptr) return capi::kOsResourceError;
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
             : capi::kOsResourceError;
}

// CAPI_GET_PROFILE.
uint32_t GetProfileAdaptor(void* buffer, uint32_t controller) {
  return linuxCapi.getProfile(controller, static_cast<unsigned char*>(buffer));
}

// CAPI_INSTALLED; one that does not return in time counts as not installed.
uint32_t InstalledAdaptor() {
  return BoundedResult(InstalledWork, capi::kNotInstalled);
}

// CAPI_PUT_MESSAGE. The remote module reads two bytes past the message's total length while
// it frames it, so the message goes to it from a copy with room for them; one whose length
// cannot make a frame is refused as the illegal message it is.
uint32_t PutMessageAdaptor(uint32_t applId, const uint8_t* message) {
  size_t length = static_cast<size_t>(message[0] | (message[1] << 8));
  if (length < kShortestFrame - kLengthFieldSize || length > kLongestFrame - kLengthFieldSize) {
    return capi::kIllegalMessage;
  }
  unsigned char copy[kLongestFrame + 2] = {};
  std::memcpy(copy, message, length);
  return linuxCapi.putMessage(applId, copy);
}

// The library's take; a message taken is handed on as its copy of the bytes that arrived (the
// library's buffer holds at least the copy's length). The kernel device hands over whole
// messages: there the message's own length word counts, at most the library's buffer.
uint32_t TakeFromLibrary(uint32_t applId, const uint8_t** message, size_t arrived) {
  unsigned char* taken = nullptr;
  takenLength.store(0);
  uint32_t result = linuxCapi.getMessage(applId, &taken);
  if ((result & 0xFFFF) == 0 && taken != nullptr) {
    size_t length = capi::ReceivedLength(taken, arrived);
    std::memcpy(takenCopy, taken, length);
    takenLength.store(length);
    taken = takenCopy;
  }
  *message = taken;
  return result;
}

// The bytes that arrived for the message last taken.
size_t ArrivedLengthAdaptor(uint32_t) {
  return takenLength.load();
}

// CAPI_GET_MESSAGE; on the remote module's socket through the guard.
uint32_t GetMessageAdaptor(uint32_t applId, const uint8_t** message) {
  std::lock_guard<std::mutex> hold(takeOrRelease);
  if (released.load()) return capi::kIllegalApplication;
  int fd = GuardedSocket();
  if (fd >= 0) return TakeWholeFrame(fd, applId, message, TakeFromLibrary);
  return TakeFromLibrary(applId, message, capi::kMaxReceivedMessageLength);
}

// Whether a take can go on at once: on the remote module's socket what the guard last peeked
// tells; on the kernel device whether it is readable now. The library's take blocks on an
// empty socket, so it is never called on one.
bool MessageWaitingAdaptor(uint32_t applId) {
  if (GuardedSocket() >= 0) return FrameQueued();
  int device = linuxCapi.fileNumber != nullptr ? linuxCapi.fileNumber(applId) : -1;
  if (device < 0) return false;
  pollfd readable{device, POLLIN, 0};
  return poll(&readable, 1, 0) > 0 && (readable.revents & POLLIN) != 0;
}

// CAPI_WAIT_FOR_SIGNAL: blocks until a message is waiting.
uint32_t WaitForSignalAdaptor(uint32_t applId) {
  if (released.load()) return capi::kIllegalApplication;
  int fd = GuardedSocket();
  if (fd >= 0) return WaitForWholeFrame(fd, takeOrRelease, -1);
  return linuxCapi.waitForMessage(applId, nullptr);
}

// The bounded wait of the start-up queries. Off the remote module's socket (the kernel
// device) it watches the application's descriptor where the library tells it, so that the
// requests to end are watched there too.
uint32_t WaitForSignalWithinAdaptor(uint32_t applId, uint32_t timeoutMs) {
  int fd = GuardedSocket();
  if (fd >= 0) return WaitForWholeFrame(fd, takeOrRelease, static_cast<int>(timeoutMs));
  int device = linuxCapi.fileNumber != nullptr ? linuxCapi.fileNumber(applId) : -1;
  if (device >= 0) {
    if (WaitReadable(device, MonotonicMs() + timeoutMs) != CallEnd::kDone) {
      return capi::kQueueEmpty;
    }
    timeoutMs = 0;
  }
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

// The loader's reason is kept at once: any later failing dl call would replace it.
uintptr_t LoadProviderLibrary(const char* name) {
  void* module = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* reason = dlerror();
    std::snprintf(loadFailureReason, sizeof loadFailureReason, "%s", reason ? reason : "");
  }
  return reinterpret_cast<uintptr_t>(module);
}

void ExplainLoadFailure() {
  if (loadFailureReason[0] != '\0')
    PrintToStderr(Severity::kError, "LINKSPY: dlopen: %s\n", loadFailureReason);
}

void ResolveProviderEntryPoints(uintptr_t module, capi::CapiProvider& provider) {
  void* handle = reinterpret_cast<void*>(module);
  void* symbols[capi::kEntryPointCount];
  for (int i = 0; i < capi::kEntryPointCount; ++i) symbols[i] = dlsym(handle, kExportNames[i]);
  LinuxCapi& c = linuxCapi;
  c.registerApplication = AsCall<LinuxRegisterFn>(symbols[capi::kEntryRegister]);
  c.release = AsCall<LinuxReleaseFn>(symbols[capi::kEntryRelease]);
  c.getManufacturer = AsCall<LinuxInfoFn>(symbols[capi::kEntryGetManufacturer]);
  c.getVersion = AsCall<LinuxInfoFn>(symbols[capi::kEntryGetVersion]);
  c.getSerialNumber = AsCall<LinuxInfoFn>(symbols[capi::kEntryGetSerialNumber]);
  c.getProfile = AsCall<LinuxProfileFn>(symbols[capi::kEntryGetProfile]);
  c.isInstalled = AsCall<LinuxInstalledFn>(symbols[capi::kEntryInstalled]);
  c.putMessage = AsCall<LinuxPutFn>(symbols[capi::kEntryPutMessage]);
  c.getMessage = AsCall<LinuxGetFn>(symbols[capi::kEntryGetMessage]);
  c.waitForMessage = AsCall<LinuxWaitFn>(symbols[capi::kEntryWaitForSignal]);
  c.fileNumber = AsCall<LinuxFilenoFn>(dlsym(handle, kFilenoExportName));

  provider.CAPI_REGISTER = WhenPresent(symbols[capi::kEntryRegister], RegisterAdaptor);
  provider.CAPI_RELEASE = WhenPresent(symbols[capi::kEntryRelease], ReleaseAdaptor);
  provider.CAPI_GET_MANUFACTURER =
      WhenPresent(symbols[capi::kEntryGetManufacturer], GetManufacturerAdaptor);
  provider.CAPI_GET_VERSION = WhenPresent(symbols[capi::kEntryGetVersion], GetVersionAdaptor);
  provider.CAPI_GET_SERIAL_NUMBER =
      WhenPresent(symbols[capi::kEntryGetSerialNumber], GetSerialNumberAdaptor);
  provider.CAPI_GET_PROFILE = WhenPresent(symbols[capi::kEntryGetProfile], GetProfileAdaptor);
  provider.CAPI_INSTALLED = WhenPresent(symbols[capi::kEntryInstalled], InstalledAdaptor);
  provider.CAPI_PUT_MESSAGE = WhenPresent(symbols[capi::kEntryPutMessage], PutMessageAdaptor);
  provider.CAPI_GET_MESSAGE = WhenPresent(symbols[capi::kEntryGetMessage], GetMessageAdaptor);
  provider.CAPI_WAIT_FOR_SIGNAL =
      WhenPresent(symbols[capi::kEntryWaitForSignal], WaitForSignalAdaptor);
  provider.waitForSignalWithin =
      WhenPresent(symbols[capi::kEntryWaitForSignal], WaitForSignalWithinAdaptor);
  provider.arrivedLength = WhenPresent(symbols[capi::kEntryGetMessage], ArrivedLengthAdaptor);
  provider.messageWaiting = WhenPresent(symbols[capi::kEntryGetMessage], MessageWaitingAdaptor);
  // The adapter sits behind a kernel device or across a network: no provider can place reply
  // data in this process, so a reply brings its data inline or none.
  provider.replyDataAt = nullptr;
}

void UnloadProviderLibrary(uintptr_t module) {
  UnguardConnection();
  dlclose(reinterpret_cast<void*>(module));
}

void ExplainBindingFailure() {
  DescribeProviderSetup(libraryCallTimedOut ? kLibraryCallWaitMs : 0);
}

}  // namespace platform
