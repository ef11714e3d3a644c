// engrave-lcnc: the Engraving plug-in's host controller on LinuxCNC. Started by LinuxCNC as its
// display ([DISPLAY] DISPLAY = engrave-lcnc), or by hand while LinuxCNC runs.
//
//   engrave-lcnc [gui] [-ini FILE]                    the host window (needs DISPLAY)
//   engrave-lcnc engrave [PICTURE] [options] [-ini FILE]  one whole engraving, scripted dialog
//   engrave-lcnc resume [PICTURE] [options] [-ini FILE]   goes on with an interrupted one
//   engrave-lcnc program FILE [-ini FILE]             runs a G-code program in AUTO and says how
//                                                     long X stepped (to compare with a raster)
//
// Arguments may also come from the file named by ENGRAVE_LCNC_ARGS_FILE, one per line, for
// runs that LinuxCNC starts.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "host/HostFiles.h"
#include "host/HostOptions.h"
#include "host/InstallPaths.h"
#include "host/SamplePicture.h"
#include "lcnc/Connection.h"
#include "lcnc/HostWindowLink.h"
#include "lcnc/LcncHost.h"
#include "lcnc/Resuming.h"

namespace lcnc {
namespace {

namespace fs = std::filesystem;
using host::Options;

void PrintUsage(std::FILE* out) {
  std::fputs(
      "usage: engrave-lcnc [gui] [-ini FILE]\n"
      "       engrave-lcnc engrave [PICTURE] [options] [-ini FILE]\n"
      "       engrave-lcnc resume [PICTURE] [--profile FILE] [output options] [-ini FILE]\n"
      "       engrave-lcnc program FILE [-ini FILE]\n"
      "       engrave-lcnc --version\n"
      "options:\n",
      out);
  host::PrintEngraveOptions(out);
  std::fputs(
      "  --fired FILE          write the steps the tool fired, one line per raster line\n"
      "  --home                home every joint first (machines that must be homed)\n"
      "  --before CODE         an MDI command to run before the menu command (repeatable)\n"
      "  -ini FILE             the machine's INI (default: $INI_FILE_NAME, set by LinuxCNC)\n"
      "An interrupted engraving is kept in PROFILE.resume (default\n"
      "~/.engrave-lcnc-profile.xml.resume); resume goes on with it, with the same picture (the\n"
      "recorded one, or PICTURE when it moved), settings and steps per unit.\n"
      "The machine's steps per unit are the INI's [JOINT_0]SCALE and [JOINT_1]SCALE.\n"
      "HAL pins: engrave-trigger.cycle-start, engrave-trigger.reset (rising edge).\n",
      out);
}

std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (const char* file = std::getenv("ENGRAVE_LCNC_ARGS_FILE"); file != nullptr && *file) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) args.push_back(line);
  }
  // LinuxCNC puts its own -ini first; the mode may follow it.
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] != "-ini") continue;
    std::vector<std::string> rest(args.begin(), args.begin() + long(i));
    rest.insert(rest.end(), args.begin() + long(i) + 2, args.end());
    rest.push_back("-ini");
    rest.push_back(args[i + 1]);
    return rest;
  }
  return args;
}

// The overscan against the run-up X needs to reach the feed rate from a standstill, v^2 / 2a:
// "auto" needs the INI's acceleration, and a shorter overscan is said with both lengths.
bool CheckOverscan(const Options& options, const MachineSettings& machine) {
  const double speed = options.feed.value / 60.0;
  const double runUp = machine.accelerationX > 0.0 ? speed * speed / (2.0 * machine.accelerationX)
                                                   : 0.0;
  if (options.overscanAuto && !(machine.accelerationX > 0.0)) {
    std::fprintf(stderr,
                 "engrave-lcnc: --overscan auto needs X's acceleration: the INI gives no "
                 "MAX_ACCELERATION in [AXIS_X] or [JOINT_0]\n");
    return false;
  }
  if (options.overscan && runUp > 0.0 && options.overscan->value < runUp)
    std::fprintf(stderr,
                 "engrave-lcnc: warning: the overscan %s is shorter than X's braking distance "
                 "%.4g at F%s (MAX_ACCELERATION %.6g): the dots near the edges burn longer; "
                 "--overscan auto gives %.4g\n",
                 options.overscan->text.c_str(), runUp, options.feed.text.c_str(),
                 machine.accelerationX, 1.2 * runUp);
  return true;
}

// What makes a run go on with an interrupted engraving rather than start one.
struct Resuming {
  ResumeSetup setup;
};

