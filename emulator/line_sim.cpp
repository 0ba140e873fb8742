// The simulated line's traffic: each scenario (TEI assignment, link set-up, a call, keep-alive,
// link release) is planned as a queue of decoded trace lines, taken one at a time.
#include "emulator/line_sim.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace emu {

namespace {

constexpr unsigned kNeedL3 = kDecoderL3 | kDecoderL3Ext;

const char* const kCalled[] = {"0301234567", "08912345678", "0221445566", "4711", "069987654"};
const char* const kCalling[] = {"040123456", "0711556677", "0351998877", "4712", "030442211"};

// printf into a std::string.
std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// An IPv4 header and the start of an LCP Configure-Request, as they appear in B-channel frames.
const char kIpHeader[] = "\x45\x00\x00\x54\x1a\x2b\x40\x00\x40\x01\xb7\x3c\xc0\xa8\x0a\x02";
const char kLcpRequest[] = "\xff\x03\xc0\x21\x01\x01\x00\x0e\x01\x04\x05\xdc\x05\x06";

}  // namespace

// Bytes as upper-case hex pairs, at most maxBytes of them, "..." when cut.
std::string LineSimulator::Hex(const std::string& bytes, size_t maxBytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < maxBytes; ++i)
    out += Format(i ? " %02X" : "%02X", static_cast<uint8_t>(bytes[i]));
  if (bytes.size() > maxBytes) out += " ...";
  return out;
}

// Queues one line; now and then an internal line of the firmware follows it.
void LineSimulator::Add(unsigned need, const std::string& body) {
  queue_.push_back({need, body});
  if (++noiseCounter_ >= 9 + Pick(8)) {
    noiseCounter_ = 0;
    Noise();
  }
}

// Internal lines the application suppresses, and the odd firmware status line it shows.
void LineSimulator::Noise() {
  switch (Pick(5)) {
    case 0:
      queue_.push_back({0, Format("CMT ascii rx queue %u tx queue %u", Pick(4), Pick(3))});
      break;
    case 1:
      queue_.push_back(
          {0, Format("DBG heap free=%u blocks=%u", 60000 + Pick(5000), 40 + Pick(20))});
      break;
    case 2:
      queue_.push_back({0, Format("DBG task switch L2D -> L3E, %u us", 20 + Pick(80))});
      break;
    case 3:
      queue_.push_back({kNeedL3, Format("CMT statistics: calls in %u out %u, D frames %u", callsIn_,
                                        callsOut_, vs_ + vr_ + 100 * (callsIn_ + callsOut_))});
      break;
    default:
      queue_.push_back({0, Format("CMT ascii timer tick %u", Pick(100000))});
      break;
  }
}

// Layer 1 activation and TEI assignment by layer 2 management (none for a fixed TEI).
void LineSimulator::AssignTei() {
  Add(kDecoderL2, "DCH L1 state F3 -> F6 -> F7 activated, INFO4 received");
  if (fixedTei_ >= 0) {
    tei_ = fixedTei_;
    Add(kDecoderL2, Format("L2M fixed TEI %d, state 4 (TEI assigned)", tei_));
    return;
  }
  unsigned ri = Pick(0x10000);
  tei_ = 64 + static_cast<int>(Pick(63));
  Add(kDecoderL2, Format("L2D TX UI    SAPI=63 TEI=127 C/R=0 ID-REQUEST Ri=0x%04X Ai=127", ri));
  Add(kDecoderL2,
      Format("L2D RX UI    SAPI=63 TEI=127 C/R=1 ID-ASSIGN  Ri=0x%04X Ai=%d", ri, tei_));
  Add(kDecoderL2, Format("L2M TEI %d assigned, state 4 (TEI assigned)", tei_));
}

// Multiple-frame establishment: SABME answered by UA.
void LineSimulator::Establish() {
  if (tei_ < 0) AssignTei();
  Add(kDecoderL2, Format("L2D TX SABME SAPI=0 TEI=%d C/R=0 P=1", tei_));
  Add(kDecoderL2, Format("L2D RX UA    SAPI=0 TEI=%d C/R=1 F=1", tei_));
  Add(kDecoderL2, Format("L2M TEI %d state 7 (multiple frame established)", tei_));
  vs_ = vr_ = 0;
  established_ = true;
}

