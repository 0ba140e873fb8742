// A termination signal ends blocked key and line reads promptly and is noted for the
// program's own shutdown; once noted, reads keep returning at once.
#include "platform/system.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/console.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(TerminationSignal, WakesABlockedLineReadAndEveryReadAfterIt) {
  platform::StartProcess();
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  dup2(ends[0], 0);  // input that never comes: the write end stays open
  EXPECT_FALSE(platform::TerminationRequested());
  std::thread sender([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kill(getpid(), SIGTERM);
  });
  auto start = Clock::now();
  char line[256];
  int length = platform::ReadLine(line, sizeof line);
  auto waited = Clock::now() - start;
  sender.join();
  EXPECT_EQ(length, -1);
  EXPECT_TRUE(platform::TerminationRequested());
  EXPECT_GE(waited, std::chrono::milliseconds(150));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));

  start = Clock::now();
  EXPECT_FALSE(platform::KeyWaiting(5000));
  EXPECT_EQ(platform::ReadKey(), -1);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  close(ends[1]);
}

}  // namespace
