// host-sim's --from-line against the whole raster: from line K on, every line fires what it
// fires in the whole raster, at the same place, numbered as there, in both fills and in every
// line layout; nothing moves armed before it; the time shown is the time it takes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <set>

#include "HostSimSupport.h"
#include "TempDir.h"

namespace {

constexpr double kStepsPerUnit = 100.0;
constexpr double kWidth = 10.0;

// One host-sim run's trace: each line's fired steps, numbered from the line's own edge (X 0 on
// forward lines, the width on reverse ones), and the G-code lines in order.
struct Raster {
  std::map<long, std::set<long>> steps;
  std::vector<std::string> code;
  double machiningSeconds = -1.0, estimateSeconds = -1.0;
};

double Seconds(const std::string& clock) {  // H:MM:SS(.s)
  return std::stod(clock.substr(0, clock.find(':'))) * 3600.0 +
         std::stod(clock.substr(clock.find(':') + 1, 2)) * 60.0 +
         std::stod(clock.substr(clock.rfind(':') + 1));
}

Raster ReadRaster(const std::string& tracePath, const std::string& out) {
  Raster raster;
  double x = 0.0;
  long line = -1;
  std::set<int> bits;
  for (const std::string& text : Lines(ReadFileText(tracePath))) {
    const std::vector<std::string> fields = Split(text, '\t');
    if (fields[0] == "bits") {
      line = std::stol(fields[1]);
      bits = ExpandRanges(fields.at(2));
    }
    if (fields[0] != "code") continue;
    const std::string& code = fields.at(1);
    raster.code.push_back(code);
    if (line >= 0 && code.rfind("G1 X", 0) == 0) {
      // The move's step i lies on the line's step i - shift, shift the steps from where the move
      // starts to the line's edge.
      const double direction = line % 2 == 0 ? 1.0 : -1.0;
      const double edge = line % 2 == 0 ? 0.0 : kWidth;
      const long shift = std::lround(direction * (edge - x) * kStepsPerUnit);
      for (int i : bits) raster.steps[line].insert(i - shift);
      line = -1;
    }
    if (const size_t at = code.find('X'); at != std::string::npos)
      x = std::strtod(code.c_str() + at + 1, nullptr);
  }
  for (const std::string& text : Lines(out)) {
    if (const size_t at = text.find("machining time "); at != std::string::npos)
      raster.machiningSeconds = Seconds(text.substr(at + 15, text.find(' ', at + 15) - at - 15));
    if (text.rfind("estimate: ", 0) == 0) raster.estimateSeconds = Seconds(text.substr(10));
  }
  return raster;
}

class FromLineTest : public ::testing::Test {
 protected:
  Raster Engrave(const std::string& options, const std::string& name) {
    const std::string trace = dir_.File(name + ".trace");
    const Outcome run = RunCommand(std::string(ENGRAVING_HOST_SIM_PATH) + " engrave " + options +
                                   " --trace " + trace + " 2>&1");
    EXPECT_EQ(run.exitCode, 0) << options << "\n" << run.out;
    return ReadRaster(trace, run.out);
  }

  TempDir dir_;
};

TEST_F(FromLineTest, LinesFromTheStartFireAsInTheWholeRasterAndNothingBeforeMovesArmed) {
  const char* const kFills[] = {"", "--dither"};
  const char* const kLayouts[] = {"", "--overscan 0.3", "--skip-blank",
                                  "--overscan 0.25 --skip-blank --invert"};
  // The sample at 1 step-over 0.1: 81 lines; line 2 runs back, line 81 is the last.
  const long kStarts[] = {2, 41, 81};
  for (const char* fill : kFills) {
    for (const char* layout : kLayouts) {
      const std::string options = std::string("--stepover 0.1 ") + fill + " " + layout;
      const Raster whole = Engrave(options, "whole");
      ASSERT_EQ(whole.steps.size(), 81u) << options;
      for (long start : kStarts) {
        SCOPED_TRACE(options + " --from-line " + std::to_string(start));
        const Raster part = Engrave(options + " --from-line " + std::to_string(start),
                                    "from" + std::to_string(start));
        ASSERT_FALSE(part.steps.empty());
        EXPECT_EQ(part.steps.begin()->first, start - 1) << "numbered as the whole raster";
        for (const auto& [line, steps] : part.steps)
          EXPECT_TRUE(steps == whole.steps.at(line)) << "line " << line;
        EXPECT_EQ(part.steps.rbegin()->first, 80);
        // Y and X reach the first line's start with rapid moves only, the tool off.
        ASSERT_GE(part.code.size(), 3u);
        EXPECT_EQ(part.code[0].rfind("G0 Y", 0), 0u) << part.code[0];
        EXPECT_EQ(part.code[1].rfind("G0 X", 0), 0u) << part.code[1];
        EXPECT_EQ(part.code[2].rfind("G1 X", 0), 0u) << part.code[2];
        EXPECT_EQ(part.code.back(), "G0X0Y0 M5");
        // The dialog's time for the lines that remain is the time they take.
        EXPECT_NEAR(part.estimateSeconds, part.machiningSeconds, 0.51);
      }
    }
  }
}

TEST_F(FromLineTest, LineOneIsTheWholeRasterAndLinesPastTheEndAreRefused) {
  const std::string trace = dir_.File("one.trace"), gcode = dir_.File("one.gcode");
  const std::string plain = dir_.File("plain.gcode");
  ASSERT_EQ(RunCommand(std::string(ENGRAVING_HOST_SIM_PATH) +
                       " engrave --dither --from-line 1 --gcode " + gcode + " >/dev/null 2>&1")
                .exitCode,
            0);
  ASSERT_EQ(RunCommand(std::string(ENGRAVING_HOST_SIM_PATH) + " engrave --dither --gcode " + plain +
                       " >/dev/null 2>&1")
                .exitCode,
            0);
  EXPECT_EQ(ReadFileText(gcode), ReadFileText(plain));

  struct Case {
    const char* options;
    int exitCode;
    const char* says;
  } cases[] = {
      {"--from-line 0", 2, "--from-line needs a line number from 1 on, not \"0\""},
      {"--from-line 2.5", 2, "--from-line needs a line number from 1 on, not \"2.5\""},
      {"--from-line=-3", 2, "--from-line needs a line number from 1 on, not \"-3\""},
      {"--from-line 162", 2, "--from-line 162: the raster has only 161 lines"},
      // With the height from the picture, the dialog counts the lines and refuses.
      {"--aspect --width 5 --from-line 82", 1,
       "ERROR... Start at line must be from 1 to 81, the raster's lines."},
  };
  for (const Case& c : cases) {
    const Outcome run =
        RunCommand(std::string(ENGRAVING_HOST_SIM_PATH) + " engrave " + c.options + " 2>&1");
    EXPECT_EQ(run.exitCode, c.exitCode) << c.options << "\n" << run.out;
    EXPECT_NE(run.out.find(c.says), std::string::npos) << c.options << "\n" << run.out;
  }
}

}  // namespace
