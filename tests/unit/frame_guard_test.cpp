// The Linux provider adaptor over the real libcapi20, against a remote CAPI server inside the
// test: messages reach the program whole however the TCP stream splits them, impossible
// frames cost only themselves, and the waits neither spin nor hang on a closed connection.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "capi/provider_binding.h"
#include "control/records/control_block.h"
#include "control/records/control_block_internal.h"
#include "support/stdout_capture.h"
#include "support/test_messages.h"

namespace {

using testing_support::Bytes;
using testing_support::DebugInd;
using Clock = std::chrono::steady_clock;
using capi::capiProvider;

// Writes all bytes to the socket.
void SendAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n <= 0) return;
    data += n;
    length -= static_cast<size_t>(n);
  }
}

// Reads exactly length bytes; false at the end of the connection.
bool ReadAll(int fd, uint8_t* data, size_t length) {
  while (length > 0) {
    ssize_t n = recv(fd, data, length, 0);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// A frame of the remote wire: big-endian length counting itself, then the message.
Bytes Frame(const Bytes& message) {
  Bytes frame(message.size() + 2);
  frame[0] = static_cast<uint8_t>(frame.size() >> 8);
  frame[1] = static_cast<uint8_t>(frame.size());
  std::copy(message.begin(), message.end(), frame.begin() + 2);
  return frame;
}

// The remote CAPI server: accepts the library's connections, confirms the registration,
// records what the application puts; the test writes to the application's connection.
struct RemoteServer {
  int listener = -1;
  int port = 0;
  std::atomic<int> application{-1};
  std::mutex putsMutex;
  std::vector<Bytes> puts;

  void Start() {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 4);
    socklen_t size = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    std::thread([this] { AcceptLoop(); }).detach();
  }

  void AcceptLoop() {
    for (;;) {
      int fd = accept(listener, nullptr, nullptr);
      if (fd < 0) return;
      std::thread([this, fd] { Serve(fd); }).detach();
    }
  }

  void Serve(int fd) {
    for (;;) {
      uint8_t head[2];
      if (!ReadAll(fd, head, 2)) return;
      size_t length = static_cast<size_t>((head[0] << 8) | head[1]);
      if (length < 2) return;
      Bytes message(length - 2);
      if (!ReadAll(fd, message.data(), message.size())) return;
      if (message.size() >= 6 && message[4] == 0xF2 && message[5] == 0xFF) {
        Bytes confirm = {10, 0, message[2], message[3], 0xF3, 0xFF, message[6], message[7], 0, 0};
        Bytes frame = Frame(confirm);
        SendAll(fd, frame.data(), frame.size());
        application = fd;
        continue;
      }
      std::lock_guard<std::mutex> hold(putsMutex);
      puts.push_back(message);
    }
  }

  void Send(const Bytes& bytes) { SendAll(application, bytes.data(), bytes.size()); }
};

RemoteServer server;

// CPU time of the process so far, in milliseconds.
long CpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000L +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000L;
}

class FrameGuard : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    server.Start();
    char pattern[] = "/tmp/linkspy-capi-home-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home = pattern;
    std::string config = home + "/.capi20rc";
    FILE* file = std::fopen(config.c_str(), "w");
    std::fprintf(file, "REMOTE rcapi 127.0.0.1 %d\nTRACELEVEL 0\n", server.port);
    std::fclose(file);
    setenv("HOME", home.c_str(), 1);
    unsetenv("LINKSPY_CAPI_LIBRARY");
    control::ResetControlBlock();
    testing_support::StdoutCapture quiet;
    bound = capi::BindCapiProvider() == 0;
  }

  static void TearDownTestSuite() {
    if (bound) capi::ReleaseApplication();
    // The folder holds only the configuration written above: nothing to look into later.
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
  }

  void SetUp() override {
    if (!bound) GTEST_SKIP() << "libcapi20 could not register with the test server";
    for (int i = 0; i < 100 && server.application < 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(server.application.load(), 0);
  }

  // One wait and take; returns the take's result and, in taken, the message's bytes as far as
  // they arrived.
  static uint32_t Receive(Bytes* taken) {
    uint32_t result = capiProvider.CAPI_WAIT_FOR_SIGNAL(capiProvider.applId);
    if (result != 0) return result;
    result = capi::TakeMessage();
    if (result == 0) {
      const uint8_t* m = capiProvider.receivedMessage;
      taken->assign(m, m + capiProvider.receivedLength);
    }
    return result;
  }

  // Takes one message and checks that it is the DEBUG_IND with this text.
  static void ExpectText(const std::string& text) {
    Bytes taken;
    ASSERT_EQ(Receive(&taken), 0u);
    ASSERT_GE(taken.size(), 13u);
    EXPECT_EQ(taken[4], 0x19);
    EXPECT_EQ(std::string(taken.begin() + 13, taken.end()), text);
  }

  static bool bound;
  // The HOME whose .capi20rc points libcapi20 at the test server.
  static std::string home;
};
bool FrameGuard::bound = false;
std::string FrameGuard::home;

