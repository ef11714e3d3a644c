// host-sim's machine: how it reads the plug-in's G-code, fires from the trigger bits and
// renders the dots.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "host/Machine.h"

namespace {

class MachineTest : public ::testing::Test {
 protected:
  void SetBit(int bit) { driver_->TriggerBits[bit / 32] |= 1u << (bit % 32); }

  std::unique_ptr<DriverState> driver_ = std::make_unique<DriverState>();
  host::Machine machine_{10.0, 10.0};  // 10 steps per unit
};

TEST_F(MachineTest, ReturnMoveWrittenWithoutBlanksGoesBackToTheOrigin) {
  ASSERT_TRUE(machine_.Execute("G1 X10.0000 F100.0000", 0, *driver_));
  ASSERT_TRUE(machine_.Execute("G1 Y0.5000", 0, *driver_));
  ASSERT_TRUE(machine_.Execute("G0X0Y0 M5", -1, *driver_));

  EXPECT_EQ(machine_.x(), 0.0);
  EXPECT_EQ(machine_.y(), 0.0);
  const double expected = (10.0 + 0.5 + std::hypot(10.0, 0.5)) / 100.0 * 60.0;
  EXPECT_NEAR(machine_.summary().seconds, expected, 1e-9);
  EXPECT_EQ(machine_.summary().codeLines, 3);
  EXPECT_EQ(machine_.summary().rasterLines, 1);
}

TEST_F(MachineTest, FiresAtTheSetBitsOfAFeedMoveOnlyInTriggerModeZero) {
  for (int bit : {0, 2, 9, 10}) SetBit(bit);  // bit 10 lies beyond a 10-step move
  machine_.Execute("G1 X1.0000 F60.0000", 0, *driver_);
  EXPECT_EQ(machine_.summary().fires, 3);
  machine_.Execute("G1 X0.0000 F60.0000", -1, *driver_);
  EXPECT_EQ(machine_.summary().fires, 3);
  machine_.Execute("G0 X1", 0, *driver_);  // a rapid move never fires
  EXPECT_EQ(machine_.summary().fires, 3);
}

TEST_F(MachineTest, ForwardAndReverseLinesPutTheirDotsWhereTheMachineWas) {
  SetBit(0);
  machine_.Execute("G1 X1.0000 F60.0000", 0, *driver_);  // bit 0 at the start, X = 0
  machine_.Execute("G1 Y0.5000", 0, *driver_);
  machine_.Execute("G1 X0.0000 F60.0000", 0, *driver_);  // bit 0 at the start, X = 1

  const host::GrayPicture picture = machine_.Render();
  constexpr int kMargin = 8;
  const int bottom = picture.height - 1 - kMargin;  // the line at Y 0
  const int top = bottom - 5;                       // the line at Y 0.5, 10 px per unit
  EXPECT_EQ(picture.At(kMargin + 0, bottom), 255);
  EXPECT_EQ(picture.At(kMargin + 1, bottom), 0);
  EXPECT_EQ(picture.At(kMargin + 9, top), 255);
  EXPECT_EQ(picture.At(kMargin + 0, top), 0);
}

TEST_F(MachineTest, LinesItDoesNotUnderstandAreRefused) {
  EXPECT_FALSE(machine_.Execute("G1 X1 Q7", 0, *driver_));
  EXPECT_FALSE(machine_.Execute("hello", 0, *driver_));
  EXPECT_FALSE(machine_.Execute("G1 X0x1F", 0, *driver_));
  EXPECT_EQ(machine_.x(), 0.0);
}

}  // namespace
