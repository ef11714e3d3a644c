// "Dithered (photo)": the tone of flat gray over many lines, where each column lands in both
// directions, the band of rows a line stands for, inversion, and the limits the classic fill
// also keeps.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "AllocationProbe.h"
#include "LineTestSupport.h"
#include "engrave/DitherLine.h"

using engrave::DitheredLineFiller;
using engrave::TriggerLineInput;

namespace {

// A raster of flat gray: `lines` lines of `columns * stepsPerColumn` steps.
TriggerLineInput FlatRaster(double stepsPerColumn, double columns, int lines) {
  TriggerLineInput line = Line(int32_t(std::lround(columns * stepsPerColumn)), columns, 4.0);
  line.length = 8.0;
  line.yStepOver = line.length / lines;
  return line;
}

double FiredFraction(const std::vector<std::vector<uint8_t>>& raster) {
  double fired = 0.0, dots = 0.0;
  for (const auto& dots_of_line : raster) {
    fired += std::accumulate(dots_of_line.begin(), dots_of_line.end(), 0.0);
    dots += double(dots_of_line.size());
  }
  return fired / dots;
}

std::vector<uint32_t> FillOnce(DitheredLineFiller& filler, const TriggerLineInput& line,
                               const CxImage* picture) {
  std::vector<uint32_t> bits(engrave::kTriggerWords, 0xA5A5A5A5u);
  filler.Fill(line, picture, bits.data());
  return bits;
}

// Step by step (few steps per column, and several columns per step) and by cells (many steps
// per column, and columns split into several cells): the fired share of a flat gray is its
// level, black fires nothing and white every step, and inverted the other way round.
TEST(DitherLineTest, FlatGrayFiresItsShareOverManyLines) {
  struct Case {
    double stepsPerColumn;
    double columns;
  } cases[] = {{0.5, 400}, {1.7, 200}, {10, 40}, {100, 10}, {1500, 3}};
  for (const Case& c : cases) {
    for (const int level : {0, 1, 37, 128, 200, 254, 255}) {
      for (const bool invert : {false, true}) {
        SCOPED_TRACE(testing::Message() << c.stepsPerColumn << " steps per column, level " << level
                                        << (invert ? ", inverted" : ""));
        auto picture = GrayPictureOf(uint32_t(c.columns), 4, [&](int, int) { return level; });
        TriggerLineInput line = FlatRaster(c.stepsPerColumn, c.columns, 200);
        line.invert = invert;
        DitheredLineFiller filler;
        filler.Prepare(line, picture.get());
        const double fraction = FiredFraction(FillRaster(filler, line, picture.get()));
        const double tone = (invert ? 255 - level : level) / 255.0;
        if (tone == 0.0 || tone == 1.0)
          EXPECT_EQ(fraction, tone);
        else
          EXPECT_NEAR(fraction, tone, 0.002);
      }
    }
  }
}

// One white column on black: on forward and on reverse lines its fires lie within its own
// steps, column 0 and the last column included (the classic fill never reads the one and
// never fires the other).
TEST(DitherLineTest, EachColumnLandsAtItsOwnStepsInBothDirections) {
  constexpr int kColumns = 8;
  for (const double stepsPerColumn : {2.5, 10.0, 100.0, 1000.0}) {
    for (const int white : {0, 3, kColumns - 1}) {
      for (const bool forward : {true, false}) {
        SCOPED_TRACE(testing::Message() << stepsPerColumn << " steps per column, column " << white
                                        << (forward ? " forward" : " reverse"));
        auto picture = GrayPictureOf(kColumns, 1, [&](int x, int) { return x == white ? 255 : 0; });
        TriggerLineInput line = Line(int32_t(kColumns * stepsPerColumn), kColumns);
        line.yStepOver = line.length;
        line.scanXTarget = forward ? 0.0 : 10.0;
        DitheredLineFiller filler;
        filler.Prepare(line, picture.get());
        std::vector<int> fired = FiredSteps(FillOnce(filler, line, picture.get()));
        const int steps = line.triggerLineLength;
        if (!forward)
          for (int& step : fired) step = steps - 1 - step;
        ASSERT_FALSE(fired.empty());
        const double first = std::floor(white * stepsPerColumn);
        const double end = std::ceil((white + 1) * stepsPerColumn);
        EXPECT_GE(*std::min_element(fired.begin(), fired.end()), first);
        EXPECT_LT(*std::max_element(fired.begin(), fired.end()), end);
        EXPECT_NEAR(double(fired.size()), stepsPerColumn, 1.0);
      }
    }
  }
}

// A line stands for the band of rows from its Y to the next line's, averaged by area; rows and
// columns beyond the picture (typed pixel counts larger than the picture) read as the classic
// fill reads them, as the bottom-left pixel.
TEST(DitherLineTest, ALineReadsTheAreaOfItsBand) {
  // Rows from the bottom: white, black, white, black; the bottom-left pixel is white.
  auto picture = GrayPictureOf(2, 4, [](int, int y) { return y % 2 == 0 ? 255 : 0; });
  struct Case {
    double rows, scanY, stepOver, columns;
    double tone;
  } cases[] = {
      {4, 0.0, 2.0, 2, 1.0},  // row 0 alone
      {4, 2.0, 2.0, 2, 0.0},  // row 1 alone
      {4, 1.0, 2.0, 2, 0.5},  // half of row 0 and half of row 1
      {4, 0.0, 8.0, 2, 0.5},  // all four rows
      {4, 6.0, 4.0, 2, 0.0},  // row 3, the rest of the band past the raster's rows
      {8, 4.0, 2.0, 2, 1.0},  // rows 4 and 5 of 8 typed: beyond the picture
      {4, 0.0, 2.0, 4, 1.0},  // columns 2 and 3 of 4 typed: beyond the picture
      {4, 2.0, 2.0, 4, 0.5},  // row 1: black columns beside the white outside ones
      {4, 4.0, 0.0, 2, 1.0},  // a line without height reads the row under it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "rows " << c.rows << " scanY " << c.scanY << " step-over "
                                    << c.stepOver << " columns " << c.columns);
    TriggerLineInput line = Line(4000, c.columns, c.rows);
    line.length = 8.0;
    line.scanY = c.scanY;
    line.yStepOver = c.stepOver;
    DitheredLineFiller filler;
    filler.Prepare(line, picture.get());
    EXPECT_NEAR(double(FiredSteps(FillOnce(filler, line, picture.get())).size()) / 4000.0, c.tone,
                0.001);
  }
}

