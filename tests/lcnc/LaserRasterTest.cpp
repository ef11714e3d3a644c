// Laser rasters through LinuxCNC's simulator: with the overscan X is at the feed rate at every
// fired step (counted in the realtime threads by fire_watch), lines without their blank ends
// fire exactly what host-sim traces, another display's Stop between two lines stops everything,
// and the raster is held to the INI's acceleration and soft limits.
#include "SimFixture.h"

namespace lcnc_sim {
namespace {

// F1800 is 30 mm/s; a step counts as slow below 98 % of it.
constexpr double kFeed = 1800.0;
constexpr double kSlowBelow = 0.98 * kFeed / 60.0;
// [AXIS_X] and [JOINT_0] MAX_ACCELERATION of lcnc/sim/engrave-sim.ini, for host-sim's "auto".
constexpr const char* kAcceleration = "1000";

// LinuxCNC beside a stand-in display, started once per test, with engravings run in it.
class LaserRasterTest : public LinuxCncSimTest {
 protected:
  void SetUp() override {
    LinuxCncSimTest::SetUp();
    if (HasFatalFailure()) return;
    StartSession();
    Hal("setp fire-watch.slow-below " + std::to_string(kSlowBelow));
  }

  struct Firing {
    int status = -1;
    long fired = 0, slow = 0;  // fired steps, and those taken below 98 % of the feed
  };
  // One engraving in the session, the fire watch's counts cleared before it.
  Firing Engrave(const std::vector<std::string>& settings, const std::string& fired = "") {
    Hal("setp fire-watch.clear 1");
    Hal("setp fire-watch.clear 0");
    std::vector<std::string> args = {"run"};
    args.insert(args.end(), settings.begin(), settings.end());
    if (!fired.empty()) args.insert(args.end(), {"--fired", fired});
    StartScript(args);
    Firing firing;
    firing.status = Wait();
    firing.fired = HalNumber("fire-watch.fired-steps");
    firing.slow = HalNumber("fire-watch.slow-fired-steps");
    return firing;
  }
  // The --fired record against host-sim's trace of the same settings, line by line.
  void ExpectRecordAsTraced(const std::vector<std::string>& settings, const std::string& fired,
                            std::vector<std::string> hostSimExtra = {}) {
    std::vector<std::string> hostSim = settings;
    hostSim.insert(hostSim.end(), hostSimExtra.begin(), hostSimExtra.end());
    const std::map<long, std::vector<char>> expected = BitsByLine(HostSimTrace(hostSim));
    const std::map<long, std::vector<char>> record = BitsByLine(fired);
    ASSERT_FALSE(expected.empty());
    ASSERT_EQ(record.size(), expected.size()) << Log();
    for (const auto& [line, bits] : expected) {
      ASSERT_TRUE(record.count(line)) << "line " << line << " has no fired record";
      EXPECT_EQ(Differences(line, bits, record.at(line), long(bits.size()) + 1000), "");
    }
  }
};

// A gray ramp 10 mm wide: without an overscan a share of the dots is taken while X speeds up or
// slows down; with "auto" none is, and the steps fired are host-sim's.
TEST_F(LaserRasterTest, WithTheOverscanEveryDotIsTakenAtTheFeedRate) {
  const std::string picture = dir_.File("ramp.png");
  host::GrayPicture ramp(100, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 100; ++x) ramp.At(x, y) = uint8_t(40 + 2 * x);
  std::string error;
  ASSERT_TRUE(host::WritePng(picture, ramp, &error)) << error;
  const std::vector<std::string> settings = {picture,    "--width", "10",
                                             "--height", "0.4",     "--stepover",
                                             "0.1",      "--feed",  std::to_string(int(kFeed))};

  const Firing plain = Engrave(settings);
  ASSERT_EQ(plain.status, 0) << Log();
  ASSERT_GT(plain.fired, 0);
  std::printf("without an overscan: %ld of %ld fired steps below 98 %% of the feed (%.2f %%)\n",
              plain.slow, plain.fired, 100.0 * double(plain.slow) / double(plain.fired));
  // X passes (0.98 v)^2 / 2a below 98 % of the feed at each end of a line: that share of the
  // line, give or take the ramp's denser right end.
  const double slowEnds = 2.0 * kSlowBelow * kSlowBelow / (2.0 * std::stod(kAcceleration)) / 10.0;
  EXPECT_NEAR(double(plain.slow) / double(plain.fired), slowEnds, 0.015)
      << "the slow steps are not counted where X speeds up and slows down";

  std::vector<std::string> overscan = settings;
  overscan.insert(overscan.end(), {"--overscan", "auto"});
  const std::string fired = dir_.File("fired.txt");
  const Firing laser = Engrave(overscan, fired);
  ASSERT_EQ(laser.status, 0) << Log();
  std::printf("with --overscan auto: %ld of %ld fired steps below 98 %% of the feed\n", laser.slow,
              laser.fired);
  EXPECT_EQ(laser.fired, plain.fired);
  EXPECT_EQ(laser.slow, 0);
  ExpectRecordAsTraced(overscan, fired, {"--accel-x", kAcceleration});
}

// Blank margins of every width and a line that fires nothing: without their blank ends the lines
// fire exactly what host-sim traces, classic and dithered, and still only at the feed rate.
TEST_F(LaserRasterTest, LinesWithoutTheirBlankEndsFireAsHostSimTraces) {
  for (const bool inverted : {true, false}) {
    // Blank is white when inverted, black otherwise.
    const uint8_t blank = inverted ? 255 : 0;
    const std::string picture = dir_.File(inverted ? "white-margins.png" : "dark-margins.png");
    host::GrayPicture margins(40, 6);
    for (int y = 0; y < 6; ++y)
      for (int x = 0; x < 40; ++x)
        margins.At(x, y) = y == 2 || x < 4 + 5 * y || x > 36 - 2 * y ? blank : uint8_t(90 + 3 * x);
    std::string error;
    ASSERT_TRUE(host::WritePng(picture, margins, &error)) << error;
    const char* fill = inverted ? "--invert" : "--dither";
    SCOPED_TRACE(fill);
    const std::vector<std::string> settings = {
        picture,  "--width", "12", "--height",     "0.6",        "--stepover", "0.1",
        "--feed", "1800",    fill, "--skip-blank", "--overscan", "auto"};
    const std::string fired = dir_.File(std::string("fired") + fill + ".txt");
    const Firing firing = Engrave(settings, fired);
    ASSERT_EQ(firing.status, 0) << Log();
    EXPECT_GT(firing.fired, 0);
    EXPECT_EQ(firing.slow, 0);
    ExpectRecordAsTraced(settings, fired, {"--accel-x", kAcceleration});
  }
}

// Another display's Stop while the raster steps over to its next line: the Y move stops short,
// the raster is cancelled, and nothing moves after it.
TEST_F(LaserRasterTest, AStopBetweenTwoLinesStopsEverything) {
  const std::string picture = dir_.File("picture.png");
  WritePicture(picture);
  // Step-overs of 20 mm take Y most of a second.
  std::vector<std::string> args = {"run", picture,  "--width", "10",         "--height",
                                   "50",  "--feed", "1800",    "--stepover", "20"};
  StartScript(args);
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  long y = 0;
  while ((y = HalNumber("stepgen.1.counts")) < 2000 && pid_ > 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_GE(y, 2000) << "Y never stepped over\n" << Log();
  ASSERT_LT(y, 18000) << "the step-over ended before the Stop";
  OtherDisplay("c.abort()");
  EXPECT_EQ(Wait(), 1) << Log();
  EXPECT_NE(Log().find("another display stopped LinuxCNC (Stop)"), std::string::npos) << Log();
  const long xSteps = HalNumber("engrave-trigger.steps");
  WaitForXToStand(1.0);
  EXPECT_LT(HalNumber("stepgen.1.counts"), 20000) << "Y finished its step-over after the Stop";
  EXPECT_EQ(HalNumber("engrave-trigger.steps"), xSteps) << "X moved after the Stop";
}

// engrave-lcnc holds the raster to the INI's machine: an overscan shorter than X's braking
// distance at the feed is said with both lengths (and the raster runs), and a raster whose moves
// would pass a soft limit (2000 mm) is refused before anything moves, naming axis and limit.
TEST_F(LaserRasterTest, TheRasterIsHeldToTheMachineOfTheIni) {
  const std::string picture = dir_.File("picture.png");
  WritePicture(picture);
  const std::vector<std::string> settings = {picture, "--width", "10", "--feed", "1800"};

  std::vector<std::string> shortRunUp = settings;
  shortRunUp.insert(shortRunUp.end(),
                    {"--height", "0.2", "--stepover", "0.1", "--overscan", "0.1"});
  EXPECT_EQ(Engrave(shortRunUp).status, 0) << Log();
  EXPECT_NE(Log().find("the overscan 0.1 is shorter than X's braking distance 0.45 at F1800 "
                       "(MAX_ACCELERATION 1000): the dots near the edges burn longer; "
                       "--overscan auto gives 0.54"),
            std::string::npos)
      << Log();

  const long x = HalNumber("stepgen.0.counts"), y = HalNumber("stepgen.1.counts");
  std::vector<std::string> pastY = settings;
  pastY.insert(pastY.end(), {"--height", "2100", "--stepover", "100"});
  EXPECT_NE(Engrave(pastY).status, 0) << Log();
  EXPECT_NE(Log().find("The raster passes the Y soft limit 2000: its moves reach Y2100.0000."),
            std::string::npos)
      << Log();
  EXPECT_EQ(HalNumber("stepgen.0.counts"), x);
  EXPECT_EQ(HalNumber("stepgen.1.counts"), y);
}

}  // namespace
}  // namespace lcnc_sim
