// The WAIT_FOR_MESSAGE thread: takes every message the provider delivers after start-up and
// hands it to the trace indication handler.
#pragma once

#include <atomic>
#include <cstdint>

namespace capi {

extern std::atomic<int32_t> threadRunFlag;
extern uint32_t receiveThreadId;
// Set by the thread when the provider reported its link lost; the program then ends with -1.
extern std::atomic<int32_t> providerLinkLost;

// Creates the thread, or reports why not.
void StartReceiveThread();

// Tells the thread to stop and lets go of it without waiting.
void StopReceiveThread();

// The thread's body; runFlag points at threadRunFlag.
uint32_t ReceiveLoop(void* runFlag);

}  // namespace capi
