// The CAPI 2.0 provider on Win32: CAPI2032.DLL loaded at run time, its WINAPI entry points
// behind adaptors of the provider record's types, the installation check and the registration
// within a time limit, and a bounded wait for a message.
#include "platform/provider_library.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

#include "capi/records/result_codes.h"
#include "platform/win32/termination_event.h"

namespace platform {

namespace {

FARPROC entryPoints[capi::kEntryPointCount];

// The resolved entry point at index as the WINAPI function type Fn.
template <typename Fn>
Fn Entry(capi::EntryPoint index) {
  // Through void (*)(), which converts to every function type without a warning.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(entryPoints[index]));
}

// Adaptors from the record's types to the CAPI 2.0 functions of the Win32 provider.

// The installation check and the registration may wait for ever on a remote provider that
// accepts and stays silent (or a host that drops the connection attempt). Each runs on a
// helper thread; the caller waits for it at most kLibraryCallWaitMs, and a termination request
// (or Ctrl-C or Ctrl-X typed at the console) ends the wait at once. A helper given up on stays
// in the provider and is never waited for: the program then ends through its failure path,
// and the process's end takes the helper.
constexpr DWORD kLibraryCallWaitMs = 5000;
// While typed keys wait in the console's queue its handle stays signalled: they are looked at
// again after this slice instead.
constexpr DWORD kTypedKeysSliceMs = 50;

// A wait of start-up: true once object is signalled within timeoutMs; false when the time runs
// out, on a termination request, or when Ctrl-C or Ctrl-X is typed at the console.
bool WaitDuringStartUp(HANDLE object, DWORD timeoutMs) {
  ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    StartupKeys keys = LookAtStartupKeys();
    if (keys == StartupKeys::kEnd) return false;
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    DWORD left = static_cast<DWORD>(deadline - now);
    HANDLE watched[3] = {object};
    DWORD count = 1;
    HANDLE terminated = TerminationEvent();
    if (terminated != nullptr) watched[count++] = terminated;
    HANDLE input = keys == StartupKeys::kNone ? StartupKeysHandle() : nullptr;
    if (input != nullptr) watched[count++] = input;
    if (keys == StartupKeys::kTyped && left > kTypedKeysSliceMs) left = kTypedKeysSliceMs;
    DWORD woken = WaitForMultipleObjects(count, watched, FALSE, left);
    if (woken == WAIT_OBJECT_0) return true;
    if (terminated != nullptr && woken == WAIT_OBJECT_0 + 1) return false;
    if (woken == WAIT_FAILED) return false;
  }
}

// The helper's call and its parameters, set before it starts; its results, read after its
// done event.
std::atomic<void (*)()> helperWork{nullptr};
std::atomic<DWORD> registerParameters[4];
std::atomic<uint32_t> helperResult{0};
std::atomic<DWORD> helperApplId{0};

// The helper thread: the call, then the done event.
DWORD WINAPI RunHelperCall(LPVOID done) {
  helperWork.load()();
  SetEvent(static_cast<HANDLE>(done));
  return 0;
}

// Runs work on a helper thread and returns its result, or failure when it does not return
// within the bound or termination is requested meanwhile. Where no helper can be started the
// call runs on the caller's thread.
uint32_t BoundedResult(void (*work)(), uint32_t failure) {
  // Made once and never closed: a helper given up on may still set it.
  static HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  helperWork.store(work);
  HANDLE helper = nullptr;
  if (done != nullptr && ResetEvent(done))
    helper = CreateThread(nullptr, 0, RunHelperCall, done, 0, nullptr);
  if (helper == nullptr) {
    work();
    return helperResult.load();
  }
  CloseHandle(helper);
  return WaitDuringStartUp(done, kLibraryCallWaitMs) ? helperResult.load() : failure;
}

// The helper's work for CAPI_INSTALLED and CAPI_REGISTER.
void InstalledWork() {
  helperResult.store(Entry<DWORD(WINAPI*)()>(capi::kEntryInstalled)());
}
void RegisterWork() {
  DWORD id = 0;
  helperResult.store(Entry<DWORD(WINAPI*)(DWORD, DWORD, DWORD, DWORD, DWORD*)>(
      capi::kEntryRegister)(registerParameters[0], registerParameters[1], registerParameters[2],
                            registerParameters[3], &id));
  helperApplId.store(id);
}

// CAPI_REGISTER; one that does not return in time fails as a registration the provider could
// not make.
uint32_t CallRegister(uint32_t messageBufferSize, uint32_t maxLogicalConnection,
                      uint32_t maxBDataBlocks, uint32_t maxBDataLen, uint32_t* applId) {
  registerParameters[0] = messageBufferSize;
  registerParameters[1] = maxLogicalConnection;
  registerParameters[2] = maxBDataBlocks;
  registerParameters[3] = maxBDataLen;
  helperApplId.store(0);
  uint32_t result = BoundedResult(RegisterWork, capi::kRegisterOsResourceError);
  *applId = result == 0 ? helperApplId.load() : 0;
  return result;
}

uint32_t CallRelease(uint32_t applId) {
  return Entry<DWORD(WINAPI*)(DWORD)>(capi::kEntryRelease)(applId);
}

void CallGetManufacturer(char* buffer) {
  Entry<void(WINAPI*)(char*)>(capi::kEntryGetManufacturer)(buffer);
}

uint32_t CallGetVersion(uint32_t* capiMajor, uint32_t* capiMinor, uint32_t* manufacturerMajor,
                        uint32_t* manufacturerMinor) {
  DWORD values[4] = {};
  DWORD result = Entry<DWORD(WINAPI*)(DWORD*, DWORD*, DWORD*, DWORD*)>(capi::kEntryGetVersion)(
      &values[0], &values[1], &values[2], &values[3]);
  *capiMajor = values[0];
  *capiMinor = values[1];
  *manufacturerMajor = values[2];
  *manufacturerMinor = values[3];
  return result;
}

uint32_t CallGetSerialNumber(char* buffer) {
  return Entry<DWORD(WINAPI*)(char*)>(capi::kEntryGetSerialNumber)(buffer);
}

uint32_t CallGetProfile(void* buffer, uint32_t controller) {
  return Entry<DWORD(WINAPI*)(PVOID, DWORD)>(capi::kEntryGetProfile)(buffer, controller);
}

// CAPI_INSTALLED; one that does not return in time counts as not installed.
uint32_t CallInstalled() {
  return BoundedResult(InstalledWork, capi::kNotInstalled);
}

uint32_t CallPutMessage(uint32_t applId, const uint8_t* message) {
  // The provider copies the message during the call and never writes to it.
  return Entry<DWORD(WINAPI*)(DWORD, PVOID)>(capi::kEntryPutMessage)(applId,
                                                                     const_cast<uint8_t*>(message));
}

uint32_t CallGetMessage(uint32_t applId, const uint8_t** message) {
  PVOID taken = nullptr;
  DWORD result = Entry<DWORD(WINAPI*)(DWORD, PVOID*)>(capi::kEntryGetMessage)(applId, &taken);
  if ((result & 0xFFFF) == 0) *message = static_cast<const uint8_t*>(taken);
  return result;
}

uint32_t CallWaitForSignal(uint32_t applId) {
  return Entry<DWORD(WINAPI*)(DWORD)>(capi::kEntryWaitForSignal)(applId);
}

// The bounded wait of the start-up queries. CAPI_WAIT_FOR_SIGNAL has no time limit, and polling
// CAPI_GET_MESSAGE would take the message, so a helper thread makes the unbounded wait and signals
// an event; the caller waits for that event with a time limit. When the time runs out the helper
// stays in its wait, and the next bounded wait goes on waiting for the same helper; its result then
// stands for the message that arrived. Only the main thread makes bounded waits.
HANDLE signalWaitDone = nullptr;
bool signalWaitPending = false;
uint32_t signalWaitApplId = 0;
std::atomic<uint32_t> signalWaitResult{0};
// 1 while a helper may be inside the provider: the library then stays mapped.
std::atomic<int> signalWaitInProvider{0};

// The helper thread: one unbounded wait, its result, the event.
DWORD WINAPI RunSignalWait(LPVOID) {
  signalWaitResult.store(CallWaitForSignal(signalWaitApplId));
  signalWaitInProvider.store(0);
  SetEvent(signalWaitDone);
  return 0;
}

uint32_t CallWaitForSignalWithin(uint32_t applId, uint32_t timeoutMs) {
  if (!signalWaitPending) {
    if (signalWaitDone == nullptr) signalWaitDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (signalWaitDone == nullptr) return capi::kOsResourceError;
    ResetEvent(signalWaitDone);
    signalWaitApplId = applId;
    signalWaitInProvider.store(1);
    HANDLE helper = CreateThread(nullptr, 0, RunSignalWait, nullptr, 0, nullptr);
    if (helper == nullptr) {
      signalWaitInProvider.store(0);
      return capi::kOsResourceError;
    }
    CloseHandle(helper);
    signalWaitPending = true;
  }
  if (!WaitDuringStartUp(signalWaitDone, timeoutMs)) return capi::kQueueEmpty;
  signalWaitPending = false;
  return signalWaitResult.load();
}

// Why the last load failed: the system's error number, 0 after a load that worked.
DWORD loadFailureError = 0;

// Reply data that an adapter reply names by address: the provider shares this process's address
// space, so the address is one of this process. Only a program whose addresses fit the 32-bit
// field can take it at its word; a wider one takes no data from it.
const uint8_t* ReplyDataAt(uint32_t address) {
  if (sizeof(void*) != sizeof address) return nullptr;
  return reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(address));
}

}  // namespace