// One scripted engraving on an open connection: the dialog answered (a new engraving from the
// options, or the recorded one from the resume line), Cycle Start, every line to the end.
int RunScriptedEngraving(const Options& options, Connection& link, const Resuming* resuming) {
  std::string error;
  if (!MachineOn(link.cnc, &error)) {
    std::fprintf(stderr, "engrave-lcnc: %s\n", error.c_str());
    return 1;
  }
  if (options.home && !link.cnc.status().homed && !HomeAll(link.cnc, &error))
    return Failure("homing: " + error);
  if (!CheckOverscan(options, link.machine)) return 1;
  LcncHost host(options, link.machine, link.cnc, link.trigger);
  const std::string resumeFile = ResumeFileOf(options);
  host.KeepResumeFile(resumeFile);
  const double mdiSeconds = host.MeasureMdiSeconds(5);
  for (const std::string& line : options.before) {
    if (!host.RunMdi(line, &error)) {
      std::fprintf(stderr, "engrave-lcnc: %s: %s\n", line.c_str(), error.c_str());
      return 1;
    }
  }

  host::TempDir temp("engrave-lcnc");
  if (!temp.ok()) return Failure("cannot make a temporary folder");
  std::string picture = options.picture;
  if (resuming != nullptr) {
    picture = resuming->setup.picture;
  } else if (picture.empty()) {
    picture = temp.File("sample.png");
    if (!host::WritePng(picture, host::MakeSamplePicture(), &error)) return Failure(error);
  }
  setenv("ENGRAVING_UI", "script", 1);
  if (std::getenv("ENGRAVING_UI_SCRIPT") == nullptr) {
    const std::string script = temp.File("answers.script");
    const std::string answers =
        resuming != nullptr
            ? ComposeResumeScript(resuming->setup.record, picture, resuming->setup.plan.line)
            : host::ComposeScript(options, picture);
    if (!host::WriteText(script, answers)) return Failure("cannot write " + script);
    setenv("ENGRAVING_UI_SCRIPT", script.c_str(), 1);
  }
  if (std::getenv("ENGRAVING_UI_LOG") == nullptr)
    setenv("ENGRAVING_UI_LOG", temp.File("ui.log").c_str(), 1);
  host::UiLogTail tail(std::getenv("ENGRAVING_UI_LOG"));
  host.onMessage = [](const std::string& title, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
  };
  host.onProgress = [](const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  };

  const std::string profile = options.profile.empty() ? temp.File("profile.xml") : options.profile;
  if (!host.Start(profile, &error)) return Failure(error);
  host::PluginHost& plugin = host.plugin();
  const int command = plugin.menu.FindCommand(host::kMenuItem);
  if (command < 0) {
    host.Finish();
    return Failure("the plug-in added no \"&Engrave Photo\" menu item");
  }
  if (resuming != nullptr)
    host.SetResumePoint(resuming->setup.plan.line, resuming->setup.plan.afterStep);
  host.Notify(command);
  host.ReadUiLog(tail);

  // The dialog answers on its own thread; tick until it has armed the raster or gone.
  bool alive = true;
  while (alive && !host.armed() && !gStopRequested) {
    const bool dialogGone = !plugin.DialogRunning();
    alive = host.Tick();
    host.ReadUiLog(tail);
    if (dialogGone && !host.armed()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!host.armed()) {
    host.Finish();
    host.ReadUiLog(tail);
    return Failure(alive ? "the setup dialog closed without arming the engraving"
                         : "stopped before the engraving was armed");
  }
  if (resuming != nullptr) {
    // The dialog's fields and what it derived from the picture must be the recorded ones, or
    // the lines would fire elsewhere than where the first run left them.
    while (plugin.DialogRunning() && alive) {
      alive = host.Tick();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    host.ReadUiLog(tail);
    const std::string difference = SettingsDifference(resuming->setup.record, host.shownFields());
    if (!difference.empty()) {
      host.PressReset();
      host.Finish();
      return Failure("cannot resume: the settings differ from the interrupted engraving's: " +
                     difference);
    }
  }

  host.PressCycleStart();
  while (alive && !gStopRequested && !((host.complete() || host.canceled()) && host.idle())) {
    alive = host.Tick();
    host.ReadUiLog(tail);
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  const bool complete = host.complete() && alive && !gStopRequested;
  const std::string reason = host.cancelReason();
  const bool written = host.Finish();
  host.ReadUiLog(tail);
  PrintSummary(host, options, mdiSeconds);
  const std::string hint = host.ResumeHint();
  if (!complete)
    std::fprintf(stderr, "engrave-lcnc: the engraving did not complete (%s)%s\n",
                 gStopRequested   ? "stopped"
                 : reason.empty() ? "cancelled"
                                  : reason.c_str(),
                 hint.empty() ? ""
                              : ("; to go on: engrave-lcnc resume" +
                                 (options.profile.empty() ? std::string()
                                                          : " --profile " + options.profile) +
                                 " (" + hint + ")")
                                    .c_str());
  return complete && written ? 0 : 1;
}

int RunEngrave(const Options& options) {
  Connection link;
  if (!link.Open(options)) return 1;
  AdoptComponentRecord(ResumeFileOf(options), link.trigger.LastArmed());
  return RunScriptedEngraving(options, link, nullptr);
}

// Goes on with the engraving kept in the resume file, after its checks.
int RunResume(const Options& options) {
  if (!options.settingsGiven.empty())
    return Failure("resume takes every setting from the interrupted engraving, not " +
                   options.settingsGiven.front());
  const std::string path = ResumeFileOf(options);
  Resuming resuming;
  std::string why;
  // The picture first: that needs no LinuxCNC.
  if (!ReadResume(path, options.picture, &resuming.setup, &why)) return Failure(why);
  Connection link;
  if (!link.Open(options)) return 1;
  AdoptComponentRecord(path, link.trigger.LastArmed());
  if (!ReadResume(path, options.picture, &resuming.setup, &why)) return Failure(why);
  if (!PlanResumeOn(link.machine, link.trigger.LastArmed(), &resuming.setup, &why)) {
    // A record of an engraving that fired to its end is of no more use.
    if (resuming.setup.plan.finished) std::remove(path.c_str());
    return Failure(why);
  }
  const ResumePlan& plan = resuming.setup.plan;
  if (!plan.note.empty()) std::fprintf(stderr, "engrave-lcnc: %s\n", plan.note.c_str());
  std::printf("resume: %s of %ld, %s (%s)\n",
              DescribeResumePoint(plan.line, plan.afterStep).c_str(), resuming.setup.record.lines,
              resuming.setup.picture.c_str(), path.c_str());
  std::fflush(stdout);
  return RunScriptedEngraving(options, link, &resuming);
}

// Runs a G-code program in AUTO, as another display would, and reports the X stepping the
// component saw: the yardstick for how much time a raster loses between its lines.
int RunProgram(const Options& options) {
  if (options.picture.empty()) return Failure("program needs a G-code FILE");
  const std::string file = fs::absolute(options.picture).string();
  Connection link;
  if (!link.Open(options)) return 1;
  if (!link.trigger.mapped()) return Failure("the trigger component is needed to time X");
  std::string error;
  if (!MachineOn(link.cnc, &error)) return Failure(error);
  LinuxCnc& cnc = link.cnc;
  link.trigger.ResetStepping();
  if (!cnc.Run(cnc.SetMode(TaskMode::kAuto), 5.0, &error) ||
      !cnc.Run(cnc.OpenProgram(file), 10.0, &error))
    return Failure(file + ": " + error);
  // The run command counts as executing until the program ends: it is not waited for. The
  // interpreter leaves idle once the program starts and returns to it at its end.
  if (cnc.RunProgram() == 0) return Failure("lost the connection to LinuxCNC");
  bool started = false, ended = false;
  const auto startDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!gStopRequested && !ended) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    link.trigger.Beat();
    if (!cnc.Refresh()) return Failure("lost the connection to LinuxCNC");
    const MachineStatus& status = cnc.status();
    std::string text;
    bool isError = false;
    while (cnc.NextMessage(&text, &isError))
      if (isError) return Failure("LinuxCNC: " + text);
    if (status.state != TaskState::kOn) return Failure("the machine stopped");
    started = started || !status.interpreterIdle;
    if (!started && std::chrono::steady_clock::now() > startDeadline)
      return Failure(file + ": the program did not start");
    ended = started && status.interpreterIdle && status.motionIdle;
  }
  const SteppingRecord record = link.trigger.Stepping();
  cnc.Run(cnc.SetMode(TaskMode::kMdi), 5.0, &error);
  if (!ended) return Failure("stopped");
  std::printf("program: %s\n", file.c_str());
  std::printf("raster time: %.1f s from the first X step to the last (the return included)\n",
              double(record.lastNs - record.firstNs) / 1e9);
  std::printf("X standstills of 3 ms or more: %zu, median %.1f ms, max %.1f ms\n",
              record.gapsMs.size(), Median(record.gapsMs), Max(record.gapsMs));
  return 0;
}

}  // namespace
}  // namespace lcnc

int main(int argc, char** argv) {
  using namespace lcnc;
  if (argc == 2 && std::string(argv[1]) == "--version") return host::PrintVersion("engrave-lcnc");
  std::signal(SIGINT, [](int) { gStopRequested = true; });
  std::signal(SIGTERM, [](int) { gStopRequested = true; });
  Options options;
  std::string error;
  if (!host::ParseOptions(Arguments(argc, argv), host::Program::kEngraveLcnc, options, &error)) {
    std::fprintf(stderr, "engrave-lcnc: %s\n", error.c_str());
    PrintUsage(stderr);
    return 2;
  }
  if (options.mode == "help") {
    PrintUsage(stdout);
    return 0;
  }
  if (options.mode.empty()) options.mode = "gui";
  if (options.mode == "engrave") return RunEngrave(options);
  if (options.mode == "resume") return RunResume(options);
  if (options.mode == "gui") return RunGui(options);
  if (options.mode == "program") return RunProgram(options);
  std::fprintf(stderr, "engrave-lcnc: unknown command %s\n", options.mode.c_str());
  PrintUsage(stderr);
  return 2;
}
