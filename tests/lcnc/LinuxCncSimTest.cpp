// Engravings through LinuxCNC's simulator (lcnc/sim): engrave-lcnc drives the real plug-in,
// LinuxCNC runs the moves, engrave_trigger fires, and halsampler records the fire pin at every
// X step. Every run is held against host-sim's trace of the same picture and settings: a
// single wrong, missing or extra fire fails, naming the line and the step.
#include "SimFixture.h"

namespace lcnc_sim {
namespace {

TEST_F(LinuxCncSimTest, EngravesExactlyTheStepsOfHostSim) {
  const std::string picture = dir_.File("picture.png");
  WritePicture(picture);
  // 100 mm at 1000 steps/mm: lines of 100,000 steps, three of them, in both directions.
  const std::vector<std::string> settings = {picture,  "--width", "100",        "--height", "0.25",
                                             "--feed", "1500",    "--stepover", "0.1"};
  const std::string fired = dir_.File("fired.txt"), trace = dir_.File("lcnc.trace");
  ASSERT_EQ(Engrave(settings, {"--fired", fired, "--trace", trace}), 0) << Log();

  const std::map<long, std::vector<char>> expected = BitsByLine(HostSimTrace(settings));
  ASSERT_EQ(expected.size(), 3u);
  ExpectFiredAsTraced(expected, fired, 100000);
  // The plug-in's own record of the run agrees with host-sim's too.
  EXPECT_EQ(BitsByLine(trace).size(), 3u);
  EXPECT_EQ(TraceFields(trace, "status").back(), "Scanning Sequence Complete");
  EXPECT_NE(Log().find("engraved: 3 raster lines"), std::string::npos) << Log();
}

TEST_F(LinuxCncSimTest, PulseModeFiresTheSameSteps) {
  const std::string picture = dir_.File("picture.png");
  WritePicture(picture);
  const std::vector<std::string> settings = {picture, "--width", "10",   "--height",
                                             "0.15",  "--feed",  "1500", "--stepover",
                                             "0.1",   "--pulse"};
  const std::string fired = dir_.File("fired.txt");
  ASSERT_EQ(Engrave(settings, {"--fired", fired}), 0) << Log();
  const std::map<long, std::vector<char>> expected = BitsByLine(HostSimTrace(settings));
  ASSERT_EQ(expected.size(), 2u);
  const std::map<long, std::vector<char>> record = BitsByLine(fired);
  ASSERT_EQ(record.size(), 2u);
  for (const auto& [line, bits] : expected)
    EXPECT_EQ(Differences(line, bits, record.at(line), 10000), "");
  // A pulse may last into the next step (40 us against 40 us between steps at this feed), so
  // the pin is high at every fired step and may stay high at the step after it.
  // Two steps after the last fired one, the pulse (four 10 us periods) is over: the pin is low.
  const Samples samples = ReadSamples(samplesPath_);
  long firedSteps = 0, pinHigh = 0, quietSteps = 0, quietHigh = 0;
  for (const Sample& sample : samples.all) {
    if (sample.move < 1 || sample.step < 0) continue;
    const std::vector<char>& bits = expected.at(sample.move - 1);
    if (Bit(bits, sample.step)) {
      ++firedSteps;
      if (sample.fire) ++pinHigh;
    } else if (!Bit(bits, sample.step - 1) && !Bit(bits, sample.step - 2)) {
      ++quietSteps;
      if (sample.fire) ++quietHigh;
    }
  }
  EXPECT_GT(firedSteps, 0);
  EXPECT_EQ(pinHigh, firedSteps);
  EXPECT_GT(quietSteps, 0);
  EXPECT_EQ(quietHigh, 0) << "the pulse outlasted pulse-ns";
  EXPECT_LE(LongestFireAtStandstill(), kStandstillPeriods);
}

// Dithered and inverted: the error carried from line to line and the true X of every column
// come out the same through LinuxCNC as through host-sim.
TEST_F(LinuxCncSimTest, DitheredInvertedLinesFireAsHostSimTraces) {
  const std::string picture = dir_.File("picture.png");
  WritePicture(picture);
  const std::vector<std::string> settings = {picture, "--width",  "20",      "--height",
                                             "0.35",  "--feed",   "1500",    "--stepover",
                                             "0.1",   "--dither", "--invert"};
  const std::string fired = dir_.File("fired.txt");
  ASSERT_EQ(Engrave(settings, {"--fired", fired}), 0) << Log();
  const std::map<long, std::vector<char>> expected = BitsByLine(HostSimTrace(settings));
  ASSERT_EQ(expected.size(), 4u);
  ExpectFiredAsTraced(expected, fired, 20000);
  EXPECT_NE(Log().find("estimate: 0:00:"), std::string::npos) << Log();
}

TEST_F(LinuxCncSimTest, TheBuiltInSampleFiresAsHostSimTraces) {
  const std::vector<std::string> settings = {"--stepover", "0.1", "--feed", "1800"};
  const std::string fired = dir_.File("fired.txt");
  ASSERT_EQ(Engrave(settings, {"--fired", fired}), 0) << Log();
  const std::map<long, std::vector<char>> expected = BitsByLine(HostSimTrace(settings));
  ASSERT_EQ(expected.size(), 81u);
  ExpectFiredAsTraced(expected, fired, 10000);
  // Uninterrupted, the tool stands still only while X accelerates from a line's start.
  EXPECT_LE(LongestFireAtStandstill(), kStandstillPeriods);
}

TEST_F(InterruptedRasterTest, ResetPinStopsFiringAndTheRemainingMovesFireNothing) {
  Interrupt("setp engrave-trigger.reset 1");
  ExpectStoppedAtOnce();
  // Reset withdraws nothing: the X move runs on to its end, without firing.
  EXPECT_GT(stepsAfterStop_, 1000u);
  EXPECT_NE(Log().find("did not complete (Reset)"), std::string::npos) << Log();
}

TEST_F(InterruptedRasterTest, EstopCancelsTheRasterAndNothingFiresAfterwards) {
  Interrupt("setp estop-chain.in1 0");
  ExpectStoppedAtOnce();
  EXPECT_NE(Log().find("E-stop"), std::string::npos) << Log();
}

// Another display's Stop, or its switch to MANUAL (AXIS switches before every jog), ends the
// move where it is: the raster is cancelled, no further line is sent, and the tool, holding
// the last step's bit, goes off within the standstill bound.
TEST_F(InterruptedRasterTest, AStopFromAnotherDisplayCancelsTheRaster) {
  Interrupt([&] { OtherDisplay("c.abort()"); }, /*white=*/true);
  ExpectStoppedAtOnce();
  // Whether a step back or the standstill bound then turns it off is the stepgen's affair.
  EXPECT_TRUE(lastAdvanceFired_) << "the tool was not on when X stopped";
  EXPECT_EQ(linesFired_, 2u) << "a line was sent after the stop\n" << Log();
  EXPECT_NE(Log().find("another display stopped LinuxCNC (Stop)"), std::string::npos) << Log();
}

TEST_F(InterruptedRasterTest, ASwitchToManualFromAnotherDisplayCancelsTheRaster) {
  // engrave-lcnc sees the switch at once and disarms while X still slows down.
  Interrupt([&] { OtherDisplay("c.mode(linuxcnc.MODE_MANUAL)"); }, /*white=*/true);
  ExpectStoppedAtOnce();
  EXPECT_EQ(linesFired_, 2u) << "a line was sent after the switch\n" << Log();
  EXPECT_NE(Log().find("left MDI"), std::string::npos) << Log();
}

// A feed hold is no interruption: X stands still, the tool goes off within the bound, and after
// the resume the line and the raster complete exactly.
TEST_F(InterruptedRasterTest, APauseMidLineStopsTheToolAndTheRasterCompletesAfterIt) {
  StartRaster(/*white=*/true);
  ASSERT_TRUE(WaitForSteps(kMidSecondLine)) << Log();
  OtherDisplay("c.auto(linuxcnc.AUTO_PAUSE)");
  WaitForXToStand(0.2);
  // Firing at every step, the tool was on when X stopped; standing, it is off, the line armed.
  // How long it stayed on (the standstill bound, or less when the stepgen stepped back while it
  // stopped) is held to the bound by ExpectFiredAsTraced.
  EXPECT_EQ(HalNumber("fire-watch.fired-at-last-advance"), 1) << "the tool was not on at the stop";
  EXPECT_EQ(HalNumber("engrave-trigger.fire"), 0) << "the tool is on while X stands";
  EXPECT_EQ(HalNumber("engrave-trigger.armed"), 1) << "the pause disarmed the line";
  const long pausedAt = HalNumber("engrave-trigger.steps");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(HalNumber("engrave-trigger.steps"), pausedAt) << "X moved during the pause";
  OtherDisplay("c.auto(linuxcnc.AUTO_RESUME)");
  ASSERT_EQ(Wait(), 0) << Log();
  ExpectFiredAsTraced(BitsByLine(HostSimTrace(settings_)), fired_, 100000);
}

TEST_F(InterruptedRasterTest, ATaskThatStopsAnsweringIsSaidAndEndsTheEngraving) {
  const std::string picture = dir_.File("picture.png");
  WritePicture(picture);
  const std::vector<std::string> settings = {picture,  "--width", "100",        "--height", "0.25",
                                             "--feed", "1500",    "--stepover", "0.1"};
  Start(settings);
  ASSERT_TRUE(WaitForSteps(kMidSecondLine)) << Log();
  // LinuxCNC's task frozen: its status stays, its heartbeat stops.
  Shell(std::string("pkill -STOP -u ") + kUser + " -x milltask");
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Log().find("lost the connection") == std::string::npos && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Shell(std::string("pkill -CONT -u ") + kUser + " -x milltask");
  EXPECT_EQ(Wait(), 1) << Log();
  EXPECT_NE(Log().find("lost the connection to LinuxCNC (its task stopped answering)"),
            std::string::npos)
      << Log();
  // The trigger was disarmed: no fire after the last step of the armed second line.
  const Samples samples = ReadSamples(samplesPath_);
  size_t lastArmed = 0;
  for (size_t i = 0; i < samples.all.size(); ++i)
    if (samples.all[i].move == 2) lastArmed = i;
  ASSERT_GT(lastArmed, 0u);
  for (size_t i = lastArmed + 1; i < samples.all.size(); ++i)
    EXPECT_FALSE(samples.all[i].fire) << "a fire after the connection was lost, sample " << i;
  EXPECT_LE(LongestFireAtStandstill(), kStandstillPeriods);
}

// engrave-lcnc beside a display that keeps LinuxCNC up: killed in the middle of a line, its
// component disarms by itself, a later hand move fires nothing, and a new engrave-lcnc takes
// over and engraves exactly.
TEST_F(LinuxCncSimTest, AKilledHostDisarmsTheToolAndANewOneEngravesExactly) {
  StartSession();
  const std::string picture = dir_.File("picture.png");
  WritePicture(picture);
  const std::vector<std::string> settings = {picture,  "--width", "100",        "--height", "0.25",
                                             "--feed", "1500",    "--stepover", "0.1"};
  std::vector<std::string> first = {"run"};
  first.insert(first.end(), settings.begin(), settings.end());
  StartScript(first);
  ASSERT_TRUE(WaitForSteps(kMidSecondLine)) << Log();

  Shell(std::string("pkill -KILL -u ") + kUser + " -x engrave-lcnc");
  const auto killed = Clock::now();
  while (HalNumber("engrave-trigger.armed") != 0 && Clock::now() - killed < std::chrono::seconds(5))
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const double disarmMs = std::chrono::duration<double, std::milli>(Clock::now() - killed).count();
  EXPECT_EQ(HalNumber("engrave-trigger.armed"), 0) << "still armed 5 s after the host died";
  std::printf("from the host's death to the disarm: %.0f ms (polled)\n", disarmMs);
  EXPECT_NE(Wait(), 0) << "the killed engraving reported success";
  EXPECT_EQ(HalNumber("engrave-trigger.watchdog-trips"), 1);

  // LinuxCNC finished the line's move on its own; now a hand move across the ground.
  WaitForXToStand();
  const long steps = HalNumber("engrave-trigger.steps");
  const long fires = HalNumber("engrave-trigger.fires");
  const long firePeriods = HalNumber("fire-watch.fire-periods");
  OtherDisplay(
      "c.mode(linuxcnc.MODE_MDI); c.wait_complete(); c.mdi(\"G1 X30 F1500\"); c.wait_complete(); "
      "c.mdi(\"G0 X0 Y0\"); c.wait_complete()");
  WaitForXToStand();
  EXPECT_GE(HalNumber("engrave-trigger.steps") - steps, 60000) << "the hand move did not run";
  EXPECT_EQ(HalNumber("engrave-trigger.fires"), fires) << "the hand move fired";
  EXPECT_EQ(HalNumber("fire-watch.fire-periods"), firePeriods) << "the tool was on";

  const std::string fired = dir_.File("fired-again.txt");
  std::vector<std::string> again = {"run"};
  again.insert(again.end(), settings.begin(), settings.end());
  again.insert(again.end(), {"--fired", fired});
  StartScript(again);
  ASSERT_EQ(Wait(), 0) << "a new engrave-lcnc could not take over\n" << Log();
  const std::map<long, std::vector<char>> expected = BitsByLine(HostSimTrace(settings));
  const std::map<long, std::vector<char>> record = BitsByLine(fired);
  ASSERT_EQ(record.size(), expected.size()) << Log();
  for (const auto& [line, bits] : expected)
    EXPECT_EQ(Differences(line, bits, record.at(line), 100000), "");
  EXPECT_EQ(StopSession(), 0) << Log();
  // After the death the tool was off at once or within the bound, whatever moved.
  EXPECT_LE(LongestFireAtStandstill(), kStandstillPeriods);
}

// AXIS as the display, with its program open and following every move: engrave-lcnc beside it
// engraves exactly what host-sim traces.
TEST_F(LinuxCncSimTest, EngravesBesideAxisExactlyAsHostSimTraces) {
  const std::string picture = dir_.File("picture.png");
  WritePicture(picture);
  const std::vector<std::string> settings = {picture,  "--width", "20",         "--height", "0.25",
                                             "--feed", "1500",    "--stepover", "0.1"};
  const std::string fired = dir_.File("fired.txt");
  std::vector<std::string> args = {"engrave", "--display", "axis"};
  args.insert(args.end(), settings.begin(), settings.end());
  args.insert(args.end(), {"--fired", fired});
  StartScript(args);
  ASSERT_EQ(Wait(), 0) << Log();
  EXPECT_NE(Log().find("engrave-axis.ini"), std::string::npos) << "AXIS did not run\n" << Log();
  ExpectFiredAsTraced(BitsByLine(HostSimTrace(settings)), fired, 20000);
}

TEST_F(LinuxCncSimTest, MenuCommandAwayFromZeroSaysTheAxesMustBeZeroed) {
  const std::string trace = dir_.File("lcnc.trace");
  Start({"--before", "G0 X5 Y1", "--trace", trace});
  EXPECT_EQ(Wait(), 1) << Log();
  EXPECT_EQ(TraceFields(trace, "message"),
            std::vector<std::string>{"X and Y Axis must be zeroed to proceed!"});
  EXPECT_TRUE(TraceFields(trace, "code").empty());
}

}  // namespace
}  // namespace lcnc_sim
