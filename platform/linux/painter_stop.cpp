// The painter's stop decision (see painter_stop.h).
#include "platform/linux/painter_stop.h"

namespace platform {

void NoteStopRequest(StopCounts* counts) {
  counts->continuesAtStopRequest.store(counts->continues.load());
  counts->stopRequests.fetch_add(1);
}

void NoteContinue(StopCounts* counts) {
  counts->continues.fetch_add(1);
}

PainterStep TakePainterStep(StopCounts* counts) {
  unsigned requests = counts->stopRequests.load();
  if (requests == counts->stopsTaken) return PainterStep::kPaint;
  counts->stopsTaken = requests;
  return StopCancelled(*counts) ? PainterStep::kPaint : PainterStep::kStop;
}

bool StopCancelled(const StopCounts& counts) {
  return counts.continues.load() != counts.continuesAtStopRequest.load();
}

}  // namespace platform
