// A simulated ISDN basic-rate line: calls coming and going, decoded the way the firmware's trace
// decoders show them (layer 1/2 frames, layer 3 messages and elements, B-channel and PPP).
#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace emu {

// Decoders the firmware can switch on; a trace line needs one of the bits it names.
enum Decoder : unsigned {
  kDecoderL2 = 1,
  kDecoderL3 = 2,
  kDecoderL3Ext = 4,
  kDecoderPpp = 8,
  kDecoderBch = 16,
};

class LineSimulator {
 public:
  // fixedTei: the TEI of a line configured with one (0..127), -1 when the network assigns it.
  LineSimulator(unsigned seed, int fixedTei) : rng_(seed), fixedTei_(fixedTei) {}

  // The next trace text body (task name first, no head) that one of the decoders shows; false
  // when decoders is 0.
  bool NextBody(unsigned decoders, std::string& body);

  // Calls seen so far, for the firmware's status answers.
  unsigned CallsIn() const { return callsIn_; }
  unsigned CallsOut() const { return callsOut_; }
  int Tei() const { return tei_; }

 private:
  struct Item {
    unsigned need;  // decoder bits that show it; 0: internal lines shown with any decoder
    std::string body;
  };
  struct Element {
    uint8_t id;
    std::string content;
    std::string meaning;
  };

  void Plan();
  void Add(unsigned need, const std::string& body);
  void Noise();
  void AssignTei();
  void Establish();
  void Release();
  void KeepAlive();
  void Layer3(bool transmit, uint8_t type, const char* name, uint8_t callRef, bool fromOriginator,
              const std::vector<Element>& elements);
  void Call(bool outgoing);
  void DataPhase(int channel, bool ppp);
  unsigned Pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }
  std::string Hex(const std::string& bytes, size_t maxBytes);

  std::mt19937 rng_;
  std::deque<Item> queue_;
  int fixedTei_;
  int tei_ = -1;
  bool established_ = false;
  unsigned vs_ = 0, vr_ = 0;
  uint8_t callRef_ = 0;
  unsigned callsIn_ = 0, callsOut_ = 0;
  unsigned noiseCounter_ = 0;
};

}  // namespace emu
