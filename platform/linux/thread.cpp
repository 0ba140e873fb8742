// Threads on POSIX: a pthread that is detached when its handle is released.
#include "platform/thread.h"

#include <pthread.h>

#include <atomic>

namespace platform {

namespace {
struct StartRecord {
  std::atomic<bool> inUse;
  ThreadRoutine routine;
  void* parameter;
};
// The program starts one thread at a time; a small fixed pool of start records avoids
// allocation. A record is free again once its thread has taken the routine out of it.
constexpr int kStartRecords = 4;
StartRecord startRecords[kStartRecords];

// Takes routine and parameter out of the start record, frees it and runs the routine.
void* RunThread(void* record) {
  StartRecord* start = static_cast<StartRecord*>(record);
  ThreadRoutine routine = start->routine;
  void* parameter = start->parameter;
  start->inUse.store(false);
  routine(parameter);
  return nullptr;
}

// Claims a free start record, or nullptr when all are waiting for their threads.
StartRecord* ClaimStartRecord() {
  for (StartRecord& record : startRecords) {
    bool expected = false;
    if (record.inUse.compare_exchange_strong(expected, true)) return &record;
  }
  return nullptr;
}
}  // namespace

ThreadHandle StartThread(ThreadRoutine routine, void* parameter, uint32_t* threadId) {
  StartRecord* record = ClaimStartRecord();
  if (record == nullptr) return kNoThread;
  record->routine = routine;
  record->parameter = parameter;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, RunThread, record) != 0) {
    record->inUse.store(false);
    return kNoThread;
  }
  if (threadId) *threadId = static_cast<uint32_t>(thread);
  return static_cast<ThreadHandle>(thread);
}

void ReleaseThreadHandle(ThreadHandle handle) {
  if (handle != kNoThread) pthread_detach(static_cast<pthread_t>(handle));
}

}  // namespace platform