// Link release when the line has been idle: DISC answered by UA.
void LineSimulator::Release() {
  Add(kDecoderL2, Format("L2D TX DISC  SAPI=0 TEI=%d C/R=0 P=1", tei_));
  Add(kDecoderL2, Format("L2D RX UA    SAPI=0 TEI=%d C/R=1 F=1", tei_));
  Add(kDecoderL2, Format("L2M TEI %d state 4 (TEI assigned), link released", tei_));
  established_ = false;
}

// T203 ran out on an idle link: a supervisory poll and its answer.
void LineSimulator::KeepAlive() {
  Add(kDecoderL2, Format("TIM T203 expired (10000 ms), TEI %d", tei_));
  Add(kDecoderL2, Format("L2D TX RR    SAPI=0 TEI=%d C/R=0 N(R)=%u P=1", tei_, vr_));
  Add(kDecoderL2, Format("L2D RX RR    SAPI=0 TEI=%d C/R=1 N(R)=%u F=1", tei_, vs_));
}

// One layer 3 message in an I frame, its decoded summary and elements, and the acknowledgement.
void LineSimulator::Layer3(bool transmit, uint8_t type, const char* name, uint8_t callRef,
                           bool fromOriginator, const std::vector<Element>& elements) {
  if (!established_) Establish();
  std::string bytes;
  bytes += '\x08';
  bytes += '\x01';
  bytes += static_cast<char>(fromOriginator ? callRef : (callRef | 0x80));
  bytes += static_cast<char>(type);
  for (const Element& e : elements) {
    bytes += static_cast<char>(e.id);
    bytes += static_cast<char>(e.content.size());
    bytes += e.content;
  }
  const char* dir = transmit ? "TX" : "RX";
  if (transmit) {
    Add(kDecoderL2, Format("L2D TX I     SAPI=0 TEI=%d C/R=0 N(S)=%u N(R)=%u P=0 len=%zu", tei_,
                           vs_, vr_, bytes.size()));
    vs_ = (vs_ + 1) % 128;
  } else {
    Add(kDecoderL2, Format("L2D RX I     SAPI=0 TEI=%d C/R=1 N(S)=%u N(R)=%u P=0 len=%zu", tei_,
                           vr_, vs_, bytes.size()));
    vr_ = (vr_ + 1) % 128;
  }
  std::string summary = Format("L3E %s %s CR=%02X", dir, name, static_cast<uint8_t>(bytes[2]));
  for (const Element& e : elements) {
    if (e.id == 0x70) summary += " called=" + e.content.substr(1);
    if (e.id == 0x6C) summary += " calling=" + e.content.substr(2);
    if (e.id == 0x18) summary += Format(" B%d", e.content[0] & 3);
    if (e.id == 0x08) summary += Format(" cause=#%d", e.content[1] & 0x7F);
  }
  Add(kNeedL3, summary);
  for (const Element& e : elements)
    Add(kDecoderL3Ext, Format("L3E    IE %02X len=%zu %-24s : %s", e.id, e.content.size(),
                              Hex(e.content, 12).c_str(), e.meaning.c_str()));
  Add(kDecoderL3Ext, "L3E    dump " + Hex(bytes, 32));
  if (transmit)
    Add(kDecoderL2, Format("L2D RX RR    SAPI=0 TEI=%d C/R=1 N(R)=%u F=0", tei_, vs_));
  else
    Add(kDecoderL2, Format("L2D TX RR    SAPI=0 TEI=%d C/R=1 N(R)=%u F=0", tei_, vr_));
}

