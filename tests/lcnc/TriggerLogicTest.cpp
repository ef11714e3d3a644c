// The realtime component's decisions, period by period, without LinuxCNC: a simulated base
// thread of 10 us periods feeds step and direction edges into the same code the component runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "lcnc/trigger_logic.h"

namespace {

constexpr long kPeriodNs = 10000;
constexpr unsigned kStandstillNs = 5000000;  // the component's defaults
constexpr unsigned kWatchdogNs = 100000000;
constexpr unsigned kPulseNs = 40000;

// One component instance: its shared block, its state and a clock of base periods.
class Component {
 public:
  Component()
      : block_(static_cast<char*>(std::calloc(1, ENGRAVE_TRIGGER_SHM_BYTES)), &std::free),
        ctl_(ENGRAVE_TRIGGER_CONTROL(block_.get())),
        bits_(reinterpret_cast<unsigned*>(block_.get())),
        fired_(ENGRAVE_TRIGGER_FIRED(block_.get())) {
    engrave_trigger_init(&state_);
  }

  engrave_trigger_control& control() { return *ctl_; }
  const engrave_trigger_state& state() const { return state_; }
  const engrave_trigger_outputs& out() const { return out_; }
  void SetBit(unsigned step) { bits_[step / 32] |= 1u << (step % 32); }
  bool Fired(unsigned step) const { return (fired_[step / 32] >> (step % 32)) & 1u; }

  void Beat() {
    __atomic_store_n(&ctl_->heartbeat, ++beat_ == 0 ? ++beat_ : beat_, __ATOMIC_RELEASE);
  }
  void Arm(unsigned move, int direction, bool pulse = false) {
    ctl_->direction = direction;
    ctl_->pulse_mode = pulse ? 1 : 0;
    __atomic_store_n(&ctl_->arm_move, move, __ATOMIC_RELEASE);
  }

  // One period with these pin levels; the host beats first when it is alive.
  void Period(bool xStep, bool xReverse, bool yStep = false) {
    if (hostAlive) Beat();
    engrave_trigger_inputs in{};
    in.x_step_level = xStep;
    in.x_dir_level = xReverse;
    in.y_step_level = yStep;
    in.enable_level = enable;
    in.period_ns = kPeriodNs;
    in.now_ns = now_ += kPeriodNs;
    in.pulse_length_ns = kPulseNs;
    in.standstill_limit_ns = kStandstillNs;
    in.watchdog_limit_ns = kWatchdogNs;
    engrave_trigger_period(&state_, ctl_, bits_, fired_, &in, &out_);
    if (out_.fire_level) ++firePeriods;
    if (out_.fire_level && !xStep) ++fireStill;
    if (!out_.fire_level || xStep) fireStill = 0;
    if (fireStill > longestFireStill) longestFireStill = fireStill;
  }
  // A stepgen step: high for one period, low for `space` periods; reverse: dir high.
  void Step(bool reverse = false, int space = 3) {
    Period(true, reverse);
    for (int i = 0; i < space; ++i) Period(false, reverse);
  }
  void Steps(int count, bool reverse = false, int space = 3) {
    for (int i = 0; i < count; ++i) Step(reverse, space);
  }
  void Idle(long periods) {
    for (long i = 0; i < periods; ++i) Period(false, false);
  }

  bool hostAlive = true;
  bool enable = true;
  long firePeriods = 0;
  long fireStill = 0;         // periods in a row with fire high and no X step
  long longestFireStill = 0;  // the longest such run

