// engrave-lcnc's link to the realtime component engrave_trigger: the trigger buffer they share,
// the arming of X moves, the heartbeat that keeps an armed move alive, and what the component
// sees of the machine (the stepgens' counts and commanded positions, the time since the last X
// and Y step, its Cycle Start and Reset pins).
//
// engrave-lcnc has no HAL component of its own: every pin lives on engrave_trigger, which the
// machine's HAL file loads and connects, so nothing of engrave-lcnc stays behind in HAL when it
// dies, and it runs beside any display.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lcnc/trigger_shm.h"
#include "plugin/HostInterface.h"

namespace lcnc {

// What the component recorded of one armed move.
struct MoveRecord {
  uint32_t steps = 0;     // steps that advanced the move
  uint32_t retraced = 0;  // steps back over covered ground, and the return
  uint32_t fires = 0;
  uint32_t overrun = 0;  // advancing steps beyond the last trigger bit
  int64_t firstStepNs = 0;
  int64_t lastStepNs = 0;
};

// The stepgens and the commanded motor positions of one servo period.
struct AxisCapture {
  int32_t xCounts = 0, yCounts = 0;
  double xPosCmd = 0.0, yPosCmd = 0.0;
};

// X stepping since ResetStepping: first and latest step, and the standstills between.
struct SteppingRecord {
  int64_t firstNs = 0, lastNs = 0;
  std::vector<double> gapsMs;  // standstills of 3 ms or more before a step, oldest first
};

// Which raster line an armed move engraves, for whoever must go on after an interruption:
// the engraving (a number of the host's, 0 none), the line (from 0) and the move's step of the
// line's own step 0.
struct MoveTag {
  uint32_t job = 0;
  int32_t line = -1;
  int32_t bitShift = 0;
};

// The last move armed in the component, as it kept it: its tag and the last step that fired
// (in the move's numbering; -1 none).
struct ArmedMoveRecord {
  MoveTag tag;
  int64_t lastFired = -1;
};

class TriggerBuffer {
 public:
  TriggerBuffer() = default;
  ~TriggerBuffer();  // disarms, gives the buffer up
  TriggerBuffer(const TriggerBuffer&) = delete;
  TriggerBuffer& operator=(const TriggerBuffer&) = delete;

  // Maps the component's shared memory and takes it over. False (with a reason) when
  // engrave_trigger is not loaded, or when another engrave-lcnc that still runs holds it;
  // one that died is replaced, its last move disarmed (its record, final, stays until the
  // next arming: LastArmed()).
  bool Map(std::string* error);
  bool mapped() const { return base_ != nullptr; }

  // The host's DriverState, placed at the start of the shared memory so that TriggerBits is
  // the buffer the component fires from.
  DriverState* driver() const { return driver_; }

  // Proves to the component that the host runs; at least every few milliseconds. Any thread.
  void Beat();

  // Arms the component for the next X move: clears the fired record, tags it, then publishes
  // the move. direction: +1 when the move runs forward in stepgen counts.
  void Arm(int direction, bool pulseMode, const MoveTag& tag = {});
  // Disarms at once and waits until the component has seen it (false: it did not answer,
  // its thread does not run).
  bool Disarm(double timeoutSeconds);
  bool armed() const { return armedMove_ != 0; }
  // The component's watchdog disarmed the armed move: the host was silent too long.
  bool Tripped() const;

  MoveRecord Record() const;
  // Bit j set: step j of the last armed move fired. Final after Disarm.
  const uint32_t* fired() const;
  // The last step of the last armed move that fired so far (-1 none); final after Disarm.
  int64_t LastFiredStep() const;
  // The last armed move's tag and record, as the component keeps them.
  ArmedMoveRecord LastArmed() const;

  // A consistent capture of the last servo period; false when the component's servo function
  // does not run (nothing captured yet).
  bool ReadCapture(AxisCapture* capture) const;
  // Thread time since the last X and Y step, in seconds.
  double xIdleSeconds() const;
  double yIdleSeconds() const;
  bool cycleStartPin() const;
  bool resetPin() const;
  void SetRasterLine(int32_t line);

  void ResetStepping();
  SteppingRecord Stepping() const;

 private:
  engrave_trigger_control* control() const;

  int moduleId_ = -1;
  int shmId_ = -1;
  void* base_ = nullptr;
  DriverState* driver_ = nullptr;
  uint32_t armedMove_ = 0;
  uint32_t lastMove_ = 0;
};

}  // namespace lcnc