// B-channel traffic of a data call: X.75 or PPP over HDLC.
void LineSimulator::DataPhase(int channel, bool ppp) {
  std::string ip(kIpHeader, sizeof kIpHeader - 1);
  if (!ppp) {
    Add(kDecoderBch, Format("BCH B%d X.75 TX SABM", channel));
    Add(kDecoderBch, Format("BCH B%d X.75 RX UA", channel));
    for (unsigned i = 0; i < 3 + Pick(4); ++i) {
      std::string data = ip;
      for (unsigned k = 0; k < 16; ++k) data += static_cast<char>(Pick(256));
      Add(kDecoderBch,
          Format("BCH B%d X.75 %s I N(S)=%u N(R)=%u len=%u %s", channel, i % 2 ? "RX" : "TX", i / 2,
                 (i + 1) / 2, 64 + Pick(1400), Hex(data, 28).c_str()));
    }
    Add(kDecoderBch, Format("BCH B%d X.75 TX DISC", channel));
    Add(kDecoderBch, Format("BCH B%d X.75 RX UA", channel));
    return;
  }
  unsigned magic = static_cast<unsigned>(rng_());
  unsigned net = 1 + Pick(200);
  std::string lcp(kLcpRequest, sizeof kLcpRequest - 1);
  Add(kDecoderBch, Format("BCH B%d HDLC TX len=%zu %s", channel, lcp.size() + 4,
                          Hex(lcp + "\x1a\x2b\x3c\x4d", 32).c_str()));
  Add(kDecoderPpp,
      Format("PPP B%d TX LCP Configure-Request id=1 MRU=1500 Magic=0x%08X", channel, magic));
  Add(kDecoderPpp,
      Format("PPP B%d RX LCP Configure-Request id=%u MRU=1524 Auth=PAP", channel, 1 + Pick(200)));
  Add(kDecoderPpp, Format("PPP B%d TX LCP Configure-Ack", channel));
  Add(kDecoderPpp, Format("PPP B%d RX LCP Configure-Ack id=1", channel));
  Add(kDecoderPpp, Format("PPP B%d TX PAP Authenticate-Request user=\"qz7user\"", channel));
  Add(kDecoderPpp, Format("PPP B%d RX PAP Authenticate-Ack", channel));
  Add(kDecoderPpp, Format("PPP B%d TX IPCP Configure-Request IP=0.0.0.0", channel));
  Add(kDecoderPpp, Format("PPP B%d RX IPCP Configure-Nak IP=192.168.%u.2", channel, net));
  Add(kDecoderPpp,
      Format("PPP B%d IPCP opened, local 192.168.%u.2 remote 192.168.%u.1", channel, net, net));
  for (unsigned i = 0; i < 2 + Pick(4); ++i) {
    std::string frame = std::string("\xff\x03\x00\x21", 4) + ip;
    Add(kDecoderBch, Format("BCH B%d HDLC %s len=%u %s", channel, i % 2 ? "RX" : "TX",
                            84 + Pick(1400), Hex(frame, 30).c_str()));
    Add(kDecoderPpp,
        Format("PPP B%d %s IP len=%u 192.168.%u.%u > 192.168.%u.%u ICMP echo", channel,
               i % 2 ? "RX" : "TX", 84 + Pick(1400), net, i % 2 ? 1 : 2, net, i % 2 ? 2 : 1));
  }
  Add(kDecoderPpp, Format("PPP B%d TX LCP Terminate-Request id=2", channel));
  Add(kDecoderPpp, Format("PPP B%d RX LCP Terminate-Ack id=2", channel));
}

