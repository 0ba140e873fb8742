// The receive thread's run flag and body, for receive_thread.cpp and its tests only.
#pragma once

#include <atomic>
#include <cstdint>

namespace capi {

// 1 while the thread is to go on; read once a pass.
extern std::atomic<int32_t> threadRunFlag;

// The thread's body; runFlag points at threadRunFlag. Messages go to the handlers of the last
// start (none before the first: they are taken and dropped).
uint32_t ReceiveLoop(void* runFlag);

}  // namespace capi
