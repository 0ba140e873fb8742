// Files for the log on Win32: system handles that share deletion (another instance may rotate
// the log meanwhile); LockFileEx's lock on a lock file that only its owner may open is the
// lock between processes, taken in turn through a named mutex. Texts are written with CR LF
// line ends, as a text-mode stream would, through a fixed buffer.
#include "platform/file.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace platform {

namespace {
// The system handle kept in a file handle.
HANDLE Handle(File file) {
  return reinterpret_cast<HANDLE>(file.handle);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The longest pause between two attempts to take the lock (they start at 1 ms and double);
// short, so that a writer behind others that write without a break still gets its turn soon.
constexpr DWORD kLockPauseMaxMs = 10;
// Room for one piece of a text with its line ends widened.
constexpr size_t kWritePieceSize = 512;

// The error number a failed C library call left, never 0.
int LastError() {
  return errno != 0 ? errno : EIO;
}

// The error number for the system error code a failed call left.
int SystemError() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    default:
      return EIO;
  }
}

// Takes the lock on the whole of the file (and beyond its end) without blocking, trying
// again after pauses that grow, until the deadline (GetTickCount64 ms) has passed. Returns 0,
// an error number or kLockedElsewhere.
int LockBefore(HANDLE handle, ULONGLONG deadline) {
  for (DWORD pauseMs = 1;; pauseMs = std::min<DWORD>(pauseMs * 2, kLockPauseMaxMs)) {
    OVERLAPPED whole{};
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                   MAXDWORD, &whole)) {
      return 0;
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION) return SystemError();
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) return kLockedElsewhere;
    Sleep(static_cast<DWORD>(std::min<ULONGLONG>(pauseMs, deadline - now)));
  }
}

// Gives up the lock taken on the lock file and closes it.
void ReleaseLock(HANDLE lockHandle) {
  OVERLAPPED whole{};
  UnlockFileEx(lockHandle, 0, MAXDWORD, MAXDWORD, &whole);
  CloseHandle(lockHandle);
}

