// What the engravings through LinuxCNC's simulator share: running scripts/lcnc-sim.sh as the
// user LinuxCNC runs as, reading what the component fired and sampled, and holding it against
// host-sim's trace of the same picture and settings.
#pragma once

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

namespace lcnc_sim {

using Clock = std::chrono::steady_clock;

inline constexpr const char* kUser = "lcnc";
inline constexpr double kStepsPerUnit = 1000.0;  // [JOINT_n]SCALE of lcnc/sim/engrave-sim.ini
// engrave-trigger.standstill-ns over the 10 us base period: the longest the tool may fire
// while X stands still.
inline constexpr long kStandstillPeriods = 500;
// A step count in the middle of the second of three 100,000-step lines, with time to spare on
// both sides for a command from another display to land in that line.
inline constexpr long kMidSecondLine = 125000;

inline std::string Shell(const std::string& command, int* status = nullptr) {
  std::string out;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int result = pclose(pipe);
  if (status != nullptr) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  return out;
}

inline std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> fields;
  std::istringstream in(text);
  for (std::string field; std::getline(in, field, separator);) fields.push_back(field);
  if (!text.empty() && text.back() == separator) fields.emplace_back();
  return fields;
}

// Fired steps of one line as flags, from "a-b,c-d" ranges.
inline std::vector<char> ExpandRanges(const std::string& ranges) {
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

inline bool Bit(const std::vector<char>& bits, long step) {
  return step >= 0 && step < long(bits.size()) && bits[size_t(step)];
}

// "bits" lines of a trace or of engrave-lcnc's --fired file, by raster line.
inline std::map<long, std::vector<char>> BitsByLine(const std::string& path) {
  std::map<long, std::vector<char>> lines;
  for (const std::string& line : Split(ReadFileText(path), '\n')) {
    const std::vector<std::string> fields = Split(line, '\t');
    if (fields.size() == 3 && fields[0] == "bits")
      lines[std::stol(fields[1])] = ExpandRanges(fields[2]);
  }
  return lines;
}

inline std::vector<std::string> TraceFields(const std::string& path, const std::string& kind) {
  std::vector<std::string> found;
  for (const std::string& line : Split(ReadFileText(path), '\n')) {
    const std::vector<std::string> fields = Split(line, '\t');
    if (fields.size() >= 2 && fields[0] == kind) found.push_back(fields.back());
  }
  return found;
}

// Differences between the steps that should have fired and those that did, first few only.
inline std::string Differences(long line, const std::vector<char>& expected,
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

inline Samples ReadSamples(const std::string& path) {
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
inline void WritePicture(const std::string& path) {
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
    StopSession();
  }

  // LinuxCNC in the background beside a stand-in display, for engravings run in it with
  // StartScript({"run", ...}); stopped at the latest when the test ends.
  void StartSession() {
    StartScript({"start", "--display", "none"});
    ASSERT_EQ(Wait(), 0) << Log();
    sessionStarted_ = true;
  }
  // Stops the session; the stop's exit status (0 when none was started).
  int StopSession() {
    if (!sessionStarted_) return 0;
    sessionStarted_ = false;
    StartScript({"stop"});
    return Wait();
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
  bool sessionStarted_ = false;
  std::string log_, samplesPath_;
};

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

}  // namespace lcnc_sim
