// Binding, release and unloading of the CAPI 2.0 provider library, and taking a message
// into the provider record.
#pragma once

#include <atomic>
#include <cstdint>

#include "capi/records/capi_provider.h"

namespace capi {

// Loads the provider, resolves it, checks the installation and registers the application.
// 0 on success; -1 after its message box otherwise (and a console line when the library
// cannot be loaded or lacks an entry point).
int BindCapiProvider();

// Takes the next message into receivedMessage and receivedLength (0 when the take failed);
// returns the full result of CAPI_GET_MESSAGE.
uint32_t TakeMessage();

// True when the provider says another message can be taken at once, without a wait; false
// where it cannot tell.
bool MessageWaiting();

// Releases the application; a failure is shown in a message box and shutdown goes on.
void ReleaseApplication();

// Unloads the provider library, unless the receive thread may still be inside it.
void UnloadCapiProvider();

// Set by the receive thread while it is inside a provider call, so that unloading frees the
// library only when the thread is outside it (and leaves it mapped while it stays blocked).
extern std::atomic<int32_t> receiveThreadInProvider;
// Its values: the thread is outside / inside the provider, or the library is unloaded (and
// the thread must not enter it again).
constexpr int32_t kThreadOutsideProvider = 0;
constexpr int32_t kThreadInsideProvider = 1;
constexpr int32_t kProviderUnloaded = -1;

}  // namespace capi