// Opens name itself, never what a link or junction there points to; access as asked, made
// with security when it is created (nullptr: what the folder passes down).
HANDLE OpenName(const char* name, DWORD access, SECURITY_ATTRIBUTES* security) {
  return CreateFileA(name, access, kShareAll, security, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// LockFileEx cannot wait within a bound, so the lock is tried in pauses; a process that writes
// without a break then takes it again between two of its writes before a waiting process's
// next try comes. So the processes first queue up on a mutex named after the lock file's full
// path: the system hands a released mutex straight to a waiting process, and the file lock is
// free by then. The mutex made for the current path, and the one this process holds (the
// writers' turn lets one thread at a time get here).
std::atomic<HANDLE> queueMutex{nullptr};
std::atomic<uint64_t> queuePathKey{0};
std::atomic<HANDLE> heldQueue{nullptr};

// A key of the full path of name in capitals (FNV-1a); 0 when there is no full path.
uint64_t PathKey(const char* name) {
  char path[2 * MAX_PATH];
  DWORD length = GetFullPathNameA(name, sizeof path, path, nullptr);
  if (length == 0 || length >= sizeof path) return 0;
  uint64_t key = 14695981039346656037ULL;
  for (DWORD i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    key = (key ^ (c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c)) * 1099511628211ULL;
  }
  return key;
}

// The queue's mutex for name, made once per full path; nullptr when the system gives none.
HANDLE QueueFor(const char* name) {
  uint64_t key = PathKey(name);
  if (key == 0) return nullptr;
  if (key != queuePathKey.load()) {
    HANDLE previous = queueMutex.exchange(nullptr);
    if (previous != nullptr) CloseHandle(previous);
    char mutexName[48];
    std::snprintf(mutexName, sizeof mutexName, "Local\\linkspy-log-%016llx",
                  static_cast<unsigned long long>(key));
    queueMutex = CreateMutexA(nullptr, FALSE, mutexName);
    queuePathKey = key;
  }
  return queueMutex.load();
}

// Waits for this process's turn on the lock file at name until the deadline. Returns 0
// (without a mutex the file lock alone orders the writers), an error number or
// kLockedElsewhere.
int EnterQueue(const char* name, ULONGLONG deadline) {
  HANDLE queue = QueueFor(name);
  if (queue == nullptr) return 0;
  ULONGLONG now = GetTickCount64();
  DWORD waited =
      WaitForSingleObject(queue, now < deadline ? static_cast<DWORD>(deadline - now) : 0);
  if (waited == WAIT_TIMEOUT) return kLockedElsewhere;
  // An abandoned mutex is held all the same: its owner ended without giving it back.
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return SystemError();
  heldQueue = queue;
  return 0;
}

// Lets the next process in the queue go on.
void LeaveQueue() {
  HANDLE queue = heldQueue.exchange(nullptr);
  if (queue != nullptr) ReleaseMutex(queue);
}

// Room for a security identifier with the record around it.
constexpr DWORD kOwnerBufferSize = 256;
// Room for an access list of one entry for one user.
constexpr DWORD kAccessListSize = 128;

// The user this process runs as, read once; nullptr when it cannot be read.
PSID ProcessUser() {
  static DWORD userRecord[kOwnerBufferSize / sizeof(DWORD)];
  static bool userKnown = [] {
    HANDLE token;
    DWORD needed = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    bool known = GetTokenInformation(token, TokenUser, userRecord, sizeof userRecord, &needed);
    CloseHandle(token);
    return known;
  }();
  return userKnown ? reinterpret_cast<TOKEN_USER*>(userRecord)->User.Sid : nullptr;
}

// The security of a lock file made here: only the user this process runs as may open it,
// whatever the folder would pass down. nullptr (the folder's) when the user is unknown.
SECURITY_ATTRIBUTES* LockFileSecurity() {
  static DWORD accessList[kAccessListSize / sizeof(DWORD)];
  static SECURITY_DESCRIPTOR descriptor;
  static SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  static bool made = [] {
    PSID user = ProcessUser();
    PACL list = reinterpret_cast<PACL>(accessList);
    return user != nullptr && InitializeAcl(list, sizeof accessList, ACL_REVISION) &&
           AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, user) &&
           InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) &&
           SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  }();
  return made ? &attributes : nullptr;
}

// True when the file belongs to the user this process runs as or to the administrators
// (what an elevated administrator makes belongs to them), or its file system keeps no owner.
bool OwnedHere(HANDLE handle) {
  DWORD descriptor[kOwnerBufferSize / sizeof(DWORD)];
  DWORD needed = 0;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, descriptor, sizeof descriptor,
                               &needed) ||
      !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr) {
    return true;
  }
  PSID user = ProcessUser();
  return (user != nullptr && EqualSid(owner, user)) ||
         IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
         IsWellKnownSid(owner, WinLocalSystemSid);
}

// Why the file open as handle is not written as the log, or 0: only a disk file that is not
// a link, belongs here and has no other name.
int Refusal(HANDLE handle) {
  if (GetFileType(handle) != FILE_TYPE_DISK) return kNotRegularFile;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return SystemError();
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return kSymbolicLink;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return kNotRegularFile;
  if (!OwnedHere(handle)) return kForeignOwner;
  return info.nNumberOfLinks > 1 ? kSeveralLinks : 0;
}

// Opens the lock file lockName without following a link there, creating it for this user
// alone, checked, and takes its lock, awaited until the deadline. Returns 0, an error number,
// kLockFileRefused or kLockedElsewhere.
int OpenLockHandle(const char* lockName, ULONGLONG deadline, HANDLE* handle) {
  *handle = OpenName(lockName, GENERIC_READ | READ_CONTROL, LockFileSecurity());
  if (*handle == INVALID_HANDLE_VALUE) return SystemError();
  int result = Refusal(*handle);
  // Refusals are negative, the system's errors positive.
  if (result < 0) result = kLockFileRefused;
  if (result == 0) result = LockBefore(*handle, deadline);
  if (result != 0) CloseHandle(*handle);
  return result;
}

