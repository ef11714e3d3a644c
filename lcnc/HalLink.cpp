#include "lcnc/HalLink.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <new>
#include <thread>

#ifndef ULAPI
#define ULAPI
#endif
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#include <rtapi.h>
#pragma GCC diagnostic pop

namespace lcnc {

static_assert(offsetof(DriverState, TriggerBits) == 0, "the trigger bits open the shared block");
static_assert(sizeof(DriverState) <= ENGRAVE_TRIGGER_DRIVER_BYTES, "DriverState must fit");
static_assert(sizeof(engrave_trigger_control) <= ENGRAVE_TRIGGER_CONTROL_BYTES,
              "the control block must fit");
static_assert(kTriggerWordCount == ENGRAVE_TRIGGER_WORDS, "one buffer size on both sides");

namespace {

// Whether the process that recorded itself as the buffer's owner still runs engrave-lcnc: a
// dead owner's pid may since belong to another program.
bool OwnerRuns(int pid) {
  if (pid <= 0) return false;
  if (kill(pid, 0) != 0 && errno == ESRCH) return false;
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  return !std::getline(comm, name) || name == "engrave-lcnc";
}

}  // namespace

engrave_trigger_control* TriggerBuffer::control() const {
  return ENGRAVE_TRIGGER_CONTROL(base_);
}

TriggerBuffer::~TriggerBuffer() {
  if (base_ != nullptr) {
    Disarm(0.1);
    SetRasterLine(-1);
    int self = int(getpid());
    __atomic_compare_exchange_n(&control()->owner_pid, &self, 0, false, __ATOMIC_ACQ_REL,
                                __ATOMIC_ACQUIRE);
  }
  if (driver_ != nullptr) driver_->~DriverState();
  if (shmId_ >= 0) rtapi_shmem_delete(shmId_, moduleId_);
  if (moduleId_ >= 0) rtapi_exit(moduleId_);
}

bool TriggerBuffer::Map(std::string* error) {
  moduleId_ = rtapi_init("engrave-lcnc");
  if (moduleId_ < 0) {
    *error = "cannot reach LinuxCNC's realtime shared memory (is LinuxCNC running?)";
    moduleId_ = -1;
    return false;
  }
  // rtapi_shmem_new makes the block when nobody has: only the component's magic tells that
  // engrave_trigger made it and runs.
  shmId_ = rtapi_shmem_new(ENGRAVE_TRIGGER_SHM_KEY, moduleId_, ENGRAVE_TRIGGER_SHM_BYTES);
  if (shmId_ < 0) {
    *error = "the engrave_trigger component's buffer cannot be mapped (is it loaded?)";
    shmId_ = -1;
    return false;
  }
  void* base = nullptr;
  const engrave_trigger_control* found = nullptr;
  if (rtapi_shmem_getptr(shmId_, &base) == 0 && base != nullptr)
    found = ENGRAVE_TRIGGER_CONTROL(base);
  if (found == nullptr ||
      __atomic_load_n(&found->magic, __ATOMIC_ACQUIRE) != ENGRAVE_TRIGGER_MAGIC ||
      found->version != ENGRAVE_TRIGGER_VERSION || found->words != ENGRAVE_TRIGGER_WORDS) {
    *error = found != nullptr && found->magic == ENGRAVE_TRIGGER_MAGIC
                 ? "the loaded engrave_trigger does not match this engrave-lcnc (reinstall both)"
                 : "the engrave_trigger component is not loaded (no loadrt engrave_trigger in HAL)";
    rtapi_shmem_delete(shmId_, moduleId_);
    shmId_ = -1;
    return false;
  }
  engrave_trigger_control* ctl = ENGRAVE_TRIGGER_CONTROL(base);
  // One host at a time: an owner that still runs keeps the buffer; a dead one is replaced.
  const int self = int(getpid());
  int owner = __atomic_load_n(&ctl->owner_pid, __ATOMIC_ACQUIRE);
  while (owner != self) {
    if (OwnerRuns(owner)) {
      *error = "another engrave-lcnc (process " + std::to_string(owner) +
               ") is using the trigger component";
      rtapi_shmem_delete(shmId_, moduleId_);
      shmId_ = -1;
      return false;
    }
    if (__atomic_compare_exchange_n(&ctl->owner_pid, &owner, self, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE))
      break;
  }
  base_ = base;
  // A dead host's last arming is withdrawn; the component then takes new moves again. Once it
  // has let go of that move, the move's record is final: what its line fired is kept.
  __atomic_store_n(&ctl->arm_move, 0u, __ATOMIC_RELEASE);
  Beat();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  while (__atomic_load_n(&ctl->ack_move, __ATOMIC_ACQUIRE) != 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Beat();
  }
  driver_ = new (base_) DriverState{};
  lastMove_ = __atomic_load_n(&ctl->ack_move, __ATOMIC_ACQUIRE);
  return true;
}

void TriggerBuffer::Beat() {
  if (base_ == nullptr) return;
  // Any thread may beat; 0 means "no host yet" to the component.
  if (__atomic_add_fetch(&control()->heartbeat, 1u, __ATOMIC_ACQ_REL) == 0)
    __atomic_add_fetch(&control()->heartbeat, 1u, __ATOMIC_ACQ_REL);
}

void TriggerBuffer::Arm(int direction, bool pulseMode, const MoveTag& tag) {
  if (base_ == nullptr) return;
  engrave_trigger_control* ctl = control();
  // The record is cleared before it is tagged: a host dying in between leaves an empty record
  // with the previous tag, never the previous record with this tag.
  std::memset(ENGRAVE_TRIGGER_FIRED(base_), 0, ENGRAVE_TRIGGER_WORDS * 4);
  __atomic_thread_fence(__ATOMIC_RELEASE);
  ctl->job = tag.job;
  ctl->job_line = tag.line;
  ctl->job_bit_shift = tag.bitShift;
  ctl->direction = direction < 0 ? -1 : 1;
  ctl->pulse_mode = pulseMode ? 1u : 0u;
  armedMove_ = ++lastMove_ == 0 ? ++lastMove_ : lastMove_;
  Beat();
  // The bits, the cleared record and the move's settings must be visible before the move.
  __atomic_store_n(&ctl->arm_move, armedMove_, __ATOMIC_RELEASE);
}

bool TriggerBuffer::Disarm(double timeoutSeconds) {
  if (base_ == nullptr) return true;
  engrave_trigger_control* ctl = control();
  __atomic_store_n(&ctl->arm_move, 0u, __ATOMIC_RELEASE);
  armedMove_ = 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (__atomic_load_n(&ctl->ack_move, __ATOMIC_ACQUIRE) != 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    Beat();
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

bool TriggerBuffer::Tripped() const {
  return base_ != nullptr && armedMove_ != 0 &&
         __atomic_load_n(&control()->tripped_move, __ATOMIC_ACQUIRE) == armedMove_;
}

MoveRecord TriggerBuffer::Record() const {
  MoveRecord record;
  if (base_ == nullptr) return record;
  const engrave_trigger_control* ctl = control();
  record.steps = __atomic_load_n(&ctl->move_steps, __ATOMIC_RELAXED);
  record.retraced = __atomic_load_n(&ctl->move_retraced, __ATOMIC_RELAXED);
  record.fires = __atomic_load_n(&ctl->move_fires, __ATOMIC_RELAXED);
  record.overrun = __atomic_load_n(&ctl->move_overrun, __ATOMIC_RELAXED);
  record.firstStepNs = __atomic_load_n(&ctl->move_first_ns, __ATOMIC_RELAXED);
  record.lastStepNs = __atomic_load_n(&ctl->move_last_ns, __ATOMIC_RELAXED);
  return record;
}

const uint32_t* TriggerBuffer::fired() const {
  return base_ != nullptr ? ENGRAVE_TRIGGER_FIRED(base_) : nullptr;
}

int64_t TriggerBuffer::LastFiredStep() const {
  if (base_ == nullptr) return -1;
  const uint32_t* words = ENGRAVE_TRIGGER_FIRED(base_);
  for (int64_t w = ENGRAVE_TRIGGER_WORDS - 1; w >= 0; --w) {
    // The component sets bits while we read: a word read once is a lower bound, as wanted.
    const uint32_t word = __atomic_load_n(&words[w], __ATOMIC_RELAXED);
    if (word != 0) return 32 * w + 31 - __builtin_clz(word);
  }
  return -1;
}

ArmedMoveRecord TriggerBuffer::LastArmed() const {
  ArmedMoveRecord record;
  if (base_ == nullptr) return record;
  const engrave_trigger_control* ctl = control();
  record.tag.job = ctl->job;
  record.tag.line = ctl->job_line;
  record.tag.bitShift = ctl->job_bit_shift;
  record.lastFired = LastFiredStep();
  return record;
}

bool TriggerBuffer::ReadCapture(AxisCapture* capture) const {
  if (base_ == nullptr) return false;
  const engrave_trigger_control* ctl = control();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const unsigned before = __atomic_load_n(&ctl->capture_seq, __ATOMIC_ACQUIRE);
    if (before == 0) return false;
    if (before % 2 != 0) continue;  // being written just now
    capture->xCounts = __atomic_load_n(&ctl->captured_x_counts, __ATOMIC_RELAXED);
    capture->yCounts = __atomic_load_n(&ctl->captured_y_counts, __ATOMIC_RELAXED);
    __atomic_load(&ctl->captured_x_pos_cmd, &capture->xPosCmd, __ATOMIC_RELAXED);
    __atomic_load(&ctl->captured_y_pos_cmd, &capture->yPosCmd, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (__atomic_load_n(&ctl->capture_seq, __ATOMIC_RELAXED) == before) return true;
  }
  return false;
}

double TriggerBuffer::xIdleSeconds() const {
  return base_ != nullptr ? double(__atomic_load_n(&control()->x_idle_ns, __ATOMIC_RELAXED)) / 1e9
                          : 0.0;
}

double TriggerBuffer::yIdleSeconds() const {
  return base_ != nullptr ? double(__atomic_load_n(&control()->y_idle_ns, __ATOMIC_RELAXED)) / 1e9
                          : 0.0;
}

bool TriggerBuffer::cycleStartPin() const {
  return base_ != nullptr && (__atomic_load_n(&control()->buttons, __ATOMIC_RELAXED) & 1u);
}

bool TriggerBuffer::resetPin() const {
  return base_ != nullptr && (__atomic_load_n(&control()->buttons, __ATOMIC_RELAXED) & 2u);
}

void TriggerBuffer::SetRasterLine(int32_t line) {
  if (base_ != nullptr) __atomic_store_n(&control()->host_raster_line, line, __ATOMIC_RELAXED);
}

void TriggerBuffer::ResetStepping() {
  if (base_ == nullptr) return;
  engrave_trigger_control* ctl = control();
  __atomic_store_n(&ctl->stamp_epoch, __atomic_load_n(&ctl->stamp_epoch, __ATOMIC_RELAXED) + 1,
                   __ATOMIC_RELEASE);
}

SteppingRecord TriggerBuffer::Stepping() const {
  SteppingRecord record;
  if (base_ == nullptr) return record;
  const engrave_trigger_control* ctl = control();
  // Until the component has seen the new epoch (at the first step), the record is the old one.
  if (__atomic_load_n(&ctl->seen_epoch, __ATOMIC_ACQUIRE) !=
      __atomic_load_n(&ctl->stamp_epoch, __ATOMIC_RELAXED))
    return record;
  record.firstNs = __atomic_load_n(&ctl->x_first_ns, __ATOMIC_RELAXED);
  record.lastNs = __atomic_load_n(&ctl->x_last_ns, __ATOMIC_RELAXED);
  const unsigned count = __atomic_load_n(&ctl->gap_count, __ATOMIC_ACQUIRE);
  const unsigned kept = count < ENGRAVE_TRIGGER_GAP_SLOTS ? count : ENGRAVE_TRIGGER_GAP_SLOTS;
  for (unsigned i = count - kept; i < count; ++i)
    record.gapsMs.push_back(ctl->gaps_ns[i % ENGRAVE_TRIGGER_GAP_SLOTS] / 1e6);
  return record;
}

}  // namespace lcnc
