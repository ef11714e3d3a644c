// engrave-lcnc's side of HAL: its own pins (Cycle Start, Reset, and what it needs to see that
// the stepgens have caught up), and the trigger buffer that it shares with the realtime
// component engrave_trigger.
#pragma once

#include <cstdint>
#include <string>

#include "lcnc/trigger_shm.h"
#include "plugin/HostInterface.h"

namespace lcnc {

class HalPins {
 public:
  HalPins() = default;
  ~HalPins();  // leaves HAL
  HalPins(const HalPins&) = delete;
  HalPins& operator=(const HalPins&) = delete;

  // Joins HAL as component `name` and makes its pins: name.cycle-start, name.reset (bit in,
  // acting on the rising edge), name.x-counts, name.y-counts (s32 in, from stepgen.N.counts),
  // name.x-pos-cmd, name.y-pos-cmd (float in, from joint.N.motor-pos-cmd), name.raster-line
  // (s32 out, the raster line being engraved, -1 when none).
  bool Open(const std::string& name, std::string* error);
  int componentId() const { return componentId_; }

  bool cycleStart() const;
  bool reset() const;
  int32_t xCounts() const;
  int32_t yCounts() const;
  double xPosCmd() const;
  double yPosCmd() const;
  void setRasterLine(int32_t line);

 private:
  struct Pins;
  int componentId_ = -1;
  Pins* pins_ = nullptr;  // in HAL's shared memory
};

// What the component recorded of one armed move.
struct MoveRecord {
  uint32_t steps = 0;     // steps that advanced the move
  uint32_t retraced = 0;  // steps back over covered ground, and the return
  uint32_t fires = 0;
  uint32_t overrun = 0;  // advancing steps beyond the last trigger bit
  int64_t firstStepNs = 0;
  int64_t lastStepNs = 0;
};

class TriggerBuffer {
 public:
  TriggerBuffer() = default;
  ~TriggerBuffer();
  TriggerBuffer(const TriggerBuffer&) = delete;
  TriggerBuffer& operator=(const TriggerBuffer&) = delete;

  // Maps the component's shared memory. False (with a reason) when engrave_trigger is not
  // loaded: then nothing is mapped.
  bool Map(int halComponentId, std::string* error);
  bool mapped() const { return base_ != nullptr; }

  // The host's DriverState, placed at the start of the shared memory so that TriggerBits is
  // the buffer the component fires from.
  DriverState* driver() const { return driver_; }

  // Arms the component for the next X move: clears the fired record, then publishes the move.
  // direction: +1 when the move runs forward in stepgen counts.
  void Arm(int direction, bool pulseMode);
  // Disarms at once and waits until the component has seen it (false: it did not answer,
  // its thread does not run).
  bool Disarm(double timeoutSeconds);
  bool armed() const { return armedMove_ != 0; }
  uint32_t armedMove() const { return armedMove_; }

  MoveRecord Record() const;
  // Bit j set: step j of the last armed move fired. Final after Disarm.
  const uint32_t* fired() const;
  uint64_t totalSteps() const;

 private:
  int shmId_ = -1;
  int componentId_ = -1;
  void* base_ = nullptr;
  DriverState* driver_ = nullptr;
  uint32_t armedMove_ = 0;
  uint32_t lastMove_ = 0;
};

}  // namespace lcnc
