// host-sim end to end: the built plug-in loaded by the built host stand-in, a picture engraved
// through the scripted dialog, and the G-code and trigger bits checked against a raster worked
// out here from the picture's gray levels.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <numeric>
#include <set>
#include <sstream>

#include "HostSimSupport.h"
#include "TempDir.h"
#include "tests/ui/GrayBitmap.h"
#include "tests/ui/Xvfb.h"

namespace {

// The picture of the test: 8 columns, 4 rows, a different gray in every pixel.
constexpr int kColumns = 8;
constexpr int kRows = 4;
uint8_t Gray(int x, int rowFromTop) {
  static const uint8_t kLevels[kRows][kColumns] = {
      {255, 0, 128, 64, 200, 30, 170, 90},
      {10, 250, 100, 180, 60, 220, 140, 40},
      {128, 128, 255, 255, 0, 0, 77, 155},
      {33, 66, 99, 132, 165, 198, 231, 255},
  };
  return kLevels[rowFromTop][x];
}

// The fired steps of raster line k, worked out from the picture: the line's steps are shared
// among the columns it visits (all but column 0), and within a column an accumulator spreads
// about steps x gray / 255 fires evenly.
std::set<int> ExpectedFires(int line, int lineSteps, double length, double stepOver) {
  double scanY = 0.0;
  for (int k = 0; k < line; ++k) scanY += stepOver;
  const int rowFromBottom = int(scanY / length * kRows);
  const bool forward = line % 2 == 0;
  const double stepsPerColumn = double(lineSteps) / kColumns;
  std::set<int> fires;
  int step = 0;
  for (int visit = 1; visit < kColumns; ++visit) {
    const int column = forward ? visit : kColumns - visit;
    const int steps = int(visit * stepsPerColumn) - step;
    const double brightness = Gray(column, kRows - 1 - rowFromBottom) / 255.0;
    double sum = 0.0;
    for (int n = 0; n < steps; ++n, ++step) {
      sum = steps * brightness + sum;
      if (steps <= sum) {
        fires.insert(step);
        sum -= steps;
      }
    }
  }
  return fires;
}

class HostSimTest : public ::testing::Test {
 protected:
  std::string HostSim() const { return ENGRAVING_HOST_SIM_PATH; }
  std::string Quiet() const { return " 2>" + dir_.File("stderr.txt"); }
  std::string Stderr() const { return ReadFileText(dir_.File("stderr.txt")); }

