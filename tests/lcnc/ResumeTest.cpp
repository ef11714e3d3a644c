// Going on with an interrupted engraving through LinuxCNC's simulator: a raster stopped in the
// middle of a line, then "engrave-lcnc resume" in a LinuxCNC started anew (or beside the same
// LinuxCNC after the host was killed). Both runs together must fire every step of host-sim's
// whole raster exactly once, counted in each line's own steps: a line resumed without its
// blank start begins its move elsewhere than the first run's did.
#include <cmath>
#include <filesystem>
#include <optional>
#include <set>

#include "SimFixture.h"

namespace lcnc_sim {
namespace {

struct Outcome {
  int exitCode = -1;
  std::string out;
};

// The X word of a G-code line ("G1 X10.0000 F1500.0000", "G0X0Y0 M5").
std::optional<double> XWord(const std::string& line) {
  const size_t x = line.find_first_of("Xx");
  if (x == std::string::npos) return std::nullopt;
  return std::strtod(line.c_str() + x + 1, nullptr);
}

// The steps each raster line fired, numbered from the line's own edge (X 0 for the forward
// lines, the width for the reverse ones): the moves' steps (a --fired record, or the trace's own
// bits) shifted by where each line's move started, as the run's trace shows it.
std::map<long, std::set<long>> LineSteps(const std::string& tracePath,
                                         const std::map<long, std::vector<char>>& moveSteps,
                                         double width) {
  std::map<long, long> shiftOf;
  double x = 0.0;
  long pendingLine = -1;
  for (const std::string& line : Split(ReadFileText(tracePath), '\n')) {
    const std::vector<std::string> fields = Split(line, '\t');
    if (fields.size() == 3 && fields[0] == "bits") pendingLine = std::stol(fields[1]);
    if (fields.size() < 2 || fields[0] != "code") continue;
    if (pendingLine >= 0 && fields[1].rfind("G1 X", 0) == 0) {
      // Step i of the move lies on the line's step i - shift.
      const double direction = pendingLine % 2 == 0 ? 1.0 : -1.0;
      const double edge = pendingLine % 2 == 0 ? 0.0 : width;
      shiftOf[pendingLine] = std::lround(direction * (edge - x) * kStepsPerUnit);
      pendingLine = -1;
    }
    if (const std::optional<double> to = XWord(fields[1])) x = *to;
  }
  std::map<long, std::set<long>> steps;
  for (const auto& [line, bits] : moveSteps) {
    EXPECT_TRUE(shiftOf.count(line)) << "line " << line << " has no move in " << tracePath;
    std::set<long>& own = steps[line];
    for (long i = 0; i < long(bits.size()); ++i)
      if (bits[size_t(i)]) own.insert(i - shiftOf[line]);
  }
  return steps;
}

class ResumeTest : public InterruptedRasterTest {
 protected:
  // The first run: dithered, every line with a run-in and without its blank ends, stopped by
  // another display in the middle of its second line.
  void InterruptWithAStop() {
    picture_ = dir_.File("picture.png");
    WritePicture(picture_);
    settings_ = {picture_,     "--width", "100",      "--height",   "0.25", "--feed",      "1500",
                 "--stepover", "0.1",     "--dither", "--overscan", "1",    "--skip-blank"};
    profile_ = dir_.File("profile.xml");
    fired_ = dir_.File("fired-1.txt");
    trace_ = dir_.File("lcnc-1.trace");
    std::vector<std::string> args = settings_;
    args.insert(args.end(), {"--profile", profile_, "--fired", fired_, "--trace", trace_});
    Start(args);
    ASSERT_TRUE(WaitForSteps(kMidSecondLine)) << "the raster did not reach its second line\n"
                                              << Log();
    OtherDisplay("c.abort()");
    ASSERT_EQ(Wait(), 1) << Log();
  }

