// host-sim: a host controller stand-in. Loads the plug-in with dlopen, drives it through its
// entry points as a host controller does, executes the G-code it sends and fires the tool from
// its trigger bits.
//
//   host-sim [run] [--profile FILE] [--plugin FILE]   load, start up, tick, stop, unload
//   host-sim engrave [PICTURE] [options]              one whole engraving, scripted dialog
//   host-sim gui [options]                            the real dialog; Enter = Cycle Start
//   host-sim sample FILE.png                          write the built-in sample picture
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/HostFiles.h"
#include "host/HostOptions.h"
#include "host/InstallPaths.h"
#include "host/Machine.h"
#include "host/PluginHost.h"
#include "host/SamplePicture.h"
#include "host/TraceWriter.h"

namespace host {
namespace {

// A raster whose step-over never reaches the height would run forever.
constexpr long kMaxRasterLines = 200000;

// ---- options --------------------------------------------------------------------------------

void PrintUsage(std::FILE* out) {
  std::fputs(
      "usage: host-sim [run] [--profile FILE] [--plugin FILE]\n"
      "       host-sim engrave [PICTURE] [options]\n"
      "       host-sim gui [options]\n"
      "       host-sim sample FILE.png\n"
      "       host-sim --version\n"
      "options:\n",
      out);
  PrintEngraveOptions(out);
  std::fputs(
      "  --steps-per-unit-x N  X motor steps per unit (default 100)\n"
      "  --steps-per-unit-y N  Y motor steps per unit (default 100)\n"
      "  --accel-x A           X's acceleration limit, units/s^2 (for --overscan auto)\n"
      "gui keys: Enter = Cycle Start, Escape = Reset, o = menu \"&Engrave Photo\",\n"
      "          c = Config, q or end of input = stop once no dialog is open\n",
      out);
}

// ---- one session with the plug-in -----------------------------------------------------------

class Session final : public HostObserver {
 public:
  Session(const Options& options, PluginHost& host)
      : options_(options), host_(host), machine_(options.stepsPerUnitX, options.stepsPerUnitY) {}

  bool OpenOutputs(std::string* error) {
    return trace_.Open(options_.gcode, options_.trace, error);
  }

  void set_verbose(bool verbose) { verbose_ = verbose; }

  // HostObserver
  void OnCode(const std::string& line) override { trace_.Code(line, *host_.driver); }
  void OnStatus(const std::string& text) override {
    trace_.Status(text);
    if (verbose_) Print("status: " + text);
    if (text == kArmedStatus) armed_ = true;
    if (text == kRunningStatus) host_.control.CycleStart = 0;  // the button is momentary
    if (text == kCompleteStatus) complete_ = true;
  }
  void OnTriggerMode(int32_t mode) override { trace_.TriggerMode(mode); }

  void ReadUiLog(UiLogTail& tail) {
    tail.ReadNew([&](const std::string&, const std::vector<std::string>& fields) {
      if (fields[0] == "message" && fields.size() >= 3) {
        trace_.Message(fields[1], fields[2]);
        Print(fields[1] + ": " + fields[2], stderr);
      } else if (fields[0] == "show" && fields.size() >= 3 && fields[1] == "4164") {
        if (const std::optional<double> height = ParseNumber(fields[2])) height_ = *height;
      } else if (fields[0] == "show" && fields.size() >= 3 && fields[1] == "4165") {
        if (const std::optional<double> width = ParseNumber(fields[2]))
          machine_.SetEngravedWidth(*width);
      } else if (fields[0] == "show" && fields.size() >= 3 && fields[1] == "4191") {
        estimate_ = EstimatedTime(fields[2]);
      } else if (fields[0] == "snapshot" && fields.size() >= 4 && fields[3] != "ok") {
        Print("host-sim: cannot write " + fields[2], stderr);
        snapshotFailed_ = true;
      }
    });
  }

  // Executes what the plug-in sent; the machine is then ready for more.
  void RunMachine() {
    bool moved = false;
    while (!host_.pendingCode().empty()) {
      const std::string line = host_.pendingCode().front();
      host_.pendingCode().pop_front();
      if (!machine_.Execute(line, host_.control.TriggerMode, *host_.driver))
        Print("host-sim: skipped a line it does not understand: " + line, stderr);
      moved = true;
    }
    if (moved) host_.motion.LineDone = 1;
  }

