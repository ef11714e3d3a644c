// The overscan and "Skip blank ends" through host-sim: whatever the layout of the lines' moves,
// every fired step lands on the X step it has in the default raster (classic and dithered, both
// directions), the dialog's estimate is the machining time, and blank ends cost no time.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "HostSimSupport.h"
#include "TempDir.h"
#include "tests/ui/GrayBitmap.h"

namespace {

constexpr double kStepsPerUnit = 100.0;

// Fired X steps (counted from X 0) by raster line, from a trace: each line's bits go with the
// X move that follows them, which starts where the moves before it left X.
std::map<long, std::set<long>> FiredCells(const std::string& tracePath) {
  std::map<long, std::set<long>> cells;
  double x = 0.0;
  long line = -1;
  std::set<int> bits;
  for (const std::string& text : Lines(ReadFileText(tracePath))) {
    const std::vector<std::string> fields = Split(text, '\t');
    if (fields.size() == 3 && fields[0] == "bits") {
      line = std::stol(fields[1]);
      bits = ExpandRanges(fields[2]);
    } else if (fields.size() == 2 && fields[0] == "code") {
      const size_t at = fields[1].find('X');
      if (at == std::string::npos || fields[1].rfind("G0X0", 0) == 0) continue;
      const double to = std::stod(fields[1].substr(at + 1));
      if (fields[1].rfind("G1 X", 0) == 0) {
        const long start = std::lround(x * kStepsPerUnit);
        for (int j : bits) cells[line].insert(to > x ? start + j : start - 1 - j);
        bits.clear();
      }
      x = to;
    }
  }
  return cells;
}

double Seconds(const std::string& clock) {  // H:MM:SS or H:MM:SS.t
  const size_t first = clock.find(':'), second = clock.find(':', first + 1);
  return std::stod(clock.substr(0, first)) * 3600 +
         std::stod(clock.substr(first + 1, second - first - 1)) * 60 +
         std::stod(clock.substr(second + 1));
}

struct Engraving {
  std::map<long, std::set<long>> cells;
  long fires = 0;
  double machining = 0.0, estimate = -1.0;
  std::string gcode;
};

class RasterLayoutTest : public ::testing::Test {
 protected:
  Engraving Engrave(const std::string& picture, const std::string& options) {
    const std::string trace = dir_.File("out.trace"), gcode = dir_.File("out.gcode");
    const Outcome outcome =
        RunCommand(std::string(ENGRAVING_HOST_SIM_PATH) + " engrave " + picture + options +
                   " --trace " + trace + " --gcode " + gcode + " 2>&1");
    EXPECT_EQ(outcome.exitCode, 0) << options << "\n" << outcome.out;
    Engraving run;
    run.cells = FiredCells(trace);
    run.gcode = ReadFileText(gcode);
    for (const std::string& line : Lines(outcome.out)) {
      if (line.rfind("engraved:", 0) == 0) {
        long lines = 0, codes = 0;
        std::sscanf(line.c_str(), "engraved: %ld raster lines, %ld G-code lines, %ld fires", &lines,
                    &codes, &run.fires);
        const size_t at = line.find("machining time ") + 15;
        run.machining = Seconds(line.substr(at, line.find(' ', at) - at));
      }
      if (line.rfind("estimate: ", 0) == 0) run.estimate = Seconds(line.substr(10));
    }
    return run;
  }
  // Lines that fire nothing: a skipped line has no record at all.
  static std::map<long, std::set<long>> Firing(std::map<long, std::set<long>> cells) {
    std::erase_if(cells, [](const auto& entry) { return entry.second.empty(); });
    return cells;
  }

  TempDir dir_;
};

TEST_F(RasterLayoutTest, EveryStepFiresAtItsXWhateverTheLayout) {
  // Dark margins of different widths on every row, a row without any light, and grays.
  const std::string picture = dir_.File("margins.bmp");
  ASSERT_TRUE(WriteGrayBitmap(picture, 24, 8, [](int x, int y) {
    if (y == 5 || x < 2 + y % 3 || x > 20 - y) return uint8_t(0);
    return uint8_t(60 + 20 * ((x + y) % 9));
  }));
  const std::string common = " --width 6 --height 2 --stepover 0.1";
  for (const char* fill : {"", " --dither", " --invert", " --dither --invert"}) {
    const Engraving plain = Engrave(picture, common + fill);
    ASSERT_GT(plain.fires, 0) << fill;
    for (const char* layout :
         {" --overscan 0.37", " --skip-blank", " --skip-blank --overscan 0.2"}) {
      SCOPED_TRACE(std::string(fill) + layout);
      const Engraving laid = Engrave(picture, common + fill + layout);
      EXPECT_EQ(laid.fires, plain.fires);
      EXPECT_EQ(Firing(laid.cells), Firing(plain.cells));
      // The dialog's time is the time host-sim spends on the same moves, to the second.
      EXPECT_NEAR(laid.estimate, laid.machining, 0.6);
    }
  }
}

// A bright disc over 40 % of the width in the middle of a dark picture: without its blank ends
// the raster fires the same steps in at most half the time.
TEST_F(RasterLayoutTest, SkippingTheBlankEndsOfADiscHalvesTheTime) {
  const std::string picture = dir_.File("disc.bmp");
  ASSERT_TRUE(WriteGrayBitmap(picture, 100, 100, [](int x, int y) {
    return uint8_t(std::hypot(x - 49.5, y - 49.5) < 20.0 ? 200 : 0);
  }));
  const std::string common = " --width 10 --height 10 --stepover 0.1 --feed 1000";
  const Engraving whole = Engrave(picture, common);
  const Engraving skipped = Engrave(picture, common + " --skip-blank --overscan 0.5");
  EXPECT_EQ(skipped.fires, whole.fires);
  EXPECT_EQ(Firing(skipped.cells), Firing(whole.cells));
  const double ratio = skipped.machining / whole.machining;
  std::printf("disc, skip-blank with an overscan of 0.5: %.1f s against %.1f s (%.3f)\n",
              skipped.machining, whole.machining, ratio);
  EXPECT_LE(ratio, 0.5);
}

TEST_F(RasterLayoutTest, TheOverscanIsTakenAsGivenOrFromTheAcceleration) {
  const std::string picture = dir_.File("gray.bmp");
  ASSERT_TRUE(WriteGrayBitmap(picture, 10, 4, [](int, int) { return uint8_t(128); }));
  struct Case {
    const char* options;
    int exitCode;
    const char* expected;  // the G-code's first line, or a part of the refusal
  } cases[] = {
      {" --overscan 0.25", 0, "G0 X-0.2500"},
      // 1.2 x 30^2 / (2 x 1000) = 0.54 at F1800.
      {" --feed 1800 --accel-x 1000 --overscan auto", 0, "G0 X-0.5400"},
      {" --overscan auto", 2, "--overscan auto needs X's acceleration"},
      {" --overscan -1", 2, "--overscan needs a length of 0 or more"},
      {" --overscan wide", 2, "--overscan needs a length of 0 or more"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const std::string gcode = dir_.File("o.gcode");
    const Outcome outcome =
        RunCommand(std::string(ENGRAVING_HOST_SIM_PATH) + " engrave " + picture + " --height 0.2" +
                   c.options + " --gcode " + gcode + " 2>&1");
    EXPECT_EQ(outcome.exitCode, c.exitCode) << outcome.out;
    if (c.exitCode == 0)
      EXPECT_EQ(Lines(ReadFileText(gcode)).front(), c.expected);
    else
      EXPECT_NE(outcome.out.find(c.expected), std::string::npos) << outcome.out;
  }
}

}  // namespace
