// Threads on POSIX: a detached-on-release pthread.
#include "platform/thread.h"

#include <pthread.h>

namespace platform {

namespace {
struct StartRecord {
  ThreadRoutine routine;
  void* parameter;
};
// One receive thread per run; a small fixed pool of start records avoids allocation.
StartRecord startRecords[4];
int nextStartRecord = 0;

void* RunThread(void* record) {
  StartRecord* start = static_cast<StartRecord*>(record);
  start->routine(start->parameter);
  return nullptr;
}
}  // namespace

ThreadHandle StartThread(ThreadRoutine routine, void* parameter, uint32_t* threadId) {
  StartRecord* record = &startRecords[nextStartRecord++ % 4];
  record->routine = routine;
  record->parameter = parameter;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, RunThread, record) != 0) return kNoThread;
  if (threadId) *threadId = static_cast<uint32_t>(thread);
  return static_cast<ThreadHandle>(thread);
}

void ReleaseThreadHandle(ThreadHandle handle) {
  if (handle != kNoThread) pthread_detach(static_cast<pthread_t>(handle));
}

}  // namespace platform
