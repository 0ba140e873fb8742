// The scripted fake provider's entry points.
#include "support/scripted_provider.h"

#include <algorithm>
#include <cstring>

#include "capi/adapter_exchange.h"
#include "capi/provider_binding.h"
#include "capi/receive_thread.h"
#include "capi/receive_thread_internal.h"

namespace testing_support {

FakeProvider fake;

namespace {

uint32_t FakePut(uint32_t, const uint8_t* message) {
  fake.sent.emplace_back(message, message + (message[0] | (message[1] << 8)));
  return fake.putResult;
}

uint32_t FakeWait(uint32_t) {
  fake.waitTimes.push_back(std::chrono::steady_clock::now());
  if (++fake.waits == fake.stopAfterWaits) capi::threadRunFlag = 0;
  if (fake.steps.empty()) return capi::kQueueEmpty;
  fake.current = fake.steps.front();
  fake.steps.pop_front();
  fake.currentTaken = false;
  return fake.current.wait;
}

uint32_t FakeWaitWithin(uint32_t applId, uint32_t timeoutMs) {
  fake.boundedWaitMs = timeoutMs;
  return FakeWait(applId);
}

// Each message is taken once; after it, only a step queued behind it is there to take.
uint32_t FakeGet(uint32_t, const uint8_t** message) {
  ++fake.gets;
  if (fake.currentTaken) {
    if (fake.steps.empty() || !fake.steps.front().queued) return capi::kQueueEmpty;
    fake.current = fake.steps.front();
    fake.steps.pop_front();
  }
  fake.currentTaken = true;
  if (fake.current.get == 0) *message = fake.current.message.data();
  return fake.current.get;
}

bool FakeWaiting(uint32_t) {
  return !fake.steps.empty() && fake.steps.front().queued;
}

size_t FakeArrived(uint32_t) {
  return std::min(fake.current.arrived, fake.current.message.size());
}

}  // namespace

void ScriptedProviderTest::SetUp() {
  TemporaryFolderTest::SetUp();
  fake = FakeProvider{};
  capi::capiProvider = {};
  capi::capiProvider.CAPI_PUT_MESSAGE = FakePut;
  capi::capiProvider.CAPI_WAIT_FOR_SIGNAL = FakeWait;
  capi::capiProvider.CAPI_GET_MESSAGE = FakeGet;
  capi::capiProvider.waitForSignalWithin = FakeWaitWithin;
  capi::capiProvider.arrivedLength = FakeArrived;
  capi::capiProvider.messageWaiting = FakeWaiting;
  capi::capiProvider.applId = 0x10005;
  capi::threadRunFlag = 1;
  capi::receiveThreadInProvider = capi::kThreadOutsideProvider;
  std::memset(capi::infoBuffer, 0xEE, sizeof capi::infoBuffer);
}

}  // namespace testing_support