  // engrave-lcnc resume run directly, for the refusals that come before LinuxCNC is reached.
  Outcome ResumeWithoutLinuxCnc(const std::string& picture) {
    int status = 0;
    const std::string out = Shell(std::string(ENGRAVING_BINARY_DIR) + "/engrave-lcnc resume '" +
                                      picture + "' --profile '" + profile_ + "' -ini " +
                                      ENGRAVING_SOURCE_DIR + "/lcnc/sim/engrave-sim.ini 2>&1",
                                  &status);
    return {status, out};
  }

  // Every step of host-sim's whole raster fired once by the two runs together, none twice.
  // splitLine: the interrupted second line fired in both runs (a Stop cut it); otherwise the
  // first run fired all of it and the resumed run none of it.
  void ExpectBothRunsFireTheWholeRasterOnce(const std::string& firstTrace,
                                            const std::map<long, std::vector<char>>& firstFired,
                                            const std::string& secondTrace,
                                            const std::string& secondFired, bool splitLine) {
    const std::string hostSim = HostSimTrace(settings_);
    const auto expected = LineSteps(hostSim, BitsByLine(hostSim), 100.0);
    const auto first = LineSteps(firstTrace, firstFired, 100.0);
    const auto second = LineSteps(secondTrace, BitsByLine(secondFired), 100.0);
    ASSERT_EQ(expected.size(), 3u);
    long firedFirst = 0, firedSecond = 0, twice = 0;
    for (const auto& [line, steps] : expected) {
      const std::set<long> none;
      const std::set<long>& a = first.count(line) ? first.at(line) : none;
      const std::set<long>& b = second.count(line) ? second.at(line) : none;
      std::set<long> both = a;
      long lineTwice = 0;
      for (long step : b) lineTwice += both.insert(step).second ? 0 : 1;
      EXPECT_EQ(lineTwice, 0) << "line " << line << ": steps fired by both runs";
      EXPECT_TRUE(both == steps) << "line " << line << ": " << both.size() << " steps fired, "
                                 << steps.size() << " in host-sim's trace";
      std::printf(
          "line %ld: %zu steps fired by the first run, %zu by the resumed one, %ld twice, "
          "%zu in host-sim's trace\n",
          line, a.size(), b.size(), lineTwice, steps.size());
      firedFirst += long(a.size());
      firedSecond += long(b.size());
      twice += lineTwice;
    }
    std::printf("3 lines: %ld steps fired by the first run, %ld by the resumed one, %ld twice\n",
                firedFirst, firedSecond, twice);
    ASSERT_TRUE(first.count(1));
    EXPECT_FALSE(first.at(1).empty());
    EXPECT_EQ(second.count(1) && !second.at(1).empty(), splitLine);
    EXPECT_FALSE(second.count(0)) << "the resumed run engraved the line done before";
  }

