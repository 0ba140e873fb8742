// The ControlBlock instance, its defaults, and the task filter text.
#include "control/records/control_block.h"

#include <cstring>

#include "control/records/control_block_internal.h"

namespace control {

ControlBlock controlBlock;

namespace {
// Up to 6 characters and a terminator, packed into one word.
std::atomic<uint64_t> filterTextWord{0};
static_assert(sizeof(uint64_t) == kFilterTextSize);

struct DefaultsAtStart {
  DefaultsAtStart() { ResetControlBlock(); }
} defaultsAtStart;
}  // namespace

void ResetControlBlock() {
  ControlBlock& cb = controlBlock;
  cb.accessKeys[0] = 0x10;
  cb.accessKeys[1] = 0x05;
  cb.accessKeys[2] = 0x0E;
  cb.dumpMode = 0;
  cb.autoPopup = 0;
  cb.exitRequested = 0;
  cb.startupController = 1;
  cb.controller = 1;
  cb.loggedIn = 0;
  cb.showControllerNo = 0;
  cb.waitMode = 0;
  cb.outputStopRequested = 0;
  cb.filterEnabled = 0;
  cb.markerNo = 0;
  cb.currentRow = 0;
  cb.bottomRow = kStartBottomRow;
  cb.loggingEnabled = 1;
  cb.sizeCheckEnabled = 1;
  cb.logBusy = 0;
  cb.decoderDch2 = 0;
  cb.decoderDch3 = 0;
  cb.decoderDch3Ext = 0;
  cb.decoderBch2 = 0;
  cb.decoderPpp = 0;
  cb.controllerGiven = 0;
  cb.capiModule = 0;
  cb.lastCapiError = 0;
  cb.receiveThread = 0;
  filterTextWord.store(0, std::memory_order_relaxed);
}

void StoreFilterText(const char* text, int length) {
  if (length < 0) length = 0;
  if (length > MAX_FILTER_LEN) length = MAX_FILTER_LEN;
  char packed[kFilterTextSize] = {};
  std::memcpy(packed, text, static_cast<size_t>(length));
  uint64_t word;
  std::memcpy(&word, packed, sizeof word);
  filterTextWord.store(word, std::memory_order_relaxed);
}

int LoadFilterText(char (&out)[kFilterTextSize]) {
  uint64_t word = filterTextWord.load(std::memory_order_relaxed);
  std::memcpy(out, &word, sizeof word);
  out[kFilterTextSize - 1] = '\0';
  return static_cast<int>(std::strlen(out));
}

}  // namespace control
