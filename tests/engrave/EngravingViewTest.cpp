// The dialog's view of the engraving, its estimate of the time and its hint, worked out here
// another way: every fired step spread over the frame pixels under it.
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "LineTestSupport.h"
#include "engrave/DitherLine.h"
#include "engrave/EngravingView.h"

using engrave::EngravingJob;
using engrave::EngravingView;

namespace {

// The fired share of every frame pixel, from the raster's dots: step j of line k covers X
// [j, j + 1) / stepsPerUnit (from X = width on reverse lines, as FillRaster already turned
// them), Y [scanY_k, scanY_k + step-over); each pixel the fired part of the area under it.
std::vector<double> SharesFromDots(const std::vector<std::vector<uint8_t>>& raster,
                                   const EngravingJob& job, int width, int height) {
  const double length = job.line.length;
  std::vector<double> fired(size_t(width) * height, 0.0), covered(size_t(width) * height, 0.0);
  double scanY = 0.0;
  for (const auto& dots : raster) {
    for (int row = 0; row < height; ++row) {
      const double top = length - row * length / height,
                   bottom = length - (row + 1) * length / height;
      const double dy =
          std::min(top, std::min(scanY + job.line.yStepOver, length)) - std::max(bottom, scanY);
      if (dy <= 0.0) continue;
      for (int column = 0; column < width; ++column) {
        const double left = column * job.width / width, right = (column + 1) * job.width / width;
        // Every step of the line's length, fired or not, covers its share of the pixel.
        const double lineSteps = job.width * job.stepsPerUnitX;
        for (int64_t j = 0; j < int64_t(std::ceil(lineSteps)); ++j) {
          // Forward positions; the steps of a reverse line lie mirrored about the width.
          const bool forward = (&dots - raster.data()) % 2 == 0;
          const double from =
              forward ? j / job.stepsPerUnitX : job.width - (j + 1) / job.stepsPerUnitX;
          const double to =
              forward ? (j + 1) / job.stepsPerUnitX : job.width - j / job.stepsPerUnitX;
          const double dx = std::min(right, to) - std::max(left, from);
          if (dx <= 0.0) continue;
          const size_t pixel = size_t(row) * width + column;
          covered[pixel] += dx * dy;
          const int64_t index = forward ? j : int64_t(dots.size()) - 1 - j;  // dots by X position
          const bool fires = forward ? (j < int64_t(dots.size()) && dots[size_t(j)])
                                     : (index >= 0 && dots[size_t(index)]);
          if (fires) fired[pixel] += dx * dy;
        }
      }
    }
    scanY = scanY + job.line.yStepOver;
  }
  for (size_t i = 0; i < fired.size(); ++i)
    fired[i] = covered[i] > 0.0 ? fired[i] / covered[i] : -1.0;
  return fired;
}

// Classic and dithered, inverted or not, steps per unit that give a whole line or leave part of
// a step over: each frame pixel shows the fired share of the steps the machine fires under it.
TEST(EngravingViewTest, EachPixelIsTheFiredShareOfTheEngravedAreaUnderIt) {
  auto picture = GrayPictureOf(23, 9, [](int x, int y) { return (x * 37 + y * 71) % 256; });
  struct Case {
    bool dithered, inverted;
    double stepsPerUnitX;
  } cases[] = {{false, false, 14.0}, {true, false, 14.0}, {false, true, 9.7}, {true, true, 9.7}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.dithered ? "dithered" : "classic")
                                    << (c.inverted ? " inverted" : "") << ", " << c.stepsPerUnitX);
    EngravingJob job;
    job.width = 5.0;
    job.stepsPerUnitX = c.stepsPerUnitX;
    job.line = Line(int32_t(job.width * c.stepsPerUnitX), 23, 9);
    job.line.length = 3.0;
    job.line.yStepOver = 0.17;
    job.line.invert = c.inverted;
    job.dithered = c.dithered;
    constexpr int kWidth = 13, kHeight = 7;
    EngravingView view;
    view.Start(job, picture.get(), kWidth, kHeight);
    while (view.Advance(std::chrono::seconds(1))) {
    }
    ASSERT_EQ(view.LinesDrawn(), 18);  // 0.17 added 18 times passes 3

    std::vector<std::vector<uint8_t>> raster;
    if (c.dithered) {
      engrave::DitheredLineFiller filler;
      raster = FillRaster(filler, job.line, picture.get(), job.width);
    } else {
      engrave::TriggerLineFiller filler;
      raster = FillRaster(filler, job.line, picture.get(), job.width);
    }
    const std::vector<double> expected = SharesFromDots(raster, job, kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x)
        EXPECT_NEAR(view.Share(x, y), expected[size_t(y) * kWidth + x], 1e-9) << x << ", " << y;
  }
}

