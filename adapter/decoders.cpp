// Decoder selection and activation: the DecoderTable, the row choice by firmware generation and
// switching the chosen decoders on.
#include "adapter/decoders.h"

#include <atomic>
#include <cstdint>

#include "adapter/adapter_info.h"
#include "adapter/decoders_internal.h"
#include "capi/adapter_exchange.h"
#include "control/records/control_block.h"
#include "output/log_writer.h"

namespace adapter {

namespace {

constexpr int kDecoderRows = 4;
constexpr int kDecoderColumns = 5;
constexpr int kDecoderNameSize = 10;

// Columns: D-channel layer 2, D-channel layer 3, D-channel layer 3 ext., PPP, B-channel layer 2.
// Row 0 is a firmware without known decoders; no firmware generation selects row 1. A run takes
// only row 3 (start-up assumes its generation); the rows stay whole so that choosing by the
// firmware's own answer again needs no other change.
const char DecoderTable[kDecoderRows][kDecoderColumns][kDecoderNameSize] = {
    {"", "", "", "", ""},
    {"dch 22", "dch 23", "dch 24", "", "bch 22"},
    {"cmt 22", "cmt 23", "cmt 24", "ppp dec", "bch 22"},
    {"cmt l2", "cmt l3", "cmt l3x", "ppp dec", "bch 22"},
};

// What is written when the chosen row lacks a column's decoder, in column order.
constexpr const char* kMissingDecoderMessages[kDecoderColumns] = {
    "Can't inititialize DCH Layer 2 Decoder\n",      "Can't inititialize DCH Layer 3 Decoder\n",
    "Can't inititialize DCH Layer 3 Ext.-Decoder\n", "Can't inititialize PPP Decoder\n",
    "Can't inititialize BCH Layer 2 Decoder\n",
};

constexpr const char* kNoDecoderMessage =
    "\nNo decoder available, please use another download file!\n";

// The firmware generation start-up assumes: kind 3, version 0 (row 3).
constexpr uint8_t kAssumedFirmwareKind = 3;
constexpr uint8_t kAssumedFirmwareVersion = 0;

}  // namespace

int SelectDecoderRow(uint8_t firmwareKind, uint8_t firmwareVersion) {
  // A run never comes here (start-up assumes kind 3); kept with the table's rows 2 and 3.
  if (firmwareKind == 2) {
    if (firmwareVersion >= 41 && firmwareVersion <= 49) return 2;
    if (firmwareVersion >= 50 && firmwareVersion <= 99) return 3;
    return 0;
  }
  if (firmwareKind == 3 && firmwareVersion <= 9) return 3;
  return 0;
}

void AssumeDecoderGeneration() {
  adapterInfo.firmwareKind = kAssumedFirmwareKind;
  adapterInfo.firmwareVersion = kAssumedFirmwareVersion;
}

void ActivateDecoders() {
  int row = SelectDecoderRow(adapterInfo.firmwareKind, adapterInfo.firmwareVersion);
  if (row == 0) {
    output::LogWithEchoAs(kNoDecoderMessage, platform::Severity::kWarning);
    return;
  }
  control::ControlBlock& cb = control::controlBlock;
  // The start options in column order (PPP before the B-channel decoder).
  const std::atomic<int32_t>* chosen[kDecoderColumns] = {
      &cb.decoderDch2, &cb.decoderDch3, &cb.decoderDch3Ext, &cb.decoderPpp, &cb.decoderBch2};
  for (int column = 0; column < kDecoderColumns; ++column) {
    if (chosen[column]->load() == 0) continue;
    const char* name = DecoderTable[row][column];
    if (name[0] != '\0') {
      capi::SendDebugCommand(name);
    } else {
      output::LogWithEchoAs(kMissingDecoderMessages[column], platform::Severity::kWarning);
    }
  }
}

}  // namespace adapter
