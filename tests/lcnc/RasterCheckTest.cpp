// What engrave-lcnc decides about the plug-in's moves and the raster's progress, apart from
// LinuxCNC: the words of a line, whether a move reached its target, the line count and the
// progress text.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "lcnc/MoveWords.h"
#include "lcnc/RasterProgress.h"

namespace {

using lcnc::MissedTarget;
using lcnc::MoveWords;
using lcnc::RasterLineCount;
using lcnc::RasterProgress;
using lcnc::ReadMoveWords;

TEST(MoveWordsTest, TheAxesAndTargetsOfThePluginsLines) {
  struct Case {
    const char* line;
    std::optional<double> g, x, y;
  };
  const Case cases[] = {
      {"G1 X10.0000 F100.0000", 1, 10.0, std::nullopt},
      {"G1 X0.0000 F1800.0000", 1, 0.0, std::nullopt},
      {"G1 Y0.1000", 1, std::nullopt, 0.1},
      {"G0X0Y0 M5", 0, 0.0, 0.0},  // not hexadecimal "0X0"
      {"G1 X-2.5000 F60.0000", 1, -2.5, std::nullopt},
      {"G90 G61", 61, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    const MoveWords words = ReadMoveWords(c.line);
    EXPECT_EQ(words.g, c.g) << c.line;
    EXPECT_EQ(words.x, c.x) << c.line;
    EXPECT_EQ(words.y, c.y) << c.line;
  }
}

TEST(MoveWordsTest, AMoveEndedShortOfItsTargetIsNamedWithWhereItStopped) {
  const double scale = 1000.0;  // half a step is 0.0005
  struct Case {
    const char* line;
    double x, y;
    const char* missed;  // nullptr: reached
  };
  const Case cases[] = {
      {"G1 X10.0000 F1500.0000", 10.0, 0.3, nullptr},
      {"G1 X10.0000 F1500.0000", 10.0004, 0.3, nullptr},
      {"G1 X10.0000 F1500.0000", 10.0006, 0.3, "the move to X10.0000 stopped at X10.0006"},
      {"G1 X0.0000 F1500.0000", 4.2311, 0.2, "the move to X0.0000 stopped at X4.2311"},
      {"G1 Y0.2000", 0.0, 0.1, "the move to Y0.2000 stopped at Y0.1000"},
      {"G0X0Y0 M5", 10.0, 0.0, "the move to X0.0000 Y0.0000 stopped at X10.0000 Y0.0000"},
      {"G0X0Y0 M5", 0.0, 0.0, nullptr},
  };
  for (const Case& c : cases) {
    const std::optional<std::string> missed =
        MissedTarget(ReadMoveWords(c.line), c.x, c.y, scale, scale);
    if (c.missed == nullptr)
      EXPECT_FALSE(missed) << c.line << ": " << missed.value_or("");
    else
      EXPECT_EQ(missed.value_or("reached"), c.missed) << c.line;
  }
}

TEST(RasterProgressTest, TheLineCountFollowsThePluginsRepeatedAddition) {
  EXPECT_EQ(RasterLineCount(8.0, 0.1), 81);  // eighty additions of 0.1 stay below 8
  EXPECT_EQ(RasterLineCount(0.25, 0.1), 3);
  EXPECT_EQ(RasterLineCount(8.0, 0.05), 161);
  EXPECT_EQ(RasterLineCount(0.0, 0.1), 0);
  EXPECT_EQ(RasterLineCount(8.0, 0.0), std::nullopt);  // never ends
  EXPECT_EQ(RasterLineCount(1e300, 1e-300), std::nullopt);
}

TEST(RasterProgressTest, TheTextSaysLinesSpentAndLeftAndComesEveryInterval) {
  using Clock = RasterProgress::Clock;
  const Clock::time_point start{};
  RasterProgress progress;
  EXPECT_FALSE(progress.Due(start, std::chrono::seconds(10)));  // nothing before the start
  progress.Start(81, start);
  EXPECT_EQ(progress.Text(start + std::chrono::seconds(2)), "progress: 0/81 lines, 0:00:02 spent");
  for (int line = 0; line < 27; ++line) progress.LineDone();
  EXPECT_EQ(progress.Text(start + std::chrono::seconds(12)),
            "progress: 27/81 lines, 0:00:12 spent, 0:00:24 left");
  EXPECT_FALSE(progress.Due(start + std::chrono::seconds(9), std::chrono::seconds(10)));
  EXPECT_TRUE(progress.Due(start + std::chrono::seconds(10), std::chrono::seconds(10)));
  EXPECT_FALSE(progress.Due(start + std::chrono::seconds(19), std::chrono::seconds(10)));
  EXPECT_TRUE(progress.Due(start + std::chrono::seconds(20), std::chrono::seconds(10)));

  // Started at line 55: the lines before count as done, the time left goes by this run's pace.
  RasterProgress resumed;
  resumed.Start(81, start, 54);
  EXPECT_EQ(resumed.Text(start + std::chrono::seconds(1)), "progress: 54/81 lines, 0:00:01 spent");
  for (int line = 0; line < 9; ++line) resumed.LineDone();
  EXPECT_EQ(resumed.Text(start + std::chrono::seconds(18)),
            "progress: 63/81 lines, 0:00:18 spent, 0:00:36 left");

  RasterProgress unknown;
  unknown.Start(0, start);
  unknown.LineDone();
  EXPECT_EQ(unknown.Text(start + std::chrono::seconds(3725)), "progress: 1 lines, 1:02:05 spent");
}

}  // namespace