// Opens name for writing without following a link there, creating it; checked and measured.
// Returns 0 or an error number.
int OpenHandle(const char* name, HANDLE* handle, uint64_t* length) {
  *handle = OpenName(name, GENERIC_WRITE | READ_CONTROL, nullptr);
  if (*handle == INVALID_HANDLE_VALUE) return SystemError();
  int result = Refusal(*handle);
  LARGE_INTEGER size{};
  if (result == 0 && !GetFileSizeEx(*handle, &size)) result = SystemError();
  if (result != 0) CloseHandle(*handle);
  *length = static_cast<uint64_t>(size.QuadPart);
  return result;
}

// Writes length bytes as they stand; false when the system wrote fewer.
bool WriteBytes(HANDLE handle, const char* bytes, size_t length) {
  DWORD written = 0;
  return WriteFile(handle, bytes, static_cast<DWORD>(length), &written, nullptr) &&
         written == length;
}
}  // namespace

int OpenLocked(const char* name, const char* lockName, File* file) {
  // One bound for the queue and the lock.
  ULONGLONG deadline = GetTickCount64() + kLockWaitMs;
  int error = EnterQueue(lockName, deadline);
  if (error != 0) return error;
  HANDLE lockHandle;
  error = OpenLockHandle(lockName, deadline, &lockHandle);
  // Under the lock no other writer rotates the log: what the name holds now stays there.
  HANDLE handle;
  uint64_t length = 0;
  if (error == 0) {
    error = OpenHandle(name, &handle, &length);
    if (error != 0) ReleaseLock(lockHandle);
  }
  if (error != 0) {
    LeaveQueue();
    return error;
  }
  file->handle = reinterpret_cast<intptr_t>(handle);
  file->lockHandle = reinterpret_cast<intptr_t>(lockHandle);
  file->lockedLength = length;
  return 0;
}

int WriteText(File file, const char* text, size_t length) {
  // Only the lock holder writes, so the end found here stays the end.
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(Handle(file), zero, nullptr, FILE_END)) return SystemError();
  char piece[kWritePieceSize];
  size_t used = 0;
  for (size_t i = 0; i < length; ++i) {
    if (used + 2 > sizeof piece) {
      if (!WriteBytes(Handle(file), piece, used)) return SystemError();
      used = 0;
    }
    if (text[i] == '\n') piece[used++] = '\r';
    piece[used++] = text[i];
  }
  if (used > 0 && !WriteBytes(Handle(file), piece, used)) return SystemError();
  return 0;
}

size_t WrittenLength(const char* text, size_t length) {
  size_t lineEnds = 0;
  for (size_t i = 0; i < length; ++i) lineEnds += text[i] == '\n' ? 1 : 0;
  return length + lineEnds;
}

int FileLength(File file, uint64_t* length) {
  *length = file.lockedLength;
  return 0;
}

int TruncateFile(File file, uint64_t length) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(length);
  if (!SetFilePointerEx(Handle(file), position, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(Handle(file))) {
    return SystemError();
  }
  return 0;
}

int CloseFile(File file) {
  int result = CloseHandle(Handle(file)) ? 0 : SystemError();
  ReleaseLock(reinterpret_cast<HANDLE>(file.lockHandle));
  LeaveQueue();
  return result;
}

bool NameExists(const char* name) {
  return _access(name, 0) == 0;
}

int RemoveName(const char* name) {
  errno = 0;
  return std::remove(name) == 0 ? 0 : LastError();
}

int RenameNoReplace(const char* from, const char* to) {
  // The C library's rename on Windows never replaces an existing file, but says EACCES.
  if (NameExists(to)) return EEXIST;
  errno = 0;
  return std::rename(from, to) == 0 ? 0 : LastError();
}

}  // namespace platform