  TempDir dir_;
};

TEST_F(HostSimTest, EngravesAPictureLineByLineAsWorkedOutIndependently) {
  const std::string picture = dir_.File("picture.bmp");
  ASSERT_TRUE(WriteGrayBitmap(picture, kColumns, kRows, Gray));
  const std::string gcode = dir_.File("out.gcode"), trace = dir_.File("out.trace");
  const std::string image = dir_.File("out.png");
  // 2 units x 10 steps: 20 steps per line, 2.5 per column; four lines of 0.25 fill height 1.
  const Outcome run = RunCommand(HostSim() + " engrave " + picture +
                                 " --width 2 --height 1 --feed 50 --stepover 0.25"
                                 " --steps-per-unit-x 10 --steps-per-unit-y 10 --gcode " +
                                 gcode + " --trace " + trace + " --image " + image + " --profile " +
                                 dir_.File("profile.xml") + Quiet());
  ASSERT_EQ(run.exitCode, 0) << run.out << Stderr();

  EXPECT_EQ(Lines(ReadFileText(gcode)),
            (std::vector<std::string>{"G1 X2.0000 F50.0000", "G1 Y0.2500", "G1 X0.0000 F50.0000",
                                      "G1 Y0.5000", "G1 X2.0000 F50.0000", "G1 Y0.7500",
                                      "G1 X0.0000 F50.0000", "G1 Y1.0000", "G0X0Y0 M5"}));

  std::map<int, std::set<int>> bitsByLine;
  std::vector<std::string> statuses, triggerModes;
  for (const std::string& line : Lines(ReadFileText(trace))) {
    const std::vector<std::string> fields = Split(line, '\t');
    if (fields[0] == "bits") bitsByLine[std::stoi(fields[1])] = ExpandRanges(fields.at(2));
    if (fields[0] == "status") statuses.push_back(fields.at(1));
    if (fields[0] == "triggermode") triggerModes.push_back(fields.at(1));
  }
  ASSERT_EQ(bitsByLine.size(), 4u);
  size_t totalFires = 0;
  for (int line = 0; line < 4; ++line) {
    EXPECT_EQ(bitsByLine[line], ExpectedFires(line, 20, 1.0, 0.25)) << "line " << line;
    totalFires += bitsByLine[line].size();
  }
  // By hand: line 1 runs backwards over the second row from the bottom (128 128 255 255 0 0
  // 77 155), columns 7 down to 1 with 2, 3, 2, 3, 2, 3, 2 steps.
  EXPECT_EQ(bitsByLine[1], (std::set<int>{1, 10, 11, 12, 13, 14, 16}));

  EXPECT_EQ(statuses,
            (std::vector<std::string>{"Press Cycle Start to begin scanning Seq.",
                                      "Scanning Sequence Begins..", "Scanning Sequence Complete"}));
  EXPECT_EQ(triggerModes, (std::vector<std::string>{"0", "-1"}));
  // Four X moves of 2 and four Y moves of 0.25 at F50, then 1 back to Y 0: 12 s.
  EXPECT_NE(run.out.find("4 raster lines, 9 G-code lines, " + std::to_string(totalFires) +
                         " fires, machining time 0:00:12.0"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(ReadFileText(image).substr(1, 3), "PNG");
}

// The fired share of every raster line, from the trace.
std::vector<double> FiredShares(const std::string& trace, int lineSteps) {
  std::vector<double> shares;
  for (const std::string& line : Lines(ReadFileText(trace))) {
    const std::vector<std::string> fields = Split(line, '\t');
    if (fields[0] == "bits")
      shares.push_back(double(ExpandRanges(fields.at(2)).size()) / lineSteps);
  }
  return shares;
}

// --dither and --invert tick their boxes through the dialog whatever the profile says, the
// boxes are stored, and without the options they stay as stored. A flat gray of 100 at 1.7
// steps per column: the classic fill fires nothing (columns of one or two steps); inverted (155)
// it fires one step of each two-step column, 419 of 1020; dithered it fires the tone. The
// profile gets "Dither" only once the box was ticked.
TEST_F(HostSimTest, DitherAndInvertEngraveTheToneAndStayInTheProfile) {
  const std::string picture = dir_.File("flat.bmp");
  ASSERT_TRUE(WriteGrayBitmap(picture, 600, 40, [](int, int) { return uint8_t(100); }));
  const std::string profile = dir_.File("profile.xml");
  struct Case {
    std::string options;
    double share;
    const char* storedDither;  // null: no key
  } cases[] = {
      {"", 0.0, nullptr},
      {" --invert", 419.0 / 1020.0, nullptr},
      {" --dither", 155.0 / 255.0, "<Dither>1</Dither>"},  // still inverted, as stored
      {"", 155.0 / 255.0, "<Dither>1</Dither>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const std::string trace = dir_.File("out.trace");
    // 1020 steps over 600 columns, 20 lines.
    const Outcome run = RunCommand(HostSim() + " engrave " + picture + c.options +
                                   " --width 10.2 --height 2 --stepover 0.1 --trace " + trace +
                                   " --profile " + profile + Quiet());
    ASSERT_EQ(run.exitCode, 0) << run.out << Stderr();
    const std::vector<double> shares = FiredShares(trace, 1020);
    ASSERT_EQ(shares.size(), 20u);
    const double mean = std::accumulate(shares.begin(), shares.end(), 0.0) / shares.size();
    EXPECT_NEAR(mean, c.share, 0.002);
    const std::string saved = ReadFileText(profile);
    if (c.storedDither == nullptr)
      EXPECT_EQ(saved.find("Dither"), std::string::npos) << saved;
    else
      EXPECT_NE(saved.find(c.storedDither), std::string::npos) << saved;
  }
}

// The picture adjustments' table, from the formula as written (the slope exactly 1 at contrast
// 0, where tan(pi / 4) falls a hair short of it).
std::vector<uint8_t> ToneTable(double brightness, double contrast, double gamma) {
  const double k = contrast == 0.0 ? 1.0 : std::tan((contrast + 100.0) * std::numbers::pi / 400.0);
  std::vector<uint8_t> table(256);
  for (int v = 0; v < 256; ++v) {
    const double t = std::clamp(0.5 + k * (v / 255.0 - 0.5) + brightness / 100.0, 0.0, 1.0);
    table[size_t(v)] = uint8_t(std::floor(255.0 * std::pow(t, 1.0 / gamma) + 0.5));
  }
  return table;
}

// Every line's bits, from the trace.
std::vector<std::string> BitLines(const std::string& trace) {
  std::vector<std::string> lines;
  for (const std::string& line : Lines(ReadFileText(trace)))
    if (line.rfind("bits\t", 0) == 0) lines.push_back(line);
  return lines;
}

// An engraving with adjustments fires exactly what the picture adjusted beforehand with their
// table fires without them, in both fills, inverted or not. The picture holds every level; the
// settings clamp at both ends and change every part of the table.
TEST_F(HostSimTest, AdjustmentsFireWhatThePictureAdjustedBeforehandFires) {
  const auto level = [](int x, int y) { return uint8_t((x * 4 + y * 37) % 256); };
  const std::string picture = dir_.File("ramp.bmp");
  ASSERT_TRUE(WriteGrayBitmap(picture, 64, 8, level));
  struct Case {
    double brightness, contrast, gamma;
    std::string mode;
  } cases[] = {
      {-20, 60, 2.2, ""},          {-20, 60, 2.2, " --dither"},
      {30, -40, 0.5, ""},          {30, -40, 0.5, " --dither"},
      {-35, 20, 1.6, " --invert"}, {-35, 20, 1.6, " --invert --dither"},
  };
  bool clampsBlack = false, clampsWhite = false;
  for (const Case& c : cases) {
    std::ostringstream settings;
    settings << " --brightness " << c.brightness << " --contrast " << c.contrast << " --gamma "
             << c.gamma;
    SCOPED_TRACE(settings.str() + c.mode);
    const std::vector<uint8_t> table = ToneTable(c.brightness, c.contrast, c.gamma);
    clampsBlack = clampsBlack || table[100] == 0;
    clampsWhite = clampsWhite || table[200] == 255;
    const std::string adjusted = dir_.File("adjusted.bmp");
    ASSERT_TRUE(WriteGrayBitmap(adjusted, 64, 8, [&](int x, int y) { return table[level(x, y)]; }));
    // 1000 steps over 64 columns, 20 lines.
    const std::string common = c.mode + " --width 10 --height 2 --stepover 0.1" + Quiet();
    const std::string traced = dir_.File("adjusted.trace"), expected = dir_.File("plain.trace");
    ASSERT_EQ(RunCommand(HostSim() + " engrave " + picture + settings.str() + " --trace " + traced +
                         common)
                  .exitCode,
              0)
        << Stderr();
    ASSERT_EQ(
        RunCommand(HostSim() + " engrave " + adjusted + " --trace " + expected + common).exitCode,
        0)
        << Stderr();
    const std::vector<std::string> bits = BitLines(traced);
    EXPECT_EQ(bits.size(), 20u);
    EXPECT_EQ(bits, BitLines(expected));
  }
  EXPECT_TRUE(clampsBlack && clampsWhite);
}

// The options store their keys; a value the dialog would refuse stops host-sim before anything
// runs, naming the option, and leaves the profile as it was.
TEST_F(HostSimTest, AdjustmentOptionsAreStoredAndBadOnesRefusedBeforeAnythingRuns) {
  const std::string profile = dir_.File("profile.xml");
  struct Case {
    std::string options;
    int exitCode;
    const char* stored;  // the adjustments' keys in the profile afterwards
  } cases[] = {
      {"", 0, ""},
      {" --gamma 1.8", 0, "<Gamma>1.8</Gamma>"},
      {" --gamma 0", 2, "<Gamma>1.8</Gamma>"},
      {" --brightness 101", 2, "<Gamma>1.8</Gamma>"},
      {" --contrast 35 --gamma 1", 0, "<Gamma>1.</Gamma><Contrast>35.</Contrast>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const std::string before = ReadFileText(profile);
    const Outcome run = RunCommand(HostSim() + " engrave" + c.options + " --gcode " +
                                   dir_.File("out.gcode") + " --profile " + profile + Quiet());
    EXPECT_EQ(run.exitCode, c.exitCode) << Stderr();
    const std::string saved = ReadFileText(profile);
    if (c.exitCode != 0) {
      const std::string option = c.options.substr(1, c.options.find(' ', 1) - 1);
      EXPECT_EQ(Stderr().rfind("host-sim: " + option + " must be a number from ", 0), 0u)
          << Stderr();
      EXPECT_EQ(saved, before);
    }
    const size_t dither = saved.find("</MaintainAspectRatio>");
    ASSERT_NE(dither, std::string::npos) << saved;
    const size_t from = dither + std::string("</MaintainAspectRatio>").size();
    EXPECT_EQ(saved.substr(from, saved.find("</Engraving>") - from), c.stored);
  }
}

TEST_F(HostSimTest, TheBuiltInSampleEngravesWithTheDefaults) {
  const std::string gcode = dir_.File("sample.gcode");
  const Outcome run = RunCommand(HostSim() + " engrave --gcode " + gcode + " --image " +
                                 dir_.File("sample.png") + Quiet());
  ASSERT_EQ(run.exitCode, 0) << run.out << Stderr();

  const std::vector<std::string> lines = Lines(ReadFileText(gcode));
  // Height 8 in steps of 0.05: 161 lines, as repeated addition stays below 8 after 160 steps.
  ASSERT_EQ(lines.size(), 2u * 161 + 1);
  EXPECT_EQ(lines[0], "G1 X10.0000 F100.0000");
  EXPECT_EQ(lines[1], "G1 Y0.0500");
  EXPECT_EQ(lines[2 * 161 - 1], "G1 Y8.0500");
  EXPECT_EQ(lines.back(), "G0X0Y0 M5");
}

TEST_F(HostSimTest, DialogClosedWithoutArmingEndsWithAFailure) {
  const std::string script = dir_.File("answers.script");
  WriteFileText(script, "file-cancel\nkey Escape\n");
  const Outcome run =
      RunCommand("ENGRAVING_UI_SCRIPT=" + script + " " + HostSim() + " engrave --gcode " +
                 dir_.File("none.gcode") + " --profile " + dir_.File("profile.xml") + Quiet());
  EXPECT_NE(run.exitCode, 0);
  EXPECT_NE(Stderr().find("closed without arming"), std::string::npos) << Stderr();
  EXPECT_EQ(ReadFileText(dir_.File("none.gcode")), "");
  // StopPlug still ran: the profile holds the settings.
  EXPECT_NE(ReadFileText(dir_.File("profile.xml")).find("Engraving"), std::string::npos);
}

TEST_F(HostSimTest, AFileThatIsNoPictureIsReportedInTheTrace) {
  const std::string notes = dir_.File("notes.txt");
  WriteFileText(notes, "no picture here");
  const std::string trace = dir_.File("out.trace");
  const Outcome run = RunCommand(HostSim() + " engrave " + notes + " --trace " + trace + Quiet());
  EXPECT_NE(run.exitCode, 0);
  EXPECT_NE(ReadFileText(trace).find("message\tEngraving\tImage load error!\n"), std::string::npos)
      << ReadFileText(trace);
}

TEST_F(HostSimTest, APreviewThatCannotBeWrittenFailsTheRun) {
  const Outcome run =
      RunCommand(HostSim() + " engrave --preview " + dir_.File("no/such/dir/v.png") +
                 " --profile " + dir_.File("profile.xml") + Quiet());
  EXPECT_NE(run.exitCode, 0);
  EXPECT_NE(Stderr().find("cannot write"), std::string::npos) << Stderr();
  EXPECT_NE(run.out.find("engraved: 161 raster lines"), std::string::npos) << run.out;
}

TEST_F(HostSimTest, PlainRunShowsTheLifecycle) {
  const Outcome run = RunCommand(HostSim() + " --profile " + dir_.File("profile.xml") + Quiet());
  ASSERT_EQ(run.exitCode, 0) << Stderr();
  EXPECT_NE(run.out.find("display name: Engraving Tarvex Engraving Version 2.00.075\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("menu: &Tarvex/Laser Engraving > &Engrave Photo (1000)\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("unloaded"), std::string::npos);
}

TEST_F(HostSimTest, GuiShowsTheRealDialogAndStopsOnceItIsClosed) {
  if (!XvfbServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
  XvfbServer server;
  ASSERT_TRUE(server.running());
  const std::string picture = dir_.File("picture.bmp");
  ASSERT_TRUE(WriteGrayBitmap(picture, kColumns, kRows, Gray));
  const std::string script = dir_.File("answers.script"), log = dir_.File("ui.log");
  WriteFileText(script, "file " + picture + "\nset 4165 3\nkey Enter\nclick 6\n");

  // End of input at once: host-sim stops as soon as the dialog has closed.
  const Outcome run = RunCommand("DISPLAY=" + server.display() + " ENGRAVING_UI_SCRIPT=" + script +
                                 " ENGRAVING_UI_LOG=" + log + " " + HostSim() + " gui --profile " +
                                 dir_.File("profile.xml") + " </dev/null" + Quiet());
  ASSERT_EQ(run.exitCode, 0) << run.out << Stderr();
  const std::string events = ReadFileText(log);
  EXPECT_NE(events.find("dialog\t4021\topen\n"), std::string::npos) << events;
  EXPECT_NE(events.find("show\t4184\t300\n"), std::string::npos) << events;
  EXPECT_NE(events.find("dialog\t4021\tclose\tok\n"), std::string::npos) << events;
  EXPECT_NE(run.out.find("status: Press Cycle Start to begin scanning Seq."), std::string::npos);
}

}  // namespace
