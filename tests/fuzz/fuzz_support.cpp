// The fuzz targets' shared pieces: a quiet process, exactly placed messages, a fake provider.
#include "fuzz_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "capi/records/capi_provider.h"
#include "capi/records/result_codes.h"
#include "capi/records/vendor_messages.h"
#include "control/records/control_block.h"
#include "control/records/control_block_internal.h"

namespace fuzz {

namespace {
uint8_t* placed = nullptr;
size_t placedLength = 0;
bool placedMeasured = false;
// A provider delivers a message once: after it was taken a bounded wait finds the queue empty,
// as a query that drops a stale reply and waits on finds it when nothing else comes.
bool placedTaken = false;

uint32_t FakeWait(uint32_t) {
  return 0;
}

uint32_t FakeWaitWithin(uint32_t, uint32_t) {
  return placedTaken ? capi::kQueueEmpty : 0;
}

uint32_t FakeGet(uint32_t, const uint8_t** message) {
  *message = placed;
  placedTaken = true;
  return 0;
}

size_t FakeArrived(uint32_t) {
  return placedLength;
}

uint32_t FakePut(uint32_t, const uint8_t*) {
  return 0;
}
}  // namespace

void QuietProcess() {
  static bool done = false;
  if (done) return;
  done = true;
  const char* base = getenv("TMPDIR");
  char folder[4096];
  snprintf(folder, sizeof folder, "%s/linkspy-fuzz-XXXXXX", base != nullptr ? base : "/tmp");
  if (mkdtemp(folder) != nullptr && chdir(folder) == 0) {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
  }
  control::ResetControlBlock();
}

const uint8_t* PlaceMessage(const uint8_t* data, size_t size, bool measured) {
  DropMessage();
  size_t length = size < capi::kMaxReceivedMessageLength ? size : capi::kMaxReceivedMessageLength;
  if (!measured) {
    // The length bytes as the message holds them: those the input lacks are zero.
    size_t announced = (size > 0 ? data[0] : 0) | (size > 1 ? data[1] << 8 : 0);
    if (announced > capi::kMaxReceivedMessageLength) announced = capi::kMaxReceivedMessageLength;
    length = announced > 2 ? announced : 2;
  }
  placed = static_cast<uint8_t*>(std::calloc(length > 0 ? length : 1, 1));
  std::memcpy(placed, data, size < length ? size : length);
  placedLength = length;
  placedMeasured = measured;
  placedTaken = false;
  return placed;
}

void DropMessage() {
  std::free(placed);
  placed = nullptr;
  placedLength = 0;
}

void ServeFromFakeProvider() {
  capi::CapiProvider& p = capi::capiProvider;
  p.CAPI_WAIT_FOR_SIGNAL = FakeWait;
  p.waitForSignalWithin = FakeWaitWithin;
  p.CAPI_GET_MESSAGE = FakeGet;
  p.CAPI_PUT_MESSAGE = FakePut;
  p.arrivedLength = placedMeasured ? FakeArrived : nullptr;
  p.applId = 1;
}

}  // namespace fuzz
