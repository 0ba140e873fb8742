// Threads on Win32: CreateThread, and CloseHandle to let one go.
#include "platform/thread.h"

#include <windows.h>

namespace platform {

namespace {
struct StartRecord {
  ThreadRoutine routine;
  void* parameter;
};
// Few threads per run; a small fixed pool of start records avoids allocation.
constexpr int kStartRecords = 4;
StartRecord startRecords[kStartRecords];
int nextStartRecord = 0;

// Adapts the program's routine to the Win32 start routine.
DWORD WINAPI RunThread(LPVOID record) {
  StartRecord* start = static_cast<StartRecord*>(record);
  return start->routine(start->parameter);
}
}  // namespace

ThreadHandle StartThread(ThreadRoutine routine, void* parameter, uint32_t* threadId) {
  StartRecord* record = &startRecords[nextStartRecord++ % kStartRecords];
  record->routine = routine;
  record->parameter = parameter;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, RunThread, record, 0, &id);
  if (thread == nullptr) return kNoThread;
  if (threadId) *threadId = id;
  return reinterpret_cast<ThreadHandle>(thread);
}

void ReleaseThreadHandle(ThreadHandle handle) {
  if (handle != kNoThread) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

}  // namespace platform
