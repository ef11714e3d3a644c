// host-sim's --preview and estimate against the same run: the picture the dialog showed of the
// engraving is the dots the machine fired, area-averaged into the frame, and the dialog's time
// is the machining time the machine summed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>

#include "HostSimSupport.h"
#include "TempDir.h"
#include "image/CxImage.h"

namespace {

constexpr int kFrameWidth = 460, kFrameHeight = 448;  // the preview frame inside its border

struct Engraved {
  double width, height, stepOver, stepsPerUnit;
};

// The fired share of each frame pixel, worked out from the trace alone: a line's fired step j
// covers X [j, j + 1) / steps per unit from the start of its move (X = 0 forward, X = width
// on reverse lines), and Y from the line's Y to the next line's.
std::vector<double> SharesFromTrace(const std::string& trace, const Engraved& run) {
  std::map<int, std::set<int>> fired;
  std::vector<double> ys = {0.0};  // the Y of each line: 0, then each Y move's
  for (const std::string& line : Lines(ReadFileText(trace))) {
    const std::vector<std::string> fields = Split(line, '\t');
    if (fields[0] == "bits") fired[std::stoi(fields[1])] = ExpandRanges(fields.at(2));
    if (fields[0] == "code" && fields.at(1).rfind("G1 Y", 0) == 0)
      ys.push_back(std::stod(fields[1].substr(4)));
  }
  std::vector<double> area(size_t(kFrameWidth) * kFrameHeight, 0.0);
  std::vector<double> rowHeight(kFrameHeight, 0.0);
  const double columnWidth = run.width / kFrameWidth, rowSpan = run.height / kFrameHeight;
  for (const auto& [k, steps] : fired) {
    const double low = ys[size_t(k)], high = std::min(low + run.stepOver, run.height);
    std::vector<double> columnFired(kFrameWidth, 0.0);
    for (const int step : steps) {
      double from = step / run.stepsPerUnit, to = (step + 1) / run.stepsPerUnit;
      if (k % 2 == 1) std::tie(from, to) = std::pair(run.width - to, run.width - from);
      for (int c = int(from / columnWidth); c < kFrameWidth && c * columnWidth < to; ++c)
        columnFired[c] += std::min(to, (c + 1) * columnWidth) - std::max(from, c * columnWidth);
    }
    for (int r = 0; r < kFrameHeight; ++r) {
      const double dy =
          std::min(high, run.height - r * rowSpan) - std::max(low, run.height - (r + 1) * rowSpan);
      if (dy <= 0.0) continue;
      rowHeight[r] += dy;
      for (int c = 0; c < kFrameWidth; ++c)
        area[size_t(r) * kFrameWidth + c] += dy * columnFired[c] / columnWidth;
    }
  }
  for (int r = 0; r < kFrameHeight; ++r)
    for (int c = 0; c < kFrameWidth; ++c) area[size_t(r) * kFrameWidth + c] /= rowHeight[r];
  return area;
}

double Seconds(const std::string& text) {
  int hours = 0, minutes = 0;
  double seconds = 0.0;
  std::sscanf(text.c_str(), "%d:%d:%lf", &hours, &minutes, &seconds);
  return hours * 3600.0 + minutes * 60.0 + seconds;
}

// After a marker in host-sim's summary, the time that follows it.
std::string TimeAfter(const std::string& out, const std::string& marker) {
  const size_t at = out.find(marker);
  if (at == std::string::npos) return "";
  const size_t start = at + marker.size();
  return out.substr(start, out.find_first_of(" \n", start) - start);
}

class PreviewTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

// Classic and dithered, inverted, at 10 and at 3 steps per picture column (the built-in
// sample's 100 columns), on lines of a step-over that does not divide the height.
TEST_F(PreviewTest, ThePreviewIsTheTracesDotsAndTheEstimateTheMachiningTime) {
  struct Case {
    std::string options;
    Engraved run;
  } cases[] = {
      {"", {10, 8, 0.05, 100}},
      {" --dither", {10, 8, 0.05, 100}},
      {" --width 3 --stepover 0.13", {3, 8, 0.13, 100}},
      {" --dither --invert --width 3 --stepover 0.13", {3, 8, 0.13, 100}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const std::string preview = dir_.File("preview.png"), trace = dir_.File("out.trace");
    const Outcome run =
        RunCommand(std::string(ENGRAVING_HOST_SIM_PATH) + " engrave" + c.options + " --preview " +
                   preview + " --trace " + trace + " 2>" + dir_.File("stderr.txt"));
    ASSERT_EQ(run.exitCode, 0) << run.out << ReadFileText(dir_.File("stderr.txt"));

    CxImage shown;
    ASSERT_TRUE(shown.LoadFile(preview.c_str(), 4)) << shown.LastErrorText();
    ASSERT_EQ(shown.ImageWidth(), uint32_t(kFrameWidth));
    ASSERT_EQ(shown.ImageHeight(), uint32_t(kFrameHeight));
    const std::vector<double> expected = SharesFromTrace(trace, c.run);
    double difference = 0.0;
    for (int r = 0; r < kFrameHeight; ++r)
      for (int x = 0; x < kFrameWidth; ++x)  // the picture's rows count from the bottom
        difference += std::fabs(shown.PixelGray(x, kFrameHeight - 1 - r) / 255.0 -
                                expected[size_t(r) * kFrameWidth + x]);
    const double meanDifference = difference / (kFrameWidth * kFrameHeight);
    EXPECT_LE(meanDifference, 0.03);

    const std::string machining = TimeAfter(run.out, "machining time ");
    const std::string estimate = TimeAfter(run.out, "estimate: ");
    ASSERT_FALSE(machining.empty()) << run.out;
    ASSERT_FALSE(estimate.empty()) << run.out;
    EXPECT_NEAR(Seconds(estimate), Seconds(machining), 0.01 * Seconds(machining)) << run.out;
    std::printf("%-45s preview against trace: mean difference %.5f; estimate %s, machining %s\n",
                c.options.c_str(), meanDifference, estimate.c_str(), machining.c_str());
  }
}

}  // namespace
