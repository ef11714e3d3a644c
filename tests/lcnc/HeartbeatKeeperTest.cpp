// The heartbeat that keeps the trigger component's watchdog fed: it goes on while the main loop
// passes or is held on purpose, and stops once the loop has been stuck past the stall limit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "lcnc/HeartbeatKeeper.h"

namespace lcnc {
namespace {

using namespace std::chrono_literals;

class HeartbeatKeeperTest : public ::testing::Test {
 protected:
  // Whether beats still come: two readings 60 ms apart (thirty intervals) differ.
  bool Beating() {
    const long before = beats_.load();
    std::this_thread::sleep_for(60ms);
    return beats_.load() != before;
  }
  // Waits, for at most a few seconds, until the beats stop.
  bool StopsBeating() {
    for (int i = 0; i < 100; ++i)
      if (!Beating()) return true;
    return false;
  }

  std::atomic<long> beats_{0};
  HeartbeatKeeper keeper_{[this] { beats_.fetch_add(1); }, 200ms};
};

TEST_F(HeartbeatKeeperTest, BeatsWhileTheLoopPassesAndStopsWhenItIsStuck) {
  for (int pass = 0; pass < 5; ++pass) {
    keeper_.LoopAlive();
    EXPECT_TRUE(Beating()) << "pass " << pass;
  }
  EXPECT_TRUE(StopsBeating()) << "a stuck loop kept the watchdog fed";
  keeper_.LoopAlive();
  EXPECT_TRUE(Beating()) << "a loop that passes again is not fed";
}

TEST_F(HeartbeatKeeperTest, AHoldBeatsWhateverTheLoopDoes) {
  {
    const HeartbeatKeeper::Hold hold(keeper_);
    std::this_thread::sleep_for(400ms);  // twice the stall limit without a pass
    EXPECT_TRUE(Beating());
  }
  EXPECT_TRUE(StopsBeating());
}

}  // namespace
}  // namespace lcnc
