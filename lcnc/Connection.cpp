#include "lcnc/Connection.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace lcnc {
namespace {

namespace fs = std::filesystem;

// Runs the INI's POSTGUI_HALFILE with halcmd, as LinuxCNC's own displays do once their pins
// exist; a relative name is taken from the INI's folder.
bool RunPostGuiHal(const MachineSettings& machine, std::string* error) {
  if (machine.postGuiHalFile.empty()) return true;
  fs::path file = machine.postGuiHalFile;
  if (file.is_relative()) file = fs::path(machine.iniPath).parent_path() / file;
  const std::string command = "halcmd -i '" + machine.iniPath + "' -f '" + file.string() + "'";
  if (std::system(command.c_str()) != 0) {
    *error = "the POSTGUI_HALFILE " + file.string() + " failed";
    return false;
  }
  return true;
}

bool Fail(const std::string& error) {
  std::fprintf(stderr, "engrave-lcnc: %s\n", error.c_str());
  return false;
}

}  // namespace

std::atomic<bool> gStopRequested{false};

double Median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

double Max(const std::vector<double>& values) {
  return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

bool IsTheDisplay(const MachineSettings& machine) {
  const std::string program = machine.display.substr(0, machine.display.find_first_of(" \t"));
  return fs::path(program).filename() == "engrave-lcnc";
}

int Failure(const std::string& error) {
  Fail(error);
  return 1;
}

bool Connection::Open(const host::Options& options) {
  std::string error;
  std::string ini = options.ini;
  if (ini.empty() && std::getenv("INI_FILE_NAME") != nullptr) ini = std::getenv("INI_FILE_NAME");
  if (ini.empty()) return Fail("no INI file: give -ini FILE or start engrave-lcnc from LinuxCNC");
  if (!ReadMachineSettings(ini, &machine, &error)) return Fail(error);
  if (!trigger.Map(&error)) {
    if (error.rfind("another engrave-lcnc", 0) == 0) return Fail(error);
    std::fprintf(stderr, "engrave-lcnc: %s; the tool cannot fire\n", error.c_str());
  }
  // Displays run the POSTGUI_HALFILE once their own pins exist; beside another display, that
  // display has run it already.
  if (IsTheDisplay(machine) && !RunPostGuiHal(machine, &error)) return Fail(error);
  if (!cnc.Connect(machine.nmlFile, 10.0, &error)) return Fail(error);
  if (trigger.mapped()) {
    // Without its servo-thread function the component cannot tell when the stepgens have
    // caught up, and no line would ever end.
    AxisCapture capture;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!trigger.ReadCapture(&capture)) {
      if (std::chrono::steady_clock::now() > deadline)
        return Fail(
            "engrave-trigger.capture does not run: add it to the servo thread "
            "(addf engrave-trigger.capture servo-thread)");
      trigger.Beat();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return true;
}

bool MachineOn(LinuxCnc& cnc, std::string* error) {
  if (cnc.status().state == TaskState::kEstop &&
      !cnc.Run(cnc.SetState(TaskState::kEstopReset), 5.0, error))
    return false;
  if (cnc.status().state != TaskState::kOn && !cnc.Run(cnc.SetState(TaskState::kOn), 5.0, error))
    return false;
  if (cnc.status().state != TaskState::kOn) {
    *error = "the machine did not switch on (E-stop pressed?)";
    return false;
  }
  return cnc.status().mode == TaskMode::kMdi || cnc.Run(cnc.SetMode(TaskMode::kMdi), 5.0, error);
}

bool HomeAll(LinuxCnc& cnc, std::string* error) {
  if (cnc.status().mode != TaskMode::kManual &&
      !cnc.Run(cnc.SetMode(TaskMode::kManual), 5.0, error))
    return false;
  if (!cnc.Run(cnc.HomeAll(), 5.0, error)) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  while (!cnc.status().homed) {
    if (std::chrono::steady_clock::now() > deadline || cnc.status().state != TaskState::kOn) {
      *error = "homing did not finish";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!cnc.Refresh()) {
      *error = "lost the connection to LinuxCNC";
      return false;
    }
  }
  return cnc.Run(cnc.SetMode(TaskMode::kMdi), 5.0, error);
}

void PrintSummary(const LcncHost& host, const host::Options& options, double mdiSeconds) {
  const RunFigures& f = host.figures();
  std::printf("engraved: %ld raster lines, %ld steps, %ld fires (counted by engrave_trigger)\n",
              f.rasterLines, f.steps, f.fires);
  if (f.stepping.lastNs > f.stepping.firstNs)
    std::printf("raster time: %.1f s from the first X step to the last (the return included)\n",
                double(f.stepping.lastNs - f.stepping.firstNs) / 1e9);
  // The dialog counts the moves at the feed rate only, without acceleration or stops.
  if (!host.estimate().empty())
    std::printf("estimate: %s (the dialog's, the moves at the feed rate)\n",
                host.estimate().c_str());
  std::printf(
      "line to line: median %.1f ms, max %.1f ms (last X step of a line to the first "
      "of the next)\n",
      Median(f.lineGapsMs), Max(f.lineGapsMs));
  std::printf("X step rate: median %.0f steps/s, max %.0f steps/s\n", Median(f.lineRates),
              Max(f.lineRates));
  std::printf("MDI: %.1f ms per command that does not move; moves took median %.1f ms\n",
              mdiSeconds * 1e3, Median(f.mdiSeconds) * 1e3);
  if (const std::string hint = host.ResumeHint(); !hint.empty())
    std::printf("resume: %s; engrave-lcnc resume goes on from there\n", hint.c_str());
  if (!options.fired.empty()) std::printf("fired: %s\n", options.fired.c_str());
  if (!options.gcode.empty()) std::printf("G-code: %s\n", options.gcode.c_str());
  if (!options.image.empty()) std::printf("result picture: %s\n", options.image.c_str());
  if (!options.trace.empty()) std::printf("trace: %s\n", options.trace.c_str());
  if (!options.preview.empty()) std::printf("preview: %s\n", options.preview.c_str());
}

}  // namespace lcnc
