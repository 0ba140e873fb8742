// The one process-wide record of settings and run state, and the task filter text.
#pragma once

#include <atomic>
#include <cstdint>

namespace control {

constexpr int kMaxControllerNo = 7;
// bottomRow's start value: the output region is the whole 80 x 25 screen.
constexpr int kStartBottomRow = 24;

// Fields in the documented order. Every 32-bit flag is atomic: the receive thread reads
// several of them while the main thread changes them (relaxed single-word access suffices).
struct ControlBlock {
  uint8_t accessKeys[3];
  std::atomic<int32_t> dumpMode;
  std::atomic<int32_t> autoPopup;
  std::atomic<int32_t> exitRequested;
  uint8_t startupController;
  uint8_t controller;
  std::atomic<int32_t> loggedIn;
  std::atomic<int32_t> showControllerNo;
  std::atomic<int32_t> waitMode;
  std::atomic<int32_t> outputStopRequested;
  std::atomic<int32_t> filterEnabled;
  std::atomic<int32_t> markerNo;
  std::atomic<int32_t> currentRow;
  std::atomic<int32_t> bottomRow;
  std::atomic<int32_t> loggingEnabled;
  std::atomic<int32_t> sizeCheckEnabled;
  std::atomic<int32_t> logBusy;
  std::atomic<int32_t> decoderDch2;
  std::atomic<int32_t> decoderDch3;
  std::atomic<int32_t> decoderDch3Ext;
  std::atomic<int32_t> decoderBch2;
  std::atomic<int32_t> decoderPpp;
  std::atomic<int32_t> controllerGiven;
  // The platform's handles of the provider library and of the receive thread (0: none).
  uintptr_t capiModule;
  std::atomic<int32_t> lastCapiError;
  uintptr_t receiveThread;
};

extern ControlBlock controlBlock;

// Longest task filter text in characters.
constexpr int MAX_FILTER_LEN = 6;

// The size of a copy of the filter text: the whole 8-byte word it is kept in (up to 6
// characters, their terminator and a spare zero).
constexpr int kFilterTextSize = MAX_FILTER_LEN + 2;

// Replaces the task filter text (0..6 characters) in one atomic store, so the receive
// thread always sees the old or the new text whole.
void StoreFilterText(const char* text, int length);

// Copies the current filter text, zero-terminated, into out; returns its length.
int LoadFilterText(char (&out)[kFilterTextSize]);

}  // namespace control
