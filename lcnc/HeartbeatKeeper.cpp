#include "lcnc/HeartbeatKeeper.h"

namespace lcnc {

HeartbeatKeeper::HeartbeatKeeper(std::function<void()> beat, Clock::duration stallLimit,
                                 Clock::duration interval)
    : beat_(std::move(beat)),
      stallLimit_(stallLimit),
      interval_(interval),
      lastAlive_(Clock::now().time_since_epoch().count()) {
  thread_ = std::thread([this] { Run(); });
}

HeartbeatKeeper::~HeartbeatKeeper() {
  stop_.store(true, std::memory_order_release);
  thread_.join();
}

void HeartbeatKeeper::LoopAlive() {
  lastAlive_.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
}

void HeartbeatKeeper::Run() {
  while (!stop_.load(std::memory_order_acquire)) {
    const Clock::duration sinceAlive = Clock::now().time_since_epoch() -
                                       Clock::duration(lastAlive_.load(std::memory_order_acquire));
    if (holds_.load(std::memory_order_acquire) > 0 || sinceAlive < stallLimit_) beat_();
    std::this_thread::sleep_for(interval_);
  }
}

}  // namespace lcnc