 private:
  std::unique_ptr<char, decltype(&std::free)> block_;
  engrave_trigger_control* ctl_;
  unsigned* bits_;
  unsigned* fired_;
  engrave_trigger_state state_{};
  engrave_trigger_outputs out_{};
  unsigned beat_ = 0;
  long long now_ = 1000000000;
};

class TriggerLogicTest : public ::testing::Test {
 protected:
  // Every bit set: a move that fires at every step it advances.
  void AllBits(unsigned count) {
    for (unsigned step = 0; step < count; ++step) c_.SetBit(step);
  }
  Component c_;
};

TEST_F(TriggerLogicTest, AnOvershootAndItsReturnFireNothingAndTheMoveGoesOnFromItsGround) {
  for (unsigned step : {0u, 2u, 3u, 7u, 8u, 9u}) c_.SetBit(step);
  c_.Idle(2);
  c_.Arm(1, +1);
  c_.Steps(5);                    // steps 0..4
  c_.Steps(2, /*reverse=*/true);  // back over 4 and 3
  c_.Steps(2);                    // returning over 3 and 4: no new ground
  c_.Steps(5);                    // steps 5..9
  const engrave_trigger_control& ctl = c_.control();
  EXPECT_EQ(ctl.move_steps, 10u);
  EXPECT_EQ(ctl.move_retraced, 4u);
  EXPECT_EQ(ctl.move_fires, 6u);
  for (unsigned step = 0; step < 10; ++step)
    EXPECT_EQ(c_.Fired(step), step == 0 || step == 2 || step == 3 || step >= 7) << step;
}

TEST_F(TriggerLogicTest, AReverseMoveCountsStepsWithTheDirectionPinHigh) {
  AllBits(3);
  c_.Idle(2);
  c_.Arm(1, -1);
  c_.Steps(2);  // forward steps go back over nothing: never new ground for a reverse move
  c_.Steps(5, /*reverse=*/true);
  EXPECT_EQ(c_.control().move_steps, 3u);  // back to the start, then three new steps
  EXPECT_EQ(c_.control().move_fires, 3u);
}

TEST_F(TriggerLogicTest, HoldingABitFireFallsOnceXStandsStillPastTheBound) {
  AllBits(100);
  c_.Idle(2);
  c_.Arm(1, +1);
  c_.Steps(10);
  ASSERT_TRUE(c_.out().fire_level);
  c_.Idle(kStandstillNs / kPeriodNs - 3);  // 3 periods of the last step's space already passed
  EXPECT_TRUE(c_.out().fire_level) << "fell before the bound";
  c_.Idle(2);
  EXPECT_FALSE(c_.out().fire_level) << "still firing past the bound";
  EXPECT_EQ(c_.longestFireStill, long(kStandstillNs / kPeriodNs));
  EXPECT_EQ(c_.control().standstill_drop_count, 1u);
  // A pause that ends: the next step fires from its own bit again, and the record is exact.
  c_.Steps(10);
  EXPECT_TRUE(c_.out().fire_level);
  EXPECT_EQ(c_.control().move_fires, 20u);
}

TEST_F(TriggerLogicTest, PulseModeKeepsItsPulsesAndEndsThem) {
  AllBits(4);
  c_.Idle(2);
  c_.Arm(1, +1, /*pulse=*/true);
  c_.Step(false, 0);
  c_.Idle(10);
  // A pulse of 40 us is four periods long, and nothing fires after it.
  EXPECT_EQ(c_.firePeriods, long(kPulseNs / kPeriodNs));
  EXPECT_FALSE(c_.out().fire_level);
  EXPECT_TRUE(c_.out().is_pulsing);
}

TEST_F(TriggerLogicTest, WithTheMachineNotOnNothingFiresAndNothingIsRecordedAsFired) {
  AllBits(10);
  c_.Idle(2);
  c_.Arm(1, +1);
  c_.Steps(3);
  ASSERT_TRUE(c_.out().fire_level);
  c_.enable = false;
  c_.Period(false, false);
  EXPECT_FALSE(c_.out().fire_level) << "fire must fall in the same period";
  c_.Steps(3);
  EXPECT_EQ(c_.firePeriods, 3 * 4);
  EXPECT_EQ(c_.control().move_fires, 3u);
  EXPECT_EQ(c_.control().move_steps, 6u);
}

TEST_F(TriggerLogicTest, ASilentHostIsDisarmedAndItsMoveIsNeverTakenAgain) {
  AllBits(1000);
  c_.Idle(2);
  c_.Arm(7, +1);
  c_.Steps(10);
  c_.hostAlive = false;  // killed: the heartbeat stands still, the arming word stays
  c_.Idle(kWatchdogNs / kPeriodNs);
  EXPECT_TRUE(c_.out().is_armed) << "disarmed before the watchdog's time";
  c_.Idle(1);
  EXPECT_FALSE(c_.out().is_armed);
  EXPECT_FALSE(c_.out().host_is_alive);
  const engrave_trigger_control& ctl = c_.control();
  EXPECT_EQ(ctl.tripped_move, 7u);
  EXPECT_EQ(ctl.watchdog_trip_count, 1u);
  EXPECT_EQ(__atomic_load_n(&ctl.ack_move, __ATOMIC_ACQUIRE), 0u);
  // Anyone's later move fires nothing, even with a host beating again under the old arming.
  const long firedBeforeTrip = c_.firePeriods;
  c_.Steps(20);
  c_.hostAlive = true;
  c_.Steps(20);
  EXPECT_EQ(c_.firePeriods, firedBeforeTrip) << "fires after the trip";
  EXPECT_FALSE(c_.out().is_armed);
  EXPECT_EQ(ctl.move_steps, 10u);
  // A new host disarms, then arms a move of its own: taken.
  c_.Arm(0, +1);
  c_.Period(false, false);
  EXPECT_EQ(ctl.tripped_move, 0u);
  c_.Arm(1, +1);
  c_.Steps(2);
  EXPECT_TRUE(c_.out().is_armed);
  EXPECT_EQ(ctl.move_fires, 2u);
}

// A host held up (or gone) while X goes on along the line: the move fires its own bits on; it
// is disarmed once X stands still, or at once when Y steps.
TEST_F(TriggerLogicTest, ASilentHostsLineRunsOnUntilXStandsOrYSteps) {
  struct Case {
    bool yStep;  // Y steps after the watchdog's time instead of X standing
    long stepsAfter;
  } cases[] = {{false, 200}, {true, 200}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.yStep ? "Y steps" : "X stands");
    Component component;
    for (unsigned step = 0; step < 100000; ++step) component.SetBit(step);
    component.Idle(2);
    component.Arm(3, +1);
    component.Steps(10);
    component.hostAlive = false;
    // Well past the watchdog's time with X stepping all along: still armed, firing its bits.
    component.Steps(int(kWatchdogNs / kPeriodNs / 4) + 10);
    EXPECT_TRUE(component.out().is_armed);
    EXPECT_EQ(component.control().watchdog_trip_count, 0u);
    const unsigned fires = component.control().move_fires;
    EXPECT_EQ(fires, component.control().move_steps);
    if (c.yStep) {
      component.Period(false, false, /*yStep=*/true);
      EXPECT_FALSE(component.out().is_armed) << "Y stepped under a silent host's move";
    } else {
      component.Idle(kStandstillNs / kPeriodNs - 4);  // with the last step's 3 periods: 4.99 ms
      EXPECT_TRUE(component.out().is_armed) << "disarmed before X stood still long enough";
      component.Idle(2);
      EXPECT_FALSE(component.out().is_armed);
    }
    EXPECT_EQ(component.control().watchdog_trip_count, 1u);
    component.Steps(int(c.stepsAfter));
    EXPECT_EQ(component.control().move_fires, fires) << "fires after the trip";
  }
}

