// Engravings through LinuxCNC's simulator (lcnc/sim): engrave-lcnc drives the real plug-in,
// LinuxCNC runs the moves, engrave_trigger fires, and halsampler records the fire pin at every
// X step. Every run is held against host-sim's trace of the same picture and settings: a
// single wrong, missing or extra fire fails, naming the line and the step.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "host/PngFile.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUser = "lcnc";
constexpr double kStepsPerUnit = 1000.0;  // [JOINT_n]SCALE of lcnc/sim/engrave-sim.ini
// engrave-trigger.standstill-ns over the 10 us base period: the longest the tool may fire
// while X stands still.
constexpr long kStandstillPeriods = 500;
// A step count in the middle of the second of three 100,000-step lines, with time to spare on
// both sides for a command from another display to land in that line.
constexpr long kMidSecondLine = 125000;

std::string Shell(const std::string& command, int* status = nullptr) {
  std::string out;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int result = pclose(pipe);
  if (status != nullptr) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  return out;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> fields;
  std::istringstream in(text);
  for (std::string field; std::getline(in, field, separator);) fields.push_back(field);
  if (!text.empty() && text.back() == separator) fields.emplace_back();
  return fields;
}

// Fired steps of one line as flags, from "a-b,c-d" ranges.
std::vector<char> ExpandRanges(const std::string& ranges) {
  std::vector<char> bits;
  for (const std::string& range : Split(ranges, ',')) {
    if (range.empty()) continue;
    const size_t dash = range.find('-');
    const long first = std::stol(range.substr(0, dash)), last = std::stol(range.substr(dash + 1));
    if (long(bits.size()) <= last) bits.resize(size_t(last) + 1, 0);
    for (long bit = first; bit <= last; ++bit) bits[size_t(bit)] = 1;
  }
  return bits;
}

bool Bit(const std::vector<char>& bits, long step) {
  return step >= 0 && step < long(bits.size()) && bits[size_t(step)];
}

// "bits" lines of a trace or of engrave-lcnc's --fired file, by raster line.
std::map<long, std::vector<char>> BitsByLine(const std::string& path) {
  std::map<long, std::vector<char>> lines;
  for (const std::string& line : Split(ReadFileText(path), '\n')) {
    const std::vector<std::string> fields = Split(line, '\t');
    if (fields.size() == 3 && fields[0] == "bits")
      lines[std::stol(fields[1])] = ExpandRanges(fields[2]);
  }
  return lines;
}

std::vector<std::string> TraceFields(const std::string& path, const std::string& kind) {
  std::vector<std::string> found;
  for (const std::string& line : Split(ReadFileText(path), '\n')) {
    const std::vector<std::string> fields = Split(line, '\t');
    if (fields.size() >= 2 && fields[0] == kind) found.push_back(fields.back());
  }
  return found;
}

// Differences between the steps that should have fired and those that did, first few only.
std::string Differences(long line, const std::vector<char>& expected,
                        const std::vector<char>& fired, long steps) {
  std::string text;
  int shown = 0;
  // Past the line's own steps too: a stepgen overshooting its end must not fire there either.
  const long last = std::max({steps, long(expected.size()), long(fired.size())});
  for (long step = 0; step < last && shown < 5; ++step) {
    if (Bit(expected, step) == Bit(fired, step)) continue;
    text += "line " + std::to_string(line) + " step " + std::to_string(step) +
            (Bit(fired, step) ? ": fired, should not\n" : ": did not fire, should\n");
    ++shown;
  }
  return text;
}

struct Sample {
  bool fire;
  int move;
  long step;
};

struct Samples {
  std::vector<Sample> all;
  bool overrun = false;
};

Samples ReadSamples(const std::string& path) {
  Samples samples;
  std::istringstream in(ReadFileText(path));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("overrun", 0) == 0) {
      samples.overrun = true;
      continue;
    }
    std::istringstream fields(line);
    int fire = 0, move = 0;
    long step = 0;
    if (fields >> fire >> move >> step) samples.all.push_back({fire != 0, move, step});
  }
  return samples;
}

// A picture with a different gray in every pixel: black, white, sparse and dense patterns.
void WritePicture(const std::string& path) {
  static const uint8_t kLevels[3][10] = {
      {255, 0, 128, 8, 250, 30, 170, 90, 64, 200},
      {12, 240, 100, 180, 60, 220, 140, 40, 255, 5},
      {128, 128, 255, 3, 0, 0, 77, 155, 251, 33},
  };
  host::GrayPicture picture(10, 3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 10; ++x) picture.At(x, y) = kLevels[y][x];
  std::string error;
  ASSERT_TRUE(host::WritePng(path, picture, &error)) << error;
}

