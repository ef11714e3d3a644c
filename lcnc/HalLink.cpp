#include "lcnc/HalLink.h"

#include <chrono>
#include <cstddef>
#include <cstring>
#include <new>
#include <thread>

#ifndef ULAPI
#define ULAPI
#endif
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#include <hal.h>
#include <rtapi.h>
#pragma GCC diagnostic pop

namespace lcnc {

static_assert(offsetof(DriverState, TriggerBits) == 0, "the trigger bits open the shared block");
static_assert(sizeof(DriverState) <= ENGRAVE_TRIGGER_DRIVER_BYTES, "DriverState must fit");
static_assert(kTriggerWordCount == ENGRAVE_TRIGGER_WORDS, "one buffer size on both sides");

struct HalPins::Pins {
  hal_bit_t* cycleStart;
  hal_bit_t* reset;
  hal_s32_t* xCounts;
  hal_s32_t* yCounts;
  hal_float_t* xPosCmd;
  hal_float_t* yPosCmd;
  hal_s32_t* rasterLine;
};

HalPins::~HalPins() {
  if (componentId_ >= 0) hal_exit(componentId_);
}

bool HalPins::Open(const std::string& name, std::string* error) {
  componentId_ = hal_init(name.c_str());
  if (componentId_ < 0) {
    *error = "cannot join HAL as " + name + " (is LinuxCNC running?)";
    return false;
  }
  pins_ = static_cast<Pins*>(hal_malloc(sizeof(Pins)));
  const char* n = name.c_str();
  const bool made =
      pins_ != nullptr &&
      hal_pin_bit_newf(HAL_IN, &pins_->cycleStart, componentId_, "%s.cycle-start", n) == 0 &&
      hal_pin_bit_newf(HAL_IN, &pins_->reset, componentId_, "%s.reset", n) == 0 &&
      hal_pin_s32_newf(HAL_IN, &pins_->xCounts, componentId_, "%s.x-counts", n) == 0 &&
      hal_pin_s32_newf(HAL_IN, &pins_->yCounts, componentId_, "%s.y-counts", n) == 0 &&
      hal_pin_float_newf(HAL_IN, &pins_->xPosCmd, componentId_, "%s.x-pos-cmd", n) == 0 &&
      hal_pin_float_newf(HAL_IN, &pins_->yPosCmd, componentId_, "%s.y-pos-cmd", n) == 0 &&
      hal_pin_s32_newf(HAL_OUT, &pins_->rasterLine, componentId_, "%s.raster-line", n) == 0;
  if (!made) {
    *error = "cannot make the HAL pins of " + name;
    hal_exit(componentId_);
    componentId_ = -1;
    pins_ = nullptr;
    return false;
  }
  *pins_->rasterLine = -1;
  hal_ready(componentId_);
  return true;
}

bool HalPins::cycleStart() const {
  return pins_ != nullptr && *pins_->cycleStart;
}
bool HalPins::reset() const {
  return pins_ != nullptr && *pins_->reset;
}
int32_t HalPins::xCounts() const {
  return pins_ != nullptr ? *pins_->xCounts : 0;
}
int32_t HalPins::yCounts() const {
  return pins_ != nullptr ? *pins_->yCounts : 0;
}
double HalPins::xPosCmd() const {
  return pins_ != nullptr ? *pins_->xPosCmd : 0.0;
}
double HalPins::yPosCmd() const {
  return pins_ != nullptr ? *pins_->yPosCmd : 0.0;
}
void HalPins::setRasterLine(int32_t line) {
  if (pins_ != nullptr) *pins_->rasterLine = line;
}

namespace {

engrave_trigger_control* Control(void* base) {
  return ENGRAVE_TRIGGER_CONTROL(base);
}

}  // namespace

TriggerBuffer::~TriggerBuffer() {
  if (base_ != nullptr) Disarm(0.1);
  if (driver_ != nullptr) driver_->~DriverState();
  if (shmId_ >= 0) rtapi_shmem_delete(shmId_, componentId_);
}

bool TriggerBuffer::Map(int halComponentId, std::string* error) {
  componentId_ = halComponentId;
  // rtapi_shmem_new makes the block when nobody has: only the component's magic tells that
  // engrave_trigger made it and runs.
  shmId_ = rtapi_shmem_new(ENGRAVE_TRIGGER_SHM_KEY, componentId_, ENGRAVE_TRIGGER_SHM_BYTES);
  if (shmId_ < 0) {
    *error = "the engrave_trigger component's buffer cannot be mapped (is it loaded?)";
    shmId_ = -1;
    return false;
  }
  void* base = nullptr;
  if (rtapi_shmem_getptr(shmId_, &base) != 0 || base == nullptr ||
      __atomic_load_n(&Control(base)->magic, __ATOMIC_ACQUIRE) != ENGRAVE_TRIGGER_MAGIC ||
      Control(base)->version != ENGRAVE_TRIGGER_VERSION ||
      Control(base)->words != ENGRAVE_TRIGGER_WORDS) {
    *error = "the engrave_trigger component is not loaded (no loadrt engrave_trigger in HAL)";
    rtapi_shmem_delete(shmId_, componentId_);
    shmId_ = -1;
    return false;
  }
  base_ = base;
  Control(base_)->arm_move = 0;
  driver_ = new (base_) DriverState{};
  lastMove_ = Control(base_)->ack_move;
  return true;
}

void TriggerBuffer::Arm(int direction, bool pulseMode) {
  if (base_ == nullptr) return;
  engrave_trigger_control* control = Control(base_);
  std::memset(ENGRAVE_TRIGGER_FIRED(base_), 0, ENGRAVE_TRIGGER_WORDS * 4);
  control->direction = direction < 0 ? -1 : 1;
  control->pulse_mode = pulseMode ? 1u : 0u;
  armedMove_ = ++lastMove_ == 0 ? ++lastMove_ : lastMove_;
  // The bits, the cleared record and the move's settings must be visible before the move.
  __atomic_store_n(&control->arm_move, armedMove_, __ATOMIC_RELEASE);
}

bool TriggerBuffer::Disarm(double timeoutSeconds) {
  if (base_ == nullptr) return true;
  engrave_trigger_control* control = Control(base_);
  __atomic_store_n(&control->arm_move, 0u, __ATOMIC_RELEASE);
  armedMove_ = 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (__atomic_load_n(&control->ack_move, __ATOMIC_ACQUIRE) != 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

MoveRecord TriggerBuffer::Record() const {
  MoveRecord record;
  if (base_ == nullptr) return record;
  const engrave_trigger_control* control = Control(base_);
  record.steps = __atomic_load_n(&control->move_steps, __ATOMIC_RELAXED);
  record.retraced = __atomic_load_n(&control->move_retraced, __ATOMIC_RELAXED);
  record.fires = __atomic_load_n(&control->move_fires, __ATOMIC_RELAXED);
  record.overrun = __atomic_load_n(&control->move_overrun, __ATOMIC_RELAXED);
  record.firstStepNs = __atomic_load_n(&control->move_first_ns, __ATOMIC_RELAXED);
  record.lastStepNs = __atomic_load_n(&control->move_last_ns, __ATOMIC_RELAXED);
  return record;
}

const uint32_t* TriggerBuffer::fired() const {
  return base_ != nullptr ? ENGRAVE_TRIGGER_FIRED(base_) : nullptr;
}

uint64_t TriggerBuffer::totalSteps() const {
  return base_ != nullptr ? __atomic_load_n(&Control(base_)->total_steps, __ATOMIC_RELAXED) : 0;
}

}  // namespace lcnc