TEST_F(FrameGuard, PutMessagesReachTheServerUnchanged) {
  Bytes request = {
      18, 0, static_cast<uint8_t>(capiProvider.applId), 0, 0x18, 0, 0, 0, 1, 4, 0, 0, 1, 2, 3, 4,
      0,  2};
  EXPECT_EQ(capiProvider.CAPI_PUT_MESSAGE(capiProvider.applId, request.data()) & 0xFFFF, 0u);
  for (int i = 0; i < 100; ++i) {
    {
      std::lock_guard<std::mutex> hold(server.putsMutex);
      if (!server.puts.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard<std::mutex> hold(server.putsMutex);
  ASSERT_EQ(server.puts.size(), 1u);
  EXPECT_EQ(server.puts[0], request);
}

TEST_F(FrameGuard, LengthSplitAcrossSegmentsIsWaitedForWithoutSpinning) {
  Bytes frame = Frame(DebugInd("split length"));
  server.Send(Bytes(frame.begin(), frame.begin() + 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // A bounded wait runs out while the frame is incomplete.
  long cpuBefore = CpuMs();
  auto started = Clock::now();
  EXPECT_EQ(capiProvider.waitForSignalWithin(capiProvider.applId, 300), 0x1104u);
  EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(290));
  EXPECT_LT(CpuMs() - cpuBefore, 60);
  // A take without a whole frame reports an empty queue instead of reading a piece.
  const uint8_t* message = nullptr;
  EXPECT_EQ(capiProvider.CAPI_GET_MESSAGE(capiProvider.applId, &message), 0x1104u);
  std::thread rest([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    server.Send(Bytes(frame.begin() + 1, frame.begin() + 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    server.Send(Bytes(frame.begin() + 5, frame.end()));
  });
  started = Clock::now();
  cpuBefore = CpuMs();
  ExpectText("split length");
  EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(390));
  EXPECT_LT(CpuMs() - cpuBefore, 60);
  rest.join();
}

TEST_F(FrameGuard, BodyStalledLongerThanFiveSecondsStillArrivesWhole) {
  Bytes first = Frame(DebugInd("stalled body"));
  Bytes second = Frame(DebugInd("after the stall"));
  // Split inside the length, then a gap of six seconds inside the body.
  server.Send(Bytes(first.begin(), first.begin() + 1));
  std::thread rest([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.Send(Bytes(first.begin() + 1, first.begin() + 8));
    std::this_thread::sleep_for(std::chrono::milliseconds(6000));
    Bytes tail(first.begin() + 8, first.end());
    tail.insert(tail.end(), second.begin(), second.end());
    server.Send(tail);
  });
  ExpectText("stalled body");
  ExpectText("after the stall");
  rest.join();
}

TEST_F(FrameGuard, ImpossibleFramesAreDroppedAsProviderErrors) {
  Bytes oversized(5000 - 2, 'x');
  oversized[0] = 0x88;
  oversized[1] = 0x13;  // the CAPI length claims the same
  Bytes big = Frame(oversized);
  Bytes tiny = {0, 4, 0x19, 0x02};
  Bytes good = Frame(DebugInd("after the oversized frame"));
  // The big frame comes in two pieces, the second after the take has refused it.
  server.Send(Bytes(big.begin(), big.begin() + 3000));
  std::thread rest([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Bytes tail(big.begin() + 3000, big.end());
    tail.insert(tail.end(), tiny.begin(), tiny.end());
    tail.insert(tail.end(), good.begin(), good.end());
    server.Send(tail);
  });
  Bytes taken;
  EXPECT_EQ(Receive(&taken), 0x1108u);
  EXPECT_EQ(Receive(&taken), 0x1108u);
  ExpectText("after the oversized frame");
  rest.join();
}

TEST_F(FrameGuard, MessageClaimingMoreThanItsFrameIsBoundByTheFrame) {
  // Back to back: long texts, each followed by a message whose length word and text length
  // claim as much while its frame carries only "abc". The library reads the short one over
  // the long one's bytes; nothing of those may count as the short one's.
  Bytes longOne = DebugInd("12:00:00.000 L2D GOOD 000000 SECRET");
  Bytes shortOne = DebugInd("abc");
  shortOne[0] = longOne[0];
  shortOne[10] = longOne[10];
  // The library puts its application number into what it hands over.
  for (Bytes* m : {&longOne, &shortOne}) {
    (*m)[2] = static_cast<uint8_t>(capiProvider.applId);
    (*m)[3] = static_cast<uint8_t>(capiProvider.applId >> 8);
  }
  Bytes burst;
  for (int i = 0; i < 50; ++i) {
    for (const Bytes* m : {&longOne, &shortOne}) {
      Bytes frame = Frame(*m);
      burst.insert(burst.end(), frame.begin(), frame.end());
    }
  }
  server.Send(burst);
  for (int i = 0; i < 50; ++i) {
    Bytes taken;
    ASSERT_EQ(Receive(&taken), 0u);
    ASSERT_EQ(taken, longOne);
    ASSERT_EQ(Receive(&taken), 0u);
    ASSERT_EQ(taken, shortOne) << "message " << i;
  }
}

TEST_F(FrameGuard, FloodSplitAnywhereArrivesCompleteAndInOrder) {
  constexpr int kMessages = 100000;
  std::thread sender([] {
    // Batches cut at odd places, so that lengths and bodies straddle segments.
    Bytes batch;
    for (int i = 0; i < kMessages; ++i) {
      char text[32];
      std::snprintf(text, sizeof text, "12:00:00.000 L2D %06d", i);
      Bytes frame = Frame(DebugInd(text));
      batch.insert(batch.end(), frame.begin(), frame.end());
      if (batch.size() > 7919 || i == kMessages - 1) {
        size_t cut = 1 + static_cast<size_t>(i % 37);
        server.Send(Bytes(batch.begin(), batch.begin() + cut));
        server.Send(Bytes(batch.begin() + cut, batch.end()));
        batch.clear();
      }
    }
  });
  int next = 0;
  for (; next < kMessages; ++next) {
    Bytes taken;
    uint32_t result = Receive(&taken);
    if (result != 0) {
      ADD_FAILURE() << "take failed with " << std::hex << result << " at message " << std::dec
                    << next;
      break;
    }
    char expected[32];
    std::snprintf(expected, sizeof expected, "12:00:00.000 L2D %06d", next);
    if (std::string(taken.begin() + 13, taken.end()) != expected) {
      ADD_FAILURE() << "message " << next << " out of order";
      break;
    }
  }
  sender.join();
  EXPECT_EQ(next, kMessages);
}

// Last: the server drops the connection in the middle of a frame.
TEST_F(FrameGuard, APassTakesAllThatArrivedAndTheNextWaitFindsWhatCameAfter) {
  // 120 frames in one segment, more than one peek holds: one wait, then every one of them.
  Bytes burst;
  for (int i = 0; i < 120; ++i) {
    Bytes frame = Frame(DebugInd("burst " + std::to_string(i) + std::string(40, '.')));
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  ASSERT_GT(burst.size(), 4096u);
  server.Send(burst);
  ASSERT_EQ(capiProvider.waitForSignalWithin(capiProvider.applId, 10000), 0u);
  int taken = 0;
  do {
    ASSERT_EQ(capi::TakeMessage(), 0u) << taken;
    std::string text(capiProvider.receivedMessage + 13,
                     capiProvider.receivedMessage + capiProvider.receivedLength);
    EXPECT_EQ(text, "burst " + std::to_string(taken) + std::string(40, '.'));
  } while (++taken < 200 && capi::MessageWaiting());
  EXPECT_EQ(taken, 120);
  // Once all that the socket held is taken, nothing is said to wait, and the next frame is the
  // next wait's to find, even when it arrived before the wait began.
  server.Send(Frame(DebugInd("after the pass")));
  ExpectText("after the pass");
}

TEST_F(FrameGuard, ZClosedConnectionEndsTheWaitAndReportsTheLinkLost) {
  Bytes frame = Frame(DebugInd("never completed"));
  server.Send(Bytes(frame.begin(), frame.begin() + 6));
  std::thread closer([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    shutdown(server.application, SHUT_RDWR);
  });
  long cpuBefore = CpuMs();
  EXPECT_EQ(capiProvider.CAPI_WAIT_FOR_SIGNAL(capiProvider.applId), 0u);
  const uint8_t* message = nullptr;
  EXPECT_EQ(capiProvider.CAPI_GET_MESSAGE(capiProvider.applId, &message), capi::kProviderLinkLost);
  // And again: every later wait returns at once, every take reports the same.
  EXPECT_EQ(capiProvider.waitForSignalWithin(capiProvider.applId, 1000), 0u);
  EXPECT_EQ(capiProvider.CAPI_GET_MESSAGE(capiProvider.applId, &message), capi::kProviderLinkLost);
  EXPECT_LT(CpuMs() - cpuBefore, 100);
  closer.join();
}

}  // namespace