// A whole call, outgoing or incoming, from SETUP to RELEASE COMPLETE.
void LineSimulator::Call(bool outgoing) {
  callRef_ = static_cast<uint8_t>(callRef_ % 127 + 1);
  uint8_t cr = callRef_;
  int channel = 1 + static_cast<int>(Pick(2));
  bool data = Pick(3) != 0;
  bool ppp = data && Pick(2) == 0;
  const char* called = kCalled[Pick(5)];
  const char* calling = kCalling[Pick(5)];
  Element bc = data ? Element{0x04, "\x88\x90", "unrestricted digital, 64 kbit/s"}
                    : Element{0x04, "\x80\x90\xa3", "speech, 64 kbit/s, A-law"};
  Element chi{0x18, std::string(1, static_cast<char>(0x88 | channel)),
              Format("B%d, exclusive", channel)};
  Element calledIe{0x70, std::string("\x81") + called, Format("unknown/ISDN '%s'", called)};
  Element callingIe{0x6C, std::string("\x21\x83") + calling,
                    Format("national/ISDN, allowed, network '%s'", calling)};
  unsigned causeNo = Pick(4) == 0 ? 17 : 16;
  Element cause{0x08, std::string("\x80", 1) + static_cast<char>(0x80 | causeNo),
                causeNo == 16 ? "user, #16 normal call clearing" : "user, #17 user busy"};
  if (outgoing) {
    ++callsOut_;
    Layer3(true, 0x05, "SETUP", cr, true, {bc, chi, callingIe, calledIe});
    Add(kNeedL3, "TIM T303 started (4000 ms)");
    Layer3(false, 0x02, "CALL PROCEEDING", cr, false, {chi});
    Add(kNeedL3, "TIM T303 stopped, T310 started (10000 ms)");
    if (causeNo == 17) {
      Layer3(false, 0x45, "DISCONNECT", cr, false, {cause});
      Layer3(true, 0x4D, "RELEASE", cr, true, {});
      Layer3(false, 0x5A, "RELEASE COMPLETE", cr, false, {});
      return;
    }
    Layer3(false, 0x01, "ALERTING", cr, false, {});
    Layer3(false, 0x07, "CONNECT", cr, false,
           {{0x29, "\x61\x03\x0c\x0e\x1e", "date/time 97-03-12 14:30"}});
    Layer3(true, 0x0F, "CONNECT ACKNOWLEDGE", cr, true, {});
  } else {
    ++callsIn_;
    Add(kDecoderL2, Format("L2D RX UI    SAPI=0 TEI=127 C/R=1 len=%zu (broadcast)",
                           14 + strlen(called) + strlen(calling)));
    Add(kNeedL3, Format("L3E RX SETUP CR=%02X called=%s calling=%s (broadcast)", cr | 0x80, called,
                        calling));
    Add(kDecoderL3Ext, Format("L3E    IE 04 %s, IE 18 B%d, IE 6C '%s', IE 70 '%s'",
                              bc.meaning.c_str(), channel, calling, called));
    if (causeNo == 17) {
      Layer3(true, 0x5A, "RELEASE COMPLETE", cr, false,
             {{0x08, "\x80\x91", "user, #17 user busy"}});
      return;
    }
    Layer3(true, 0x01, "ALERTING", cr, false, {chi});
    Layer3(true, 0x07, "CONNECT", cr, false, {});
    Layer3(false, 0x0F, "CONNECT ACKNOWLEDGE", cr, true, {});
  }
  if (data)
    DataPhase(channel, ppp);
  else
    Add(kDecoderBch, Format("BCH B%d voice connection, A-law transparent, not decoded", channel));
  bool weClear = Pick(2) == 0;
  cause.content[1] = static_cast<char>(0x90);
  cause.meaning = "user, #16 normal call clearing";
  bool originator = outgoing == weClear;
  Layer3(weClear, 0x45, "DISCONNECT", cr, originator, {cause});
  Add(kNeedL3, "TIM T305 started (30000 ms)");
  Layer3(!weClear, 0x4D, "RELEASE", cr, !originator, {});
  Add(kNeedL3, "TIM T305 stopped, T308 started (4000 ms)");
  Layer3(weClear, 0x5A, "RELEASE COMPLETE", cr, originator, {});
  Add(kNeedL3, "TIM T308 stopped");
}

// Chooses the next scenario from the line's state.
void LineSimulator::Plan() {
  if (tei_ < 0) {
    AssignTei();
    return;
  }
  unsigned roll = Pick(10);
  if (roll < 4)
    Call(true);
  else if (roll < 8)
    Call(false);
  else if (established_ && roll == 8)
    Release();
  else if (established_)
    KeepAlive();
  else
    Noise();
}

// Takes queued lines, skipping those no switched-on decoder shows, planning anew when empty.
bool LineSimulator::NextBody(unsigned decoders, std::string& body) {
  if (decoders == 0) return false;
  for (int guard = 0; guard < 100000; ++guard) {
    if (queue_.empty()) Plan();
    Item item = std::move(queue_.front());
    queue_.pop_front();
    if (item.need == 0 || (item.need & decoders)) {
      body = std::move(item.body);
      return true;
    }
  }
  return false;
}

}  // namespace emu
