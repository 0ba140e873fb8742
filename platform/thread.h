// Threads as the program uses them: start one, let go of its handle without waiting.
#pragma once

#include <cstdint>

namespace platform {

using ThreadHandle = uintptr_t;
constexpr ThreadHandle kNoThread = 0;

using ThreadRoutine = uint32_t (*)(void* parameter);

// Starts routine(parameter) on a new thread at once; returns its handle, or kNoThread when
// the thread could not be created. threadId receives an id for reference.
ThreadHandle StartThread(ThreadRoutine routine, void* parameter, uint32_t* threadId);

// Gives up the handle; the thread runs on by itself and is never waited for.
void ReleaseThreadHandle(ThreadHandle handle);

}  // namespace platform