const char* ProviderLibraryName() {
  return "CAPI2032.DLL";
}

const char* ProviderExportName(int index) {
  if (index < 0 || index >= capi::kEntryPointCount) return "";
  return capi::kEntryPointNames[index];
}

// The loader's error is kept at once: the message box shown next would replace it.
uintptr_t LoadProviderLibrary(const char* name) {
  HMODULE module = LoadLibraryA(name);
  loadFailureError = module == nullptr ? GetLastError() : 0;
  return reinterpret_cast<uintptr_t>(module);
}

void ExplainLoadFailure() {
  if (loadFailureError == 0) return;
  char reason[256] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                loadFailureError, 0, reason, sizeof reason, nullptr);
  // The system's text ends in a line break of its own.
  while (length > 0 && (reason[length - 1] == '\n' || reason[length - 1] == '\r')) --length;
  reason[length] = '\0';
  std::fprintf(stderr, "LINKSPY: LoadLibrary error %lu: %s\n",
               static_cast<unsigned long>(loadFailureError), reason);
  std::fflush(stderr);
}

void ResolveProviderEntryPoints(uintptr_t module, capi::CapiProvider& provider) {
  HMODULE library = reinterpret_cast<HMODULE>(module);
  for (int i = 0; i < capi::kEntryPointCount; ++i)
    entryPoints[i] = GetProcAddress(library, ProviderExportName(i));
  // An entry point the library lacks stays null in the record too.
  auto pick = [](capi::EntryPoint index, auto adaptor) {
    return entryPoints[index] ? adaptor : nullptr;
  };
  provider.CAPI_REGISTER = pick(capi::kEntryRegister, CallRegister);
  provider.CAPI_RELEASE = pick(capi::kEntryRelease, CallRelease);
  provider.CAPI_GET_MANUFACTURER = pick(capi::kEntryGetManufacturer, CallGetManufacturer);
  provider.CAPI_GET_VERSION = pick(capi::kEntryGetVersion, CallGetVersion);
  provider.CAPI_GET_SERIAL_NUMBER = pick(capi::kEntryGetSerialNumber, CallGetSerialNumber);
  provider.CAPI_GET_PROFILE = pick(capi::kEntryGetProfile, CallGetProfile);
  provider.CAPI_INSTALLED = pick(capi::kEntryInstalled, CallInstalled);
  provider.CAPI_PUT_MESSAGE = pick(capi::kEntryPutMessage, CallPutMessage);
  provider.CAPI_GET_MESSAGE = pick(capi::kEntryGetMessage, CallGetMessage);
  provider.CAPI_WAIT_FOR_SIGNAL = pick(capi::kEntryWaitForSignal, CallWaitForSignal);
  provider.waitForSignalWithin = pick(capi::kEntryWaitForSignal, CallWaitForSignalWithin);
  // The provider hands over whole messages: each counts as long as its own length word.
  provider.arrivedLength = nullptr;
  provider.replyDataAt = ReplyDataAt;
  // CAPI 2.0 has no look at the queue, and the CAPI2032.DLL Wine offers (over libcapi20) blocks
  // in CAPI_GET_MESSAGE on an empty queue: every take follows a wait.
  provider.messageWaiting = nullptr;
}

void UnloadProviderLibrary(uintptr_t module) {
  // A helper still blocked in the provider must not run on into unmapped code.
  if (signalWaitInProvider.load() != 0) return;
  FreeLibrary(reinterpret_cast<HMODULE>(module));
}

// The Win32 provider keeps its configuration to itself: there is nothing to add.
void ExplainBindingFailure() {}

}  // namespace platform