// Runs its function when it goes out of scope.
template <typename Function>
struct AtExit {
  Function function;
  ~AtExit() { function(); }
};

class LinuxCncSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string sourceId =
        ReadFileText(std::string(ENGRAVING_BINARY_DIR) + "/lcnc/engrave_trigger.source-id");
    ASSERT_FALSE(sourceId.empty());
    const std::string installed = ReadFileText("/usr/lib/linuxcnc/modules/engrave_trigger.so");
    ASSERT_NE(installed.find(sourceId), std::string::npos)
        << "engrave_trigger is not installed from this source: run scripts/setup.sh";
    int status = 0;
    Shell(std::string("id ") + kUser + " >/dev/null 2>&1", &status);
    ASSERT_EQ(status, 0) << "no user " << kUser << ": run scripts/lcnc-user.sh";
  }

  // Starts scripts/lcnc-sim.sh engrave with these arguments in the background.
  void Start(const std::vector<std::string>& args) {
    std::vector<std::string> command = {"engrave"};
    command.insert(command.end(), args.begin(), args.end());
    StartScript(command);
  }

  // Starts scripts/lcnc-sim.sh with these arguments (its command first) in the background; its
  // output is appended to the log.
  void StartScript(const std::vector<std::string>& args) {
    log_ = dir_.File("lcnc-sim.log");
    samplesPath_ = dir_.File("samples.txt");
    std::vector<std::string> command = {"/bin/bash", "-c",
                                        "exec scripts/lcnc-sim.sh \"$@\" >>" + log_ + " 2>&1", "_"};
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : command) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = {std::string("LCNC_SIM_BUILD=") + ENGRAVING_BINARY_DIR,
                                            "LCNC_SIM_SKIP_SETUP=1",
                                            "ENGRAVE_LCNC_FIRE_SAMPLES=" + samplesPath_};
    for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, ENGRAVING_SOURCE_DIR);
    ASSERT_EQ(posix_spawn(&pid_, "/bin/bash", &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
  }

  // One whole engraving: the settings, then the files to write; its exit status.
  int Engrave(const std::vector<std::string>& settings, const std::vector<std::string>& files) {
    std::vector<std::string> args = settings;
    args.insert(args.end(), files.begin(), files.end());
    Start(args);
    return Wait();
  }

  // Waits for the run to end; its exit status.
  int Wait(int seconds = 240) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    ADD_FAILURE() << "the simulator run did not end within " << seconds << " s\n" << Log();
    return -1;
  }

  void TearDown() override {
    if (pid_ > 0) Wait(60);
  }

  // A command from another LinuxCNC client, as another display sends it (Python's linuxcnc
  // module, as the user LinuxCNC runs as); `c` is its linuxcnc.command().
  void OtherDisplay(const std::string& python) {
    int status = 0;
    Shell(std::string("runuser -u ") + kUser +
              " -- /usr/bin/python3 -c 'import linuxcnc; c = linuxcnc.command(); " + python +
              "' 2>&1",
          &status);
    EXPECT_EQ(status, 0) << python;
  }

  // A pin's value from the report LinuxCNC's shutdown writes into the log; -1 when absent.
  long ShutdownReport(const std::string& pin) const {
    long value = -1;
    std::istringstream in(Log());
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      std::string owner, type, direction, number, name;
      if (fields >> owner >> type >> direction >> number >> name && name == pin)
        value = std::stol(number);
    }
    return value;
  }
  // The longest the tool fired while X stood still, in base periods (fire_watch); a failure
  // when LinuxCNC's shutdown did not report it.
  long LongestFireAtStandstill() const {
    const long periods = ShutdownReport("fire-watch.still-longest");
    if (periods < 0) ADD_FAILURE() << "no report of firing at a standstill\n" << Log();
    const long end = ShutdownReport("fire-watch.still-longest-end");
    static const char* const kEnds[] = {"nothing (still on)", "an X step back over covered ground",
                                        "fire falling with X standing",
                                        "an X step onto new ground"};
    std::printf("longest fire at a standstill: %ld base periods, ended by %s\n", periods,
                end >= 0 && end <= 3 ? kEnds[end] : "(not reported)");
    return periods;
  }

  // Polls until X has made no step for `seconds`.
  void WaitForXToStand(double seconds = 0.5) {
    long steps = HalNumber("engrave-trigger.steps");
    auto still = Clock::now();
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const long now = HalNumber("engrave-trigger.steps");
      if (now != steps) {
        steps = now;
        still = Clock::now();
      } else if (Clock::now() - still > std::chrono::duration<double>(seconds)) {
        return;
      }
    }
    ADD_FAILURE() << "X did not stand still";
  }

  // A HAL command in the running simulator, as the user LinuxCNC runs as.
  std::string Hal(const std::string& command) {
    return Shell(std::string("runuser -u ") + kUser + " -- halcmd " + command + " 2>/dev/null");
  }
  long HalNumber(const std::string& pin) {
    const std::string out = Hal("getp " + pin);
    if (out.rfind("TRUE", 0) == 0) return 1;
    if (out.rfind("FALSE", 0) == 0) return 0;
    return out.empty() ? -1 : std::stol(out);
  }
  // Polls until the trigger component has counted `steps` X steps since it loaded.
  bool WaitForSteps(long steps, int seconds = 120) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline && pid_ > 0) {
      if (HalNumber("engrave-trigger.steps") >= steps) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // host-sim's trace of the same engraving: the steps that must fire.
  std::string HostSimTrace(const std::vector<std::string>& args) {
    const std::string trace = dir_.File("host-sim.trace");
    std::string command = std::string(ENGRAVING_HOST_SIM_PATH) + " engrave";
    for (const std::string& arg : args) command += " '" + arg + "'";
    command +=
        " --steps-per-unit-x 1000 --steps-per-unit-y 1000 --trace " + trace + " >/dev/null 2>&1";
    int status = 0;
    Shell(command, &status);
    EXPECT_EQ(status, 0) << command;
    return trace;
  }

  std::string Log() const { return ReadFileText(log_); }

  // Holds what the component fired (the --fired file) and the sampled fire pin against the
  // expected bits, line by line; lineSteps is every line's length in steps.
  void ExpectFiredAsTraced(const std::map<long, std::vector<char>>& expected,
                           const std::string& firedPath, long lineSteps) {
    const std::map<long, std::vector<char>> fired = BitsByLine(firedPath);
    ASSERT_EQ(fired.size(), expected.size()) << "raster lines fired, against host-sim's\n" << Log();
    for (const auto& [line, bits] : expected) {
      ASSERT_TRUE(fired.count(line)) << "line " << line << " has no fired record";
      EXPECT_EQ(Differences(line, bits, fired.at(line), lineSteps), "") << "in the --fired record";
    }
    ExpectSamplesAsTraced(expected, lineSteps);
    EXPECT_LE(LongestFireAtStandstill(), kStandstillPeriods);
  }

  // The fire pin, sampled at every X step: each step of each line once, firing exactly where
  // the expected bits say, and never on a step that retraces or falls outside an armed move.
  void ExpectSamplesAsTraced(const std::map<long, std::vector<char>>& expected, long lineSteps) {
    const Samples samples = ReadSamples(samplesPath_);
    ASSERT_FALSE(samples.overrun) << "halsampler lost samples";
    ASSERT_FALSE(samples.all.empty()) << "no samples recorded\n" << Log();
    std::map<int, std::vector<int>> seen;  // move -> times each step was sampled
    std::map<int, std::vector<char>> firedByMove;
    long stray = 0, retraced = 0;
    for (const Sample& sample : samples.all) {
      if (sample.move == 0 || sample.step < 0) {
        if (sample.fire) ++stray;
        if (sample.move != 0) ++retraced;
        continue;
      }
      std::vector<int>& counts = seen[sample.move];
      if (long(counts.size()) <= sample.step) counts.resize(size_t(sample.step) + 1, 0);
      ++counts[size_t(sample.step)];
      std::vector<char>& fired = firedByMove[sample.move];
      if (long(fired.size()) <= sample.step) fired.resize(size_t(sample.step) + 1, 0);
      if (sample.fire) fired[size_t(sample.step)] = 1;
    }
    EXPECT_EQ(stray, 0) << "fires outside an armed move's advancing steps";
    // A stepgen whose steplen was rounded up gives several samples per step, most of them
    // between steps; real steps back (a stepgen overshooting after a stall) are a few hundred.
    const long advancing = long(samples.all.size()) - retraced;
    EXPECT_LT(retraced, advancing / 10)
        << "samples between steps: stepgen.0.steplen not in effect?";
    for (const auto& [line, bits] : expected) {
      const int move = int(line) + 1;  // the moves are armed in order, from 1
      const std::vector<int>& counts = seen[move];
      for (long step = 0; step < lineSteps; ++step) {
        const int count = step < long(counts.size()) ? counts[size_t(step)] : 0;
        if (count != 1) {
          ADD_FAILURE() << "line " << line << " step " << step << " sampled " << count << " times";
          break;
        }
      }
      EXPECT_EQ(Differences(line, bits, firedByMove[move], lineSteps), "") << "at the fire pin";
    }
  }

  TempDir dir_;
  pid_t pid_ = -1;
  std::string log_, samplesPath_;
};

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