// Started at line 9 of 18: the lines before it are neither drawn nor counted, and those after
// look as in the whole raster, the dithered error carried into them included.
TEST(EngravingViewTest, AStartFurtherOnShowsWhatRemainsAsTheWholeRasterDoes) {
  auto picture = GrayPictureOf(23, 9, [](int x, int y) { return (x * 37 + y * 71) % 256; });
  EngravingJob job;
  job.width = 5.0;
  job.stepsPerUnitX = 14.0;
  job.line = Line(70, 23, 9);
  job.line.length = 3.0;
  job.line.yStepOver = 0.17;
  job.dithered = true;
  constexpr int kWidth = 13, kHeight = 9;  // a row is a third of a unit, about two lines
  EngravingView whole, rest;
  whole.Start(job, picture.get(), kWidth, kHeight);
  job.firstLine = 8;  // from Y 1.36 up: rows 0 to 3 lie wholly above, 5 to 8 below
  rest.Start(job, picture.get(), kWidth, kHeight);
  while (whole.Advance(std::chrono::seconds(1)) || rest.Advance(std::chrono::seconds(1))) {
  }
  EXPECT_EQ(rest.Estimate(100.0).lines, 10);
  for (int x = 0; x < kWidth; ++x) {
    for (int y = 0; y <= 3; ++y) EXPECT_EQ(rest.Share(x, y), whole.Share(x, y)) << x << ", " << y;
    for (int y = 5; y < kHeight; ++y) EXPECT_EQ(rest.Share(x, y), -1.0) << x << ", " << y;
  }
}

// Drawn in slices, the view shows the lines it has so far (from the bottom, where the raster
// starts) and leaves the rest of the frame as it was.
TEST(EngravingViewTest, ASliceDrawsSomeLinesAndLeavesTheRestOfTheFrame) {
  auto white = GrayPictureOf(100, 100, [](int, int) { return 255; });
  EngravingJob job;
  job.width = 10.0;
  job.stepsPerUnitX = 10000.0;  // 100,000 steps a line
  job.line = Line(100000, 100, 100);
  job.line.length = 10.0;
  job.line.yStepOver = 0.01;  // 1001 lines
  EngravingView view;
  view.Start(job, white.get(), 40, 40);
  ASSERT_TRUE(view.Advance(std::chrono::nanoseconds(0)));
  ASSERT_TRUE(view.Drawing());
  EXPECT_GE(view.LinesDrawn(), 1);
  EXPECT_LT(view.LinesDrawn(), view.LineCount());

  PixelSurface surface(40, 40);
  std::fill(surface.pixels.begin(), surface.pixels.end(), uint8_t(77));
  view.Paint(surface);
  EXPECT_EQ(surface.Row(39)[3 * 20 + 1], 255);  // the bottom row: white fires at every step
  EXPECT_EQ(surface.Row(0)[3 * 20 + 1], 77);    // the top row: not reached yet
}

// The time of every move at the feed rate, as host-sim sums them: each line's X move across the
// width and Y move of a step-over, then the straight return to X 0, Y 0.
TEST(EngravingViewTest, TheEstimateSumsTheMovesAtTheFeedRate) {
  struct Case {
    double width, length, feed, stepOver;
    int64_t lines;
    double seconds;
    const char* text;
  } cases[] = {
      // Four lines of 2 and a height of 1 at F50 (host-sim's own example: 12 s).
      {2, 1, 50, 0.25, 4, 12.0, "Engraving time: 0:00:12 (4 lines)"},
      // 81 lines (eighty additions of 0.1 stay below 8), ending at X 10, Y 8.1.
      {10, 8, 100, 0.1, 81, (810 + 8.1 + std::hypot(10.0, 8.1)) * 0.6,
       "Engraving time: 0:08:19 (81 lines)"},
      {100, 1, 1, 2, 1, (100 + 2 + std::hypot(100.0, 2.0)) * 60,
       "Engraving time: 3:22:01 (1 line)"},
  };
  for (const Case& c : cases) {
    const engrave::RasterEstimate estimate =
        engrave::EstimateRaster(c.width, c.length, c.feed, c.stepOver);
    EXPECT_TRUE(estimate.runs);
    EXPECT_EQ(estimate.lines, c.lines);
    EXPECT_NEAR(estimate.seconds, c.seconds, 1e-6);
    EXPECT_EQ(engrave::EstimateText(estimate), c.text);
  }
  // Rasters that cannot run have no time.
  for (const auto& [width, length, feed, stepOver] :
       std::vector<std::array<double, 4>>{{0, 8, 100, 0.1},
                                          {10, 8, 0, 0.1},
                                          {10, 8, 100, 0},
                                          {10, -1, 100, 0.1},
                                          {10, 8, 100, std::nan("")}}) {
    const engrave::RasterEstimate estimate = engrave::EstimateRaster(width, length, feed, stepOver);
    EXPECT_FALSE(estimate.runs);
    EXPECT_EQ(engrave::EstimateText(estimate), "Engraving time: -");
  }
}

TEST(EngravingViewTest, TheHintAppearsWhenAClassicColumnHasFewerThanFourSteps) {
  struct Case {
    int32_t steps;
    double columns;
    bool dithered;
    const char* says;  // null: no hint
  } cases[] = {
      {10000, 6000, false,
       "Only 1.67 steps per picture column: the classic fill shows at most 3 gray levels."},
      {3500, 1000, false,
       "Only 3.5 steps per picture column: the classic fill shows at most 5 gray levels."},
      {500, 1000, false,
       "Only 0.5 steps per picture column: the classic fill shows at most 2 gray levels."},
      {10000, 6000, true, nullptr},
      {4000, 1000, false, nullptr},
      {1000, 0, false, nullptr},
  };
  for (const Case& c : cases) {
    const std::string hint = engrave::ClassicFillHint(c.steps, c.columns, c.dithered);
    if (c.says == nullptr) {
      EXPECT_EQ(hint, "") << c.steps << " / " << c.columns;
    } else {
      EXPECT_EQ(hint.rfind(c.says, 0), 0u) << hint;
      EXPECT_NE(hint.find("\"Dithered (photo)\""), std::string::npos) << hint;
    }
  }
}

}  // namespace