  void Tick(UiLogTail& tail) {
    host_.entries().Update();
    host_.Observe();
    ReadUiLog(tail);
    RunMachine();
  }

  void ShowProgress(bool done) {
    if (!isatty(STDOUT_FILENO)) return;
    const double height = height_ > 0.0 ? height_ : options_.height.value;
    const double share = done ? 1.0 : std::clamp(machine_.y() / height, 0.0, 1.0);
    const int percent = int(share * 100.0);
    if (percent == lastPercent_ && !done) return;
    lastPercent_ = percent;
    constexpr int kBar = 40;
    const int filled = int(share * kBar);
    std::printf("\r[%s%s] %3d%%  line %ld", std::string(filled, '#').c_str(),
                std::string(kBar - filled, '.').c_str(), percent, machine_.summary().rasterLines);
    if (done) std::printf("\n");
    std::fflush(stdout);
  }

  void Print(const std::string& text, std::FILE* out = stdout) {
    if (lastPercent_ >= 0 && isatty(STDOUT_FILENO)) std::printf("\n");
    lastPercent_ = -1;
    std::fprintf(out, "%s\n", text.c_str());
    std::fflush(out);
  }

  bool armed() const { return armed_; }
  const std::string& estimate() const { return estimate_; }
  bool snapshotFailed() const { return snapshotFailed_; }
  bool complete() const { return complete_; }
  const Machine& machine() const { return machine_; }