// A raster of three 100,000-step lines, interrupted in the middle of the second line.
class InterruptedRasterTest : public LinuxCncSimTest {
 protected:
  // white: every step fires, so the tool is on whenever X stops.
  void StartRaster(bool white = false) {
    const std::string picture = dir_.File("picture.png");
    if (white) {
      host::GrayPicture whitePicture(10, 3);
      for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 10; ++x) whitePicture.At(x, y) = 255;
      std::string error;
      ASSERT_TRUE(host::WritePng(picture, whitePicture, &error)) << error;
    } else {
      WritePicture(picture);
    }
    settings_ = {picture,  "--width", "100",        "--height", "0.25",
                 "--feed", "1500",    "--stepover", "0.1"};
    fired_ = dir_.File("fired.txt");
    trace_ = dir_.File("lcnc.trace");
    std::vector<std::string> args = settings_;
    args.insert(args.end(), {"--fired", fired_, "--trace", trace_});
    Start(args);
  }
  void Interrupt(const std::function<void()>& interruption, bool white = false) {
    StartRaster(white);
    ASSERT_TRUE(WaitForSteps(kMidSecondLine)) << "the raster did not reach its second line\n"
                                              << Log();
    interruption();
    status_ = Wait();
  }
  void Interrupt(const std::string& halCommand) {
    Interrupt([&] { Hal(halCommand); });
  }

  // The interrupted line fired what it should up to where firing stopped, and nothing after;
  // no later move fired at all.
  void ExpectStoppedAtOnce() {
    EXPECT_EQ(status_, 1) << Log();
    const std::vector<std::string> statuses = TraceFields(trace_, "status");
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), "Engraving Canceled.");
    const std::map<long, std::vector<char>> expected = BitsByLine(HostSimTrace(settings_));
    const std::map<long, std::vector<char>> fired = BitsByLine(fired_);
    ASSERT_GE(fired.size(), 2u) << Log();
    EXPECT_EQ(Differences(0, expected.at(0), fired.at(0), 100000), "");

    // Where the component stopped counting line 1: the last step sampled in its move.
    const Samples samples = ReadSamples(samplesPath_);
    long cut = -1;
    size_t afterCut = 0, sampledAfter = 0;
    for (size_t i = 0; i < samples.all.size(); ++i) {
      if (samples.all[i].move == 2 && samples.all[i].step >= 0) {
        cut = std::max(cut, samples.all[i].step + 1);
        afterCut = i + 1;
        lastAdvanceFired_ = samples.all[i].fire;
      }
    }
    ASSERT_GT(cut, 0) << "line 1 was never armed";
    EXPECT_LT(cut, 100000) << "line 1 ran to its end before the stop";
    // Until engrave-lcnc has disarmed, a stopping stepgen may step back and forth inside the
    // line: such steps advance nothing and never fire.
    for (size_t i = afterCut; i < samples.all.size(); ++i) {
      ++sampledAfter;
      EXPECT_FALSE(samples.all[i].fire) << "a fire after the stop, sample " << i;
    }
    std::vector<char> firedBeforeCut = expected.at(1);
    if (long(firedBeforeCut.size()) > cut) firedBeforeCut.resize(size_t(cut));
    EXPECT_EQ(Differences(1, firedBeforeCut, fired.at(1), 100000), "");
    for (const auto& [line, bits] : fired) {
      if (line < 2) continue;
      EXPECT_EQ(Differences(line, {}, bits, 100000), "") << "after the stop";
    }
    stepsAfterStop_ = sampledAfter;
    linesFired_ = fired.size();
    EXPECT_LE(LongestFireAtStandstill(), kStandstillPeriods) << Log();
  }

  std::vector<std::string> settings_;
  std::string fired_, trace_;
  int status_ = -1;
  size_t stepsAfterStop_ = 0;
  size_t linesFired_ = 0;
  bool lastAdvanceFired_ = false;  // at the interrupted line's last step onto new ground
};

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
  StartScript({"start", "--display", "none"});
  ASSERT_EQ(Wait(), 0) << Log();
  // Whatever happens next, the session is stopped at the end.
  bool stopped = false;
  const AtExit stopSession{[&] {
    if (stopped) return;
    StartScript({"stop"});
    Wait();
  }};
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
  StartScript({"stop"});
  EXPECT_EQ(Wait(), 0) << Log();
  stopped = true;
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