  std::string picture_, profile_;
};

// The acceptance run: a Stop from another display in the middle of a line, LinuxCNC started
// anew, then the refusals (another picture; nothing left once done) and the resume between them.
TEST_F(ResumeTest, AStoppedRasterGoesOnAfterARestartFiringEveryStepOnce) {
  InterruptWithAStop();
  EXPECT_NE(Log().find("to go on: engrave-lcnc resume --profile"), std::string::npos) << Log();
  const std::string resumeFile = profile_ + ".resume";
  const std::string record = ReadFileText(resumeFile);
  EXPECT_NE(record.find("\nline 2\n"), std::string::npos) << record;
  EXPECT_NE(record.find("\nstate stopped\n"), std::string::npos) << record;

  // Another picture: refused before anything moves, the record kept.
  const std::string other = dir_.File("other.png");
  host::GrayPicture gray(10, 3);
  std::string error;
  ASSERT_TRUE(host::WritePng(other, gray, &error)) << error;
  const Outcome changed = ResumeWithoutLinuxCnc(other);
  EXPECT_EQ(changed.exitCode, 1) << changed.out;
  EXPECT_NE(changed.out.find("the picture changed"), std::string::npos) << changed.out;
  EXPECT_EQ(ReadFileText(resumeFile), record);

  const std::string fired = dir_.File("fired-2.txt"), trace = dir_.File("lcnc-2.trace");
  StartScript({"resume", picture_, "--profile", profile_, "--fired", fired, "--trace", trace});
  ASSERT_EQ(Wait(), 0) << Log();
  EXPECT_NE(Log().find("resume: line 2 after step "), std::string::npos) << Log();
  ExpectBothRunsFireTheWholeRasterOnce(trace_, BitsByLine(fired_), trace, fired,
                                       /*splitLine=*/true);
  EXPECT_FALSE(std::filesystem::exists(resumeFile)) << "a completed raster left its record";
  EXPECT_LE(LongestFireAtStandstill(), kStandstillPeriods);

  const Outcome nothing = ResumeWithoutLinuxCnc(picture_);
  EXPECT_EQ(nothing.exitCode, 1) << nothing.out;
  EXPECT_NE(nothing.out.find("nothing to resume"), std::string::npos) << nothing.out;
}

// engrave-lcnc killed in the middle of a line beside a display that keeps LinuxCNC up: the
// component keeps the move's record (the line runs on to its end while X steps along it), and
// the next engrave-lcnc goes on from it exactly.
TEST_F(ResumeTest, AKilledHostsLineGoesOnFromTheComponentsRecord) {
  StartSession();
  picture_ = dir_.File("picture.png");
  WritePicture(picture_);
  settings_ = {picture_,     "--width", "100",      "--height",   "0.25", "--feed",      "1500",
               "--stepover", "0.1",     "--dither", "--overscan", "1",    "--skip-blank"};
  profile_ = dir_.File("profile.xml");
  const std::string firstFired = dir_.File("fired-1.txt");
  std::vector<std::string> first = {"run"};
  first.insert(first.end(), settings_.begin(), settings_.end());
  first.insert(first.end(), {"--profile", profile_, "--fired", firstFired});
  StartScript(first);
  ASSERT_TRUE(WaitForSteps(kMidSecondLine)) << Log();
  Shell(std::string("pkill -KILL -u ") + kUser + " -x engrave-lcnc");
  EXPECT_NE(Wait(), 0);
  WaitForXToStand();

  const std::string fired = dir_.File("fired-2.txt"), trace = dir_.File("lcnc-2.trace");
  // The machine stands where the killed run left it: back to the work's zero first, as the
  // start checks want it.
  StartScript({"run", "resume", picture_, "--profile", profile_, "--before", "G0 X0 Y0", "--fired",
               fired, "--trace", trace});
  ASSERT_EQ(Wait(), 0) << Log();
  EXPECT_NE(Log().find("the trigger component kept what the interrupted engraving fired"),
            std::string::npos)
      << Log();
  EXPECT_EQ(StopSession(), 0) << Log();

  // The killed run's record ends before its interrupted line: what that line fired comes from
  // the fire pin, sampled at every X step (the killed run's moves first, numbered from 1 for
  // line 0; the resumed run numbers its moves from 1 again). The killed run laid its lines out
  // as host-sim's whole raster does.
  const std::string hostSim = HostSimTrace(settings_);
  std::map<long, std::vector<char>> killedRun = BitsByLine(firstFired);
  ASSERT_EQ(killedRun.size(), 1u) << "the killed run recorded more than its first line";
  const Samples samples = ReadSamples(samplesPath_);
  ASSERT_FALSE(samples.overrun);
  std::vector<char>& cut = killedRun[1];
  for (const Sample& sample : samples.all) {
    if (sample.move == 1 && !cut.empty()) break;  // the resumed run's first move
    if (sample.move != 2 || sample.step < 0) continue;
    if (long(cut.size()) <= sample.step) cut.resize(size_t(sample.step) + 1, 0);
    if (sample.fire) cut[size_t(sample.step)] = 1;
  }
  // A dead host's line runs on while X steps along it (its bits are the right ones), so the
  // killed run fired the whole of it and the resume goes on with the next line.
  ExpectBothRunsFireTheWholeRasterOnce(hostSim, killedRun, trace, fired, /*splitLine=*/false);
  EXPECT_LE(LongestFireAtStandstill(), kStandstillPeriods);
}

}  // namespace
}  // namespace lcnc_sim
