// Feeds engrave_trigger's watchdog from a thread of its own while engrave-lcnc's main loop shows
// that it is alive. The watchdog is there for a host that is gone: a process that dies stops
// beating at once, and a main loop stuck for longer than the stall limit stops the beats too. A
// main loop held up for a moment (a LinuxCNC status read waiting on a task that the scheduler
// left behind, a slow file write) no longer cuts the armed line.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace lcnc {

class HeartbeatKeeper {
 public:
  using Clock = std::chrono::steady_clock;

  // beat: proves to the component that the host runs; called on the keeper's thread.
  HeartbeatKeeper(std::function<void()> beat, Clock::duration stallLimit,
                  Clock::duration interval = std::chrono::milliseconds(2));
  ~HeartbeatKeeper();
  HeartbeatKeeper(const HeartbeatKeeper&) = delete;
  HeartbeatKeeper& operator=(const HeartbeatKeeper&) = delete;

  // The main loop made a pass.
  void LoopAlive();

  // While one exists, the beats go on whatever the main loop does: it waits for the operator on
  // purpose (a message box of the plug-in's menu command).
  class Hold {
   public:
    explicit Hold(HeartbeatKeeper& keeper) : keeper_(keeper) {
      keeper_.holds_.fetch_add(1, std::memory_order_acq_rel);
    }
    ~Hold() { keeper_.holds_.fetch_sub(1, std::memory_order_acq_rel); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    HeartbeatKeeper& keeper_;
  };

 private:
  void Run();

  std::function<void()> beat_;
  const Clock::duration stallLimit_;
  const Clock::duration interval_;
  std::atomic<Clock::rep> lastAlive_;
  std::atomic<int> holds_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace lcnc