TEST_F(TriggerLogicTest, NoArmingIsTakenFromAHostWithoutAHeartbeat) {
  AllBits(10);
  c_.hostAlive = false;
  c_.Arm(1, +1);
  c_.Steps(5);
  EXPECT_FALSE(c_.out().is_armed);
  EXPECT_EQ(c_.firePeriods, 0);
  EXPECT_EQ(__atomic_load_n(&c_.control().ack_move, __ATOMIC_ACQUIRE), 0u);
}

TEST_F(TriggerLogicTest, IdleTimesAndStandstillGapsAreRecordedForTheHost) {
  c_.Idle(2);
  __atomic_store_n(&c_.control().stamp_epoch, 1u, __ATOMIC_RELEASE);
  c_.Steps(3);
  c_.Idle(499);  // 5 ms with the last step's space: a gap
  c_.Steps(2);
  c_.Idle(100);  // 1 ms: the first steps of a move, no gap
  c_.Steps(2);
  for (int i = 0; i < 400; ++i) c_.Period(false, false, /*yStep=*/i == 150);
  const engrave_trigger_control& ctl = c_.control();
  EXPECT_EQ(ctl.seen_epoch, 1u);
  ASSERT_EQ(ctl.gap_count, 1u);
  EXPECT_EQ(ctl.gaps_ns[0], 5020000u);
  EXPECT_GT(ctl.x_last_ns, ctl.x_first_ns);
  EXPECT_EQ(ctl.x_idle_ns, 403u * kPeriodNs);
  EXPECT_EQ(ctl.y_idle_ns, 249u * kPeriodNs);
}

}  // namespace
