#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "AllocationProbe.h"
#include "LineTestSupport.h"
#include "ReferenceTriggerLine.h"
#include "engrave/TriggerLine.h"
#include "image/CxImage.h"

using engrave::TriggerLineFiller;
using engrave::TriggerLineInput;

namespace {

std::vector<uint32_t> Fill(const TriggerLineInput& line, const CxImage* picture) {
  std::vector<uint32_t> bits(engrave::kTriggerWords, 0xDEADBEEFu);
  TriggerLineFiller().Fill(line, picture, bits.data());
  return bits;
}

std::vector<uint32_t> Reference(const TriggerLineInput& line, const CxImage* picture) {
  std::vector<uint32_t> bits(engrave::kTriggerWords, 0xDEADBEEFu);
  FillTriggerLineReference(line, picture, bits.data());
  return bits;
}

std::vector<int> Pattern(int32_t steps, int brightness) {
  std::vector<uint32_t> words((steps + 31) / 32 + 1);
  engrave::ComputeFirePattern(steps, brightness, words.data());
  std::vector<int> fires;
  for (int k = 0; k < steps; ++k) fires.push_back((words[k / 32] >> (k % 32)) & 1);
  return fires;
}

TEST(FirePatternTest, SpreadsFiresEvenlyAsTheFloatingPointAccumulationGives) {
  EXPECT_EQ(Pattern(4, 170), (std::vector<int>{0, 1, 0, 1}));
  EXPECT_EQ(Pattern(4, 128), (std::vector<int>{0, 1, 0, 1}));
  std::vector<int> fiftyOne = Pattern(51, 155);
  EXPECT_EQ(std::count(fiftyOne.begin(), fiftyOne.end(), 1), 30);
  EXPECT_EQ(Pattern(1, 254), (std::vector<int>{0}));
  EXPECT_EQ(Pattern(1, 255), (std::vector<int>{1}));
  EXPECT_EQ(Pattern(2, 127), (std::vector<int>{0, 0}));
  EXPECT_EQ(Pattern(2, 128), (std::vector<int>{0, 1}));
  EXPECT_EQ(Pattern(2, 255), (std::vector<int>{1, 1}));
  EXPECT_EQ(Pattern(7, 0), std::vector<int>(7, 0));
}

TEST(TriggerLineTest, WorkedExampleInBothDirections) {
  auto picture = GrayPicture(4, 1, {9, 255, 128, 0});
  TriggerLineInput line = Line(10, 4);
  std::vector<uint32_t> forward = Fill(line, picture.get());
  EXPECT_EQ(forward[0], 11u);
  EXPECT_TRUE(std::all_of(forward.begin() + 1, forward.end(), [](uint32_t w) { return w == 0; }));

  line.scanXTarget = 10.0;
  std::vector<uint32_t> reverse = Fill(line, picture.get());
  EXPECT_EQ(reverse[0], 104u);
  EXPECT_TRUE(std::all_of(reverse.begin() + 1, reverse.end(), [](uint32_t w) { return w == 0; }));
}

// Inverted, each level reads as 255 minus itself: the worked example's black column fires at
// every step, its white one at none, and 128 reads as 127 (n = 3: only the third step fires).
TEST(TriggerLineTest, InvertedTheWorkedExampleFiresItsBlackColumn) {
  auto picture = GrayPicture(4, 1, {9, 255, 128, 0});
  TriggerLineInput line = Line(10, 4);
  line.invert = true;
  EXPECT_EQ(Fill(line, picture.get())[0], (1u << 4) | (1u << 5) | (1u << 6));
  line.scanXTarget = 10.0;
  EXPECT_EQ(Fill(line, picture.get())[0], (1u << 0) | (1u << 1) | (1u << 4));
}

TEST(TriggerLineTest, ColumnsShareTheStepsTwoThreeTwoThree) {
  auto picture = GrayPicture(9, 1, std::vector<uint8_t>(9, 255));
  std::vector<int> fired = FiredSteps(Fill(Line(20, 8.0), picture.get()));
  // Seven columns visited, shares 2,3,2,3,2,3,2 = 17 steps, all fired; the last share never.
  ASSERT_EQ(fired.size(), 17u);
  EXPECT_EQ(fired.back(), 16);
}

TEST(TriggerLineTest, ColumnZeroIsNeverReadWithWholeColumnCounts) {
  // Only column 0 is white: nothing fires in either direction.
  auto picture = GrayPicture(5, 1, {255, 0, 0, 0, 0});
  TriggerLineInput line = Line(50, 5);
  EXPECT_TRUE(FiredSteps(Fill(line, picture.get())).empty());
  line.scanXTarget = 1.0;
  EXPECT_TRUE(FiredSteps(Fill(line, picture.get())).empty());
  // With 4.5 columns a reverse line reaches column 0: its last share (steps 40..49 of 45
  // written) comes from column 0.
  line.imagePixelsX = 4.5;
  line.triggerLineLength = 45;
  std::vector<int> fired = FiredSteps(Fill(line, picture.get()));
  ASSERT_FALSE(fired.empty());
  EXPECT_EQ(fired.front(), 30);
  EXPECT_EQ(fired.back(), 39);
}

TEST(TriggerLineTest, ReadsTheRowUnderTheLineFromTheBottom) {
  auto picture = GrayPicture(3, 300);
  picture->RowAddress(150)[1] = 255;
  picture->RowAddress(150)[2] = 255;
  TriggerLineInput line = Line(30, 3, 300);
  line.scanY = 4.0;  // half of Length 8
  EXPECT_EQ(FiredSteps(Fill(line, picture.get())).size(), 20u);
  line.scanY = 0.0;
  EXPECT_TRUE(FiredSteps(Fill(line, picture.get())).empty());
}

TEST(TriggerLineTest, WithoutAPictureNothingFiresAndTheBufferIsCleared) {
  std::vector<uint32_t> bits = Fill(Line(20000, 400), nullptr);
  EXPECT_TRUE(std::all_of(bits.begin(), bits.end(), [](uint32_t w) { return w == 0; }));
  CxImage empty;
  bits = Fill(Line(20000, 400), &empty);
  EXPECT_TRUE(std::all_of(bits.begin(), bits.end(), [](uint32_t w) { return w == 0; }));
}

TEST(TriggerLineTest, OneColumnOrLessWritesNothing) {
  auto picture = GrayPicture(4, 1, {255, 255, 255, 255});
  EXPECT_TRUE(FiredSteps(Fill(Line(1000, 1.0), picture.get())).empty());
  EXPECT_TRUE(FiredSteps(Fill(Line(1000, 0.0), picture.get())).empty());
  EXPECT_TRUE(FiredSteps(Fill(Line(1000, -3.0), picture.get())).empty());
}

TEST(TriggerLineTest, AFullLineStopsAtTheBufferCapacity) {
  auto white = GrayPicture(1000, 1, std::vector<uint8_t>(1000, 255));
  std::vector<int> fired = FiredSteps(Fill(Line(1024000, 1000), white.get()));
  ASSERT_EQ(fired.size(), 999u * 1024u);
  EXPECT_EQ(fired.back(), 1022975);

  // A line longer than the buffer (possible only by recalculating during a raster) fills the
  // buffer and drops the rest.
  TriggerLineInput tooLong = Line(3000000, 1000);
  std::vector<uint32_t> bits = Fill(tooLong, white.get());
  EXPECT_EQ(FiredSteps(bits).size(), size_t(engrave::kTriggerBitCapacity));
  EXPECT_EQ(bits, Reference(tooLong, white.get()));
}

TEST(TriggerLineTest, ColumnCountsFarBeyondThePictureSkipColumnsWithoutSteps) {
  // Outside the picture every column reads the bottom-left pixel (white here).
  auto picture = GrayPicture(4, 1, {255, 0, 0, 0});
  TriggerLineInput sparse = Line(1000, 1e6);
  std::vector<uint32_t> bits = Fill(sparse, picture.get());
  EXPECT_EQ(FiredSteps(bits).size(), 999u);
  EXPECT_EQ(bits, Reference(sparse, picture.get()));
  // Columns with steps beyond the 32-bit column counter are never reached: the host's tick
  // must still return at once.
  EXPECT_TRUE(FiredSteps(Fill(Line(100, 1e15), picture.get())).empty());
}

// The fast fill against the per-step rule, over pictures of every layout, step counts from a
// fraction of a step to thousands per column, fractional column counts, both directions and
// rows inside and outside the picture.
TEST(TriggerLineTest, MatchesThePerStepRuleBitForBit) {
  std::mt19937 random(20261208);
  auto pick = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  TriggerLineFiller filler;  // one filler, so cached patterns are reused across lines
  for (int round = 0; round < 1500; ++round) {
    const uint32_t width = uint32_t(pick(1, 600));
    const uint32_t height = uint32_t(pick(1, 4));
    const int layout = pick(0, 3);
    const uint32_t depth = layout == 0 ? 8 : layout == 1 ? 24 : layout == 2 ? 4 : 1;
    CxImage picture;
    ASSERT_NE(picture.Create(width, height, depth, 0), nullptr);
    for (int index = 0; index < (depth <= 8 ? (1 << depth) : 0); ++index) {
      picture.SetPaletteColor(uint8_t(index), uint8_t(pick(0, 255)), uint8_t(pick(0, 255)),
                              uint8_t(pick(0, 255)));
    }
    for (uint32_t y = 0; y < height; ++y) {
      uint8_t* row = picture.RowAddress(y);
      for (uint32_t k = 0; k < picture.RowStride(); ++k) {
        // Plenty of pure black and white, the two values with shortcuts.
        const int choice = pick(0, 9);
        row[k] = choice == 0 ? 0 : choice == 1 ? 255 : uint8_t(pick(0, 255));
      }
    }
    if (pick(0, 4) == 0 && depth <= 8) picture.MutableInfo().keyIndex = pick(0, 1);

    TriggerLineInput line;
    const double stepsPerColumn =
        std::pow(10.0, std::uniform_real_distribution<>(-0.7, 3.2)(random));
    line.imagePixelsX = pick(0, 3) == 0
                            ? width + std::uniform_real_distribution<>(-0.9, 3.0)(random)
                            : double(width);
    line.triggerLineLength =
        int32_t(std::min(1100000.0, std::max(0.0, line.imagePixelsX * stepsPerColumn)));
    line.imagePixelsY = height + (pick(0, 3) == 0 ? 2 : 0);
    line.length = 1.0 + pick(0, 8);
    line.scanY = line.length * std::uniform_real_distribution<>(0.0, 1.3)(random);
    line.scanXTarget = pick(0, 1) == 0 ? 0.0 : 10.0;
    line.invert = round % 4 == 3;  // black fires the most

    std::vector<uint32_t> fast(engrave::kTriggerWords, 0xFFFFFFFFu);
    filler.Fill(line, &picture, fast.data());
    ASSERT_EQ(fast, Reference(line, &picture))
        << "round " << round << " invert " << line.invert << " width " << width << " depth "
        << depth << " columns " << line.imagePixelsX << " steps " << line.triggerLineLength
        << " scanY " << line.scanY << " forward " << (line.scanXTarget == 0.0);
  }
}

// Lines of exactly one step per column take a path of their own (whole words of columns read
// straight from the row): wide rows, column counts above and below the picture width, both
// directions, rows outside the picture, pictures whose bytes are not their gray levels.
TEST(TriggerLineTest, OneStepColumnsMatchThePerStepRuleBitForBit) {
  std::mt19937 random(8122026);
  auto pick = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  TriggerLineFiller filler;
  for (int round = 0; round < 400; ++round) {
    const uint32_t width = uint32_t(pick(0, 2) == 0 ? pick(1, 80) : pick(1, 5000));
    const int layout = pick(0, 3);  // gray levels, inverted palette, 24-bit, 1-bit
    const uint32_t depth = layout <= 1 ? 8 : layout == 2 ? 24 : 1;
    CxImage picture;
    ASSERT_NE(picture.Create(width, 2, depth, 0), nullptr);
    if (layout == 0) picture.FillGrayPalette();
    for (int index = 0; index < (depth <= 8 ? (1 << depth) : 0); ++index) {
      const auto level = uint8_t(layout == 1 ? 255 - index : index == 1 ? 255 : 0);
      if (layout != 0) picture.SetPaletteColor(uint8_t(index), level, level, level);
    }
    for (uint32_t y = 0; y < 2; ++y) {
      uint8_t* row = picture.RowAddress(y);
      // Long white and black stretches as well as single white bytes.
      for (uint32_t k = 0; k < picture.RowStride(); ++k) {
        const int choice = pick(0, 99);
        row[k] = choice < 45 ? 255 : choice < 90 ? 0 : uint8_t(pick(0, 255));
      }
    }
    if (pick(0, 5) == 0 && depth <= 8) picture.MutableInfo().keyIndex = pick(0, 1);

    TriggerLineInput line;
    const int columns = pick(0, 2) == 0 ? int(width) : pick(2, int(width) + 300);
    line.imagePixelsX = columns;
    line.triggerLineLength = columns;
    line.imagePixelsY = 2 + (pick(0, 3) == 0 ? 2 : 0);
    line.length = 4.0;
    line.scanY = line.length * std::uniform_real_distribution<>(0.0, 1.5)(random);
    line.scanXTarget = pick(0, 1) == 0 ? 0.0 : 10.0;
    line.invert = round % 4 == 3;

    std::vector<uint32_t> fast(engrave::kTriggerWords, 0xFFFFFFFFu);
    filler.Fill(line, &picture, fast.data());
    ASSERT_EQ(fast, Reference(line, &picture))
        << "round " << round << " invert " << line.invert << " width " << width << " layout "
        << layout << " columns " << columns << " scanY " << line.scanY << " forward "
        << (line.scanXTarget == 0.0);
  }
  // A full buffer of one-step columns on a picture that wide, white and black in turn.
  std::vector<uint8_t> stripes(1024000);
  for (size_t x = 0; x < stripes.size(); ++x) stripes[x] = (x / 7) % 3 == 0 ? 255 : 0;
  auto wide = GrayPicture(1024000, 1, stripes);
  for (const double target : {0.0, 10.0}) {
    for (const bool invert : {false, true}) {
      TriggerLineInput line = Line(1024000, 1024000);
      line.scanXTarget = target;
      line.invert = invert;
      std::vector<uint32_t> fast(engrave::kTriggerWords, 0xFFFFFFFFu);
      filler.Fill(line, wide.get(), fast.data());
      ASSERT_EQ(fast, Reference(line, wide.get())) << "target " << target << " invert " << invert;
    }
  }
}

// Armed, the classic fill has every pattern its columns need: its lines ask the heap for
// nothing, for any mix of step counts, also with columns too long for the pattern cache.
TEST(TriggerLineTest, FillingAllocatesNothingOncePrepared) {
  std::vector<uint8_t> levels(300);
  for (size_t x = 0; x < levels.size(); ++x) levels[x] = uint8_t(x * 7);
  auto picture = GrayPicture(300, 1, levels);
  for (const double stepsPerColumn : {0.5, 1.0, 1.5, 2.5, 10.0, 33.3, 1024.0, 3400.0, 10000.0}) {
    SCOPED_TRACE(stepsPerColumn);
    const double columns =
        std::min(300.0, std::floor(engrave::kTriggerBitCapacity / stepsPerColumn));
    TriggerLineInput line = Line(int32_t(columns * stepsPerColumn), columns);
    std::vector<uint32_t> bits(engrave::kTriggerWords);
    TriggerLineFiller filler;
    filler.Prepare(line);
    AllocationProbe probe;
    for (const double target : {0.0, 10.0}) {
      line.scanXTarget = target;
      filler.Fill(line, picture.get(), bits.data());
    }
    EXPECT_EQ(probe.Largest(), 0u);
  }
}

TEST(TruncateToInt32Test, TruncatesTowardZeroAndGivesTheLowestValueOutsideTheRange) {
  EXPECT_EQ(engrave::TruncateToInt32(2.9), 2);
  EXPECT_EQ(engrave::TruncateToInt32(-2.9), -2);
  EXPECT_EQ(engrave::TruncateToInt32(2147483647.9), INT32_MAX);
  EXPECT_EQ(engrave::TruncateToInt32(2147483648.0), INT32_MIN);
  EXPECT_EQ(engrave::TruncateToInt32(-2147483648.5), INT32_MIN);
  EXPECT_EQ(engrave::TruncateToInt32(std::nan("")), INT32_MIN);
}

}  // namespace