 private:
  const Options& options_;
  PluginHost& host_;
  Machine machine_;
  TraceWriter trace_;
  bool armed_ = false;
  bool complete_ = false;
  bool verbose_ = false;
  double height_ = 0.0;
  int lastPercent_ = -1;
  std::string estimate_;  // the dialog's engraving time, H:MM:SS
  bool snapshotFailed_ = false;
};

bool WriteSample(const std::string& path) {
  std::string error;
  if (!WritePng(path, MakeSamplePicture(), &error)) {
    std::fprintf(stderr, "host-sim: %s\n", error.c_str());
    return false;
  }
  return true;
}

// Opens the session's output files, loads the plug-in and sets up a machine ready to engrave:
// printer port active, axes at zero, no G-code file, ready for moves. The profile is the one
// the options name, else a fresh one in temp.
bool PrepareHost(const Options& options, PluginHost& host, Session& session, const TempDir& temp) {
  host.set_observer(&session);
  std::string error;
  if (!session.OpenOutputs(&error)) {
    std::fprintf(stderr, "host-sim: %s\n", error.c_str());
    return false;
  }
  const std::string profile = options.profile.empty() ? temp.File("profile.xml") : options.profile;
  const std::string plugin = options.plugin.empty() ? DefaultPluginPath() : options.plugin;
  if (!host.Load(plugin, &error)) {
    std::fprintf(stderr, "host-sim: %s\n", error.c_str());
    return false;
  }
  host.motion.StepsPerUnitX = options.stepsPerUnitX;
  host.motion.StepsPerUnitY = options.stepsPerUnitY;
  host.motion.MaxAccelerationX = options.accelerationX;
  host.motion.LineDone = 1;
  host.driver->PrinterPortActive = 1;
  host.StartUp(profile);
  return true;
}

void PrintSummary(const Session& session, const Options& options) {
  const MachineSummary& summary = session.machine().summary();
  std::printf("engraved: %ld raster lines, %ld G-code lines, %ld fires, machining time %s at F%s\n",
              summary.rasterLines, summary.codeLines, summary.fires,
              FormatDuration(summary.seconds).c_str(), options.feed.text.c_str());
  if (!session.estimate().empty()) std::printf("estimate: %s\n", session.estimate().c_str());
  if (!options.gcode.empty()) std::printf("G-code: %s\n", options.gcode.c_str());
  if (!options.image.empty()) std::printf("result picture: %s\n", options.image.c_str());
  if (!options.trace.empty()) std::printf("trace: %s\n", options.trace.c_str());
  if (!options.preview.empty()) std::printf("preview: %s\n", options.preview.c_str());
}

bool WriteResult(const Session& session, const Options& options) {
  if (options.image.empty()) return true;
  std::string error;
  if (WritePng(options.image, session.machine().Render(), &error)) return true;
  std::fprintf(stderr, "host-sim: %s\n", error.c_str());
  return false;
}

// ---- modes ----------------------------------------------------------------------------------

int RunLifecycle(const Options& options) {
  TempDir temp;
  const std::string profile = options.profile.empty() ? temp.File("profile.xml") : options.profile;
  PluginHost host;
  const std::string plugin = options.plugin.empty() ? DefaultPluginPath() : options.plugin;
  std::string error;
  if (!host.Load(plugin, &error)) {
    std::fprintf(stderr, "host-sim: %s\n", error.c_str());
    return 1;
  }
  std::printf("loaded: %s\n", plugin.c_str());
  const std::string displayName = host.StartUp(profile);
  std::printf("InitControl: %d\n", host.initControlResult);
  std::printf("display name: %s\n", displayName.c_str());
  const std::vector<std::string> menus = host.menu.Describe();
  if (menus.empty()) std::printf("menu: (none added)\n");
  for (const std::string& menu : menus) std::printf("menu: %s\n", menu.c_str());
  constexpr int kTicks = 5;
  for (int tick = 0; tick < kTicks; ++tick) host.entries().Update();
  std::printf("Update: %d ticks\n", kTicks);
  host.entries().StopPlug();
  std::printf("StopPlug\n");
  host.Unload();
  std::printf("unloaded\n");
  return 0;
}

int RunEngrave(const Options& options) {
  TempDir temp;
  if (!temp.ok()) {
    std::fprintf(stderr, "host-sim: cannot make a temporary directory\n");
    return 1;
  }
  std::string picture = options.picture;
  if (picture.empty()) {
    picture = temp.File("sample.png");
    if (!WriteSample(picture)) return 1;
  }
  setenv("ENGRAVING_UI", "script", 1);
  if (std::getenv("ENGRAVING_UI_SCRIPT") == nullptr) {
    const std::string script = temp.File("answers.script");
    if (!WriteText(script, ComposeScript(options, picture))) return 1;
    setenv("ENGRAVING_UI_SCRIPT", script.c_str(), 1);
  }
  if (std::getenv("ENGRAVING_UI_LOG") == nullptr)
    setenv("ENGRAVING_UI_LOG", temp.File("ui.log").c_str(), 1);
  UiLogTail tail(std::getenv("ENGRAVING_UI_LOG"));

  PluginHost host;
  Session session(options, host);
  if (!PrepareHost(options, host, session, temp)) return 1;

  const int command = host.menu.FindCommand(kMenuItem);
  if (command < 0) {
    std::fprintf(stderr, "host-sim: the plug-in added no \"%s\" menu item\n", kMenuItem);
    host.entries().StopPlug();
    return 1;
  }
  host.entries().Notify(command);
  host.Observe();
  session.ReadUiLog(tail);

  // The dialog answers on its own thread; tick until it has armed the raster or gone.
  while (!session.armed()) {
    const bool dialogGone = !host.DialogRunning();
    session.Tick(tail);  // also takes over what the dialog handed to the host thread
    if (dialogGone && !session.armed()) break;
    if (!session.armed()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!session.armed()) {
    session.Print("host-sim: the setup dialog closed without arming the engraving", stderr);
    host.entries().StopPlug();
    return 1;
  }

  host.control.CycleStart = 1;
  while (!(session.complete() && host.pendingCode().empty())) {
    session.Tick(tail);
    session.ShowProgress(false);
    if (session.machine().summary().rasterLines > kMaxRasterLines) {
      host.entries().Reset();
      host.Observe();
      session.Print("host-sim: stopped after " + std::to_string(kMaxRasterLines) +
                        " lines; the raster does not reach its height",
                    stderr);
      host.entries().StopPlug();
      return 1;
    }
  }
  session.ShowProgress(true);
  host.entries().StopPlug();
  host.Observe();
  session.ReadUiLog(tail);
  host.Unload();
  const bool written = WriteResult(session, options);
  PrintSummary(session, options);
  // A preview that could not be written is a failure of the run, as a result picture is.
  return written && !session.snapshotFailed() ? 0 : 1;
}

// The terminal in raw mode (no line buffering, no echo) for single key presses.
class RawTerminal {
 public:
  RawTerminal() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= tcflag_t(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~RawTerminal() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }

 private:
  termios saved_{};
  bool active_ = false;
};

// The next key, if one is waiting: '\n' for Enter, 27 for Escape, -1 at the end of input.
std::optional<int> ReadKey(int waitMilliseconds) {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  if (poll(&input, 1, waitMilliseconds) <= 0) return std::nullopt;
  char key = 0;
  const ssize_t count = read(STDIN_FILENO, &key, 1);
  if (count <= 0) return -1;
  return key == '\r' ? '\n' : int(static_cast<unsigned char>(key));
}

int RunGui(const Options& options) {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    std::fprintf(stderr, "host-sim gui needs an X display (set DISPLAY)\n");
    return 2;
  }
  TempDir temp;
  setenv("ENGRAVING_UI", "fltk", 1);
  if (std::getenv("ENGRAVING_UI_LOG") == nullptr)
    setenv("ENGRAVING_UI_LOG", temp.File("ui.log").c_str(), 1);
  UiLogTail tail(std::getenv("ENGRAVING_UI_LOG"));

  PluginHost host;
  Session session(options, host);
  session.set_verbose(true);
  if (!PrepareHost(options, host, session, temp)) return 1;
  const int command = host.menu.FindCommand(kMenuItem);
  std::printf(
      "keys: Enter = Cycle Start, Escape = Reset, o = open the dialog, c = Config, "
      "q = quit\n");
  std::fflush(stdout);
  if (command >= 0) host.entries().Notify(command);

  RawTerminal terminal;
  bool quit = false;
  bool inputEnded = false;
  while (!(quit && !host.DialogRunning())) {
    session.Tick(tail);
    const std::optional<int> key = inputEnded ? std::nullopt : ReadKey(10);
    if (inputEnded) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!key) continue;
    switch (*key) {
      case -1:
        inputEnded = true;
        quit = true;
        break;
      case 'q':
        quit = true;
        break;
      case '\n':
        host.control.CycleStart = 1;
        session.Print("Cycle Start");
        break;
      case 27:
        host.entries().Reset();
        host.Observe();
        break;
      case 'o':
        if (command >= 0) host.entries().Notify(command);
        break;
      case 'c':
        host.entries().Config();
        break;
      default:
        break;
    }
    host.Observe();
    session.ReadUiLog(tail);
  }
  host.entries().StopPlug();
  host.Observe();
  session.ReadUiLog(tail);
  host.Unload();
  const bool written = WriteResult(session, options);
  if (session.machine().summary().codeLines > 0) PrintSummary(session, options);
  return written ? 0 : 1;
}

}  // namespace
}  // namespace host

int main(int argc, char** argv) {
  using namespace host;
  if (argc == 2 && std::string(argv[1]) == "--version") return PrintVersion("host-sim");
  Options options;
  options.mode = "run";
  std::string error;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), Program::kHostSim, options,
                    &error)) {
    std::fprintf(stderr, "host-sim: %s\n", error.c_str());
    PrintUsage(stderr);
    return 2;
  }
  if (options.mode == "help") {
    PrintUsage(stdout);
    return 0;
  }
  if (options.mode == "run") return RunLifecycle(options);
  if (options.mode == "engrave") return RunEngrave(options);
  if (options.mode == "gui") return RunGui(options);
  if (options.mode == "sample") {
    if (options.picture.empty()) {
      std::fprintf(stderr, "host-sim sample needs a file name\n");
      return 2;
    }
    return WriteSample(options.picture) ? 0 : 1;
  }
  std::fprintf(stderr, "host-sim: unknown command %s\n", options.mode.c_str());
  PrintUsage(stderr);
  return 2;
}