// What the classic fill does at its limits, the dithered one does too: without a picture, past
// the buffer and past the raster's height nothing fires (and the buffer is cleared), while a
// line of exactly 1,024,000 steps fills the whole buffer.
TEST(DitherLineTest, LimitsBehaveAsInTheClassicFill) {
  auto white = GrayPictureOf(1000, 2, [](int, int) { return 255; });
  auto cleared = [](const std::vector<uint32_t>& bits) {
    return std::all_of(bits.begin(), bits.end(), [](uint32_t w) { return w == 0; });
  };
  TriggerLineInput full = Line(engrave::kTriggerBitCapacity, 1000, 2);
  full.yStepOver = 1.0;
  for (const double target : {0.0, 512.0}) {
    full.scanXTarget = target;
    DitheredLineFiller filler;
    filler.Prepare(full, white.get());
    const std::vector<uint32_t> bits = FillOnce(filler, full, white.get());
    EXPECT_TRUE(std::all_of(bits.begin(), bits.end(), [](uint32_t w) { return w == ~0u; }));
  }

  DitheredLineFiller filler;
  filler.Prepare(full, white.get());
  EXPECT_TRUE(cleared(FillOnce(filler, full, nullptr)));
  CxImage empty;
  EXPECT_TRUE(cleared(FillOnce(filler, full, &empty)));

  TriggerLineInput tooLong = full;
  tooLong.triggerLineLength = engrave::kTriggerBitCapacity + 1;
  filler.Prepare(tooLong, white.get());
  EXPECT_TRUE(cleared(FillOnce(filler, tooLong, white.get())));

  TriggerLineInput pastTheEnd = full;
  pastTheEnd.scanY = pastTheEnd.length;  // the fill of the tick that ends the raster
  filler.Prepare(pastTheEnd, white.get());
  EXPECT_TRUE(cleared(FillOnce(filler, pastTheEnd, white.get())));
}

// The dialog's view of the engraving runs a filler of its own from line 0 and must fire what
// the sequence fires; and a raster whose size changed under the filler is prepared afresh
// rather than read with the old one's buffers.
TEST(DitherLineTest, TheSameRasterGivesTheSameBitsAndAChangedOneIsPreparedAgain) {
  auto photo = GrayPictureOf(300, 40, [](int x, int y) { return (x * 7 + y * 13) % 256; });
  for (const double stepsPerColumn : {1.7, 100.0}) {
    TriggerLineInput line = FlatRaster(stepsPerColumn, 300, 60);
    DitheredLineFiller first, second;
    first.Prepare(line, photo.get());
    second.Prepare(line, photo.get());
    const auto raster = FillRaster(first, line, photo.get());
    EXPECT_TRUE(raster == FillRaster(second, line, photo.get()));
    // Prepared again, the same filler starts the raster from its first line.
    second.Prepare(line, photo.get());
    EXPECT_TRUE(raster == FillRaster(second, line, photo.get()));
    // Never prepared for it, a filler prepares itself at the first line.
    DitheredLineFiller unprepared;
    EXPECT_TRUE(raster == FillRaster(unprepared, line, photo.get()));
  }
}

// Arming sizes everything: filling the lines afterwards asks the heap for nothing.
TEST(DitherLineTest, FillingAllocatesNothingOncePrepared) {
  auto photo = GrayPictureOf(500, 30, [](int x, int y) { return (x + 3 * y) % 256; });
  for (const double stepsPerColumn : {0.5, 1.7, 100.0, 2000.0}) {
    SCOPED_TRACE(stepsPerColumn);
    TriggerLineInput line = FlatRaster(stepsPerColumn, 500, 20);
    line.triggerLineLength = std::min(line.triggerLineLength, engrave::kTriggerBitCapacity);
    line.yStepOver = 0.3;  // bands of one, two and three rows
    std::vector<uint32_t> bits(engrave::kTriggerWords);
    DitheredLineFiller filler;
    filler.Prepare(line, photo.get());
    AllocationProbe probe;
    for (double y = 0.0; y < line.length; y += line.yStepOver) {
      line.scanY = y;
      line.scanXTarget = line.scanXTarget == 0.0 ? 10.0 : 0.0;
      filler.Fill(line, photo.get(), bits.data());
    }
    EXPECT_EQ(probe.Largest(), 0u);
  }
}

}  // namespace
