// A fake CAPI provider that answers waits and takes from a script of steps, records every
// message put and the time of every wait; and the fixture that puts it in the provider record.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

#include "support/temporary_folder.h"
#include "support/test_messages.h"

namespace testing_support {

// One scripted provider answer: the wait's result, then (when it is 0) the take's result
// and the message it delivers.
struct Step {
  uint32_t wait = 0;
  uint32_t get = 0;
  Bytes message;
  size_t arrived = SIZE_MAX;  // bytes of the message that arrived: all of them by default
  bool queued = false;        // waiting behind the step before: taken without a wait of its own
};

struct FakeProvider {
  std::deque<Step> steps;
  Step current;
  std::vector<Bytes> sent;
  std::vector<std::chrono::steady_clock::time_point> waitTimes;
  uint32_t putResult = 0;
  uint32_t boundedWaitMs = 0;
  int waits = 0;
  int gets = 0;
  bool currentTaken = false;
  // Cleared by the script after this many waits (ReceiveLoop tests), -1: never.
  int stopAfterWaits = -1;
};
extern FakeProvider fake;

// Each test in a fresh folder, with a fresh script in the provider record (application 0x10005)
// and the receive thread's flags at their start values.
class ScriptedProviderTest : public TemporaryFolderTest {
 protected:
  void SetUp() override;
};

}  // namespace testing_support
