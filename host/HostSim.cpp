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

#include "host/Machine.h"
#include "host/PluginHost.h"
#include "host/SamplePicture.h"

namespace hostsim {
namespace {

namespace fs = std::filesystem;

constexpr const char* kMenuItem = "&Engrave Photo";
constexpr const char* kArmedStatus = "Press Cycle Start to begin scanning Seq.";
constexpr const char* kRunningStatus = "Scanning Sequence Begins..";
constexpr const char* kCompleteStatus = "Scanning Sequence Complete";
// A raster whose step-over never reaches the height would run forever.
constexpr long kMaxRasterLines = 200000;

// ---- options --------------------------------------------------------------------------------

struct NumberOption {
  std::string text;  // as typed, handed to the dialog unchanged
  double value;
};

struct Options {
  std::string mode = "run";
  std::string picture;
  NumberOption width{"10", 10.0};
  NumberOption height{"8", 8.0};
  NumberOption feed{"100", 100.0};
  NumberOption stepOver{"0.05", 0.05};
  bool aspect = false;
  bool pulse = false;
  double stepsPerUnitX = 100.0;
  double stepsPerUnitY = 100.0;
  std::string profile, gcode, image, trace, plugin;
};

void PrintUsage(std::FILE* out) {
  std::fputs(
      "usage: host-sim [run] [--profile FILE] [--plugin FILE]\n"
      "       host-sim engrave [PICTURE] [options]\n"
      "       host-sim gui [options]\n"
      "       host-sim sample FILE.png\n"
      "options:\n"
      "  --width W             engraved width (default 10)\n"
      "  --height H            engraved height (default 8)\n"
      "  --feed F              feed rate, units per minute (default 100)\n"
      "  --stepover S          Y step-over between lines (default 0.05)\n"
      "  --aspect              keep the picture's aspect ratio (height from width)\n"
      "  --pulse               use 40us pulses at trigger time\n"
      "  --steps-per-unit-x N  X motor steps per unit (default 100)\n"
      "  --steps-per-unit-y N  Y motor steps per unit (default 100)\n"
      "  --profile FILE        the host's XML profile (default: a fresh temporary one)\n"
      "  --gcode FILE          write every G-code line the plug-in sent\n"
      "  --image FILE.png      write the engraved result, one dot per fired step\n"
      "  --trace FILE          write every host-visible event, tab-separated\n"
      "  --plugin FILE         the plug-in (default: Engraving.so beside host-sim)\n"
      "gui keys: Enter = Cycle Start, Escape = Reset, o = menu \"&Engrave Photo\",\n"
      "          c = Config, q or end of input = stop once no dialog is open\n",
      out);
}

std::optional<double> ParseNumber(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value)) return std::nullopt;
  return value;
}

bool ParseOptions(int argc, char** argv, Options& options, std::string* error) {
  std::vector<std::string> args(argv + 1, argv + argc);
  size_t i = 0;
  if (i < args.size() && args[i].rfind("--", 0) != 0) options.mode = args[i++];
  std::map<std::string, std::string*> files = {{"--profile", &options.profile},
                                               {"--gcode", &options.gcode},
                                               {"--image", &options.image},
                                               {"--trace", &options.trace},
                                               {"--plugin", &options.plugin}};
  std::map<std::string, NumberOption*> fields = {{"--width", &options.width},
                                                 {"--height", &options.height},
                                                 {"--feed", &options.feed},
                                                 {"--stepover", &options.stepOver}};
  std::map<std::string, double*> machine = {{"--steps-per-unit-x", &options.stepsPerUnitX},
                                            {"--steps-per-unit-y", &options.stepsPerUnitY}};
  for (; i < args.size(); ++i) {
    std::string name = args[i], value;
    const bool takesValue = files.count(name.substr(0, name.find('='))) ||
                            fields.count(name.substr(0, name.find('='))) ||
                            machine.count(name.substr(0, name.find('=')));
    if (const size_t equals = name.find('='); equals != std::string::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    } else if (takesValue) {
      if (i + 1 >= args.size()) {
        *error = name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    if (name == "--aspect") {
      options.aspect = true;
    } else if (name == "--pulse") {
      options.pulse = true;
    } else if (name == "--help" || name == "-h") {
      options.mode = "help";
    } else if (files.count(name)) {
      *files[name] = value;
    } else if (fields.count(name) || machine.count(name)) {
      const std::optional<double> number = ParseNumber(value);
      if (!number) {
        *error = name + " needs a number, not \"" + value + "\"";
        return false;
      }
      if (fields.count(name))
        *fields[name] = NumberOption{value, *number};
      else
        *machine[name] = *number;
    } else if (name.rfind("--", 0) != 0 && options.picture.empty()) {
      options.picture = name;
    } else {
      *error = "unknown option " + name;
      return false;
    }
  }
  if (!(options.stepOver.value > 0.0) && options.mode == "engrave") {
    *error = "--stepover must be > 0: the raster would never reach the height";
    return false;
  }
  if (!(options.stepsPerUnitX > 0.0) || !(options.stepsPerUnitY > 0.0)) {
    *error = "steps per unit must be > 0";
    return false;
  }
  return true;
}

// ---- files around the run -------------------------------------------------------------------

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "host-sim-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  bool ok() const { return !path_.empty(); }

 private:
  fs::path path_;
};

std::string ExecutableDir() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : self.parent_path().string();
}

// Reads the lines the UI layer appends to ENGRAVING_UI_LOG, from where it stood at the start.
class UiLogTail {
 public:
  explicit UiLogTail(std::string path) : path_(std::move(path)) {
    std::error_code error;
    const auto size = fs::file_size(path_, error);
    offset_ = error ? 0 : size;
  }
  template <typename Each>
  void ReadNew(Each each) {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return;
    in.seekg(std::streamoff(offset_));
    std::string line;
    while (std::getline(in, line)) {
      if (in.eof()) break;  // a line still being written: read it next time
      offset_ += line.size() + 1;
      std::vector<std::string> fields;
      std::stringstream split(line);
      for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
      if (!fields.empty()) each(line, fields);
    }
  }

 private:
  std::string path_;
  uint64_t offset_ = 0;
};

// The set bit numbers as ranges "a-b" joined by ",".
std::string BitRanges(const DriverState& driver) {
  std::string text;
  const long count = long(kTriggerWordCount) * 32;
  for (long bit = 0; bit < count;) {
    if (driver.TriggerBits[bit / 32] == 0 && bit % 32 == 0) {
      bit += 32;
      continue;
    }
    if (!((driver.TriggerBits[bit / 32] >> (bit % 32)) & 1u)) {
      ++bit;
      continue;
    }
    long last = bit;
    while (last + 1 < count && ((driver.TriggerBits[(last + 1) / 32] >> ((last + 1) % 32)) & 1u))
      ++last;
    if (!text.empty()) text += ',';
    text += std::to_string(bit) + "-" + std::to_string(last);
    bit = last + 1;
  }
  return text;
}

// ---- one session with the plug-in -----------------------------------------------------------

class Session final : public HostObserver {
 public:
  Session(const Options& options, PluginHost& host)
      : options_(options), host_(host), machine_(options.stepsPerUnitX, options.stepsPerUnitY) {}

  bool OpenOutputs(std::string* error) {
    if (!options_.gcode.empty()) {
      gcode_.open(options_.gcode, std::ios::trunc);
      if (!gcode_) *error = "cannot write " + options_.gcode;
    }
    if (!options_.trace.empty()) {
      trace_.open(options_.trace, std::ios::trunc);
      if (!trace_) *error = "cannot write " + options_.trace;
    }
    return error->empty();
  }

  void set_verbose(bool verbose) { verbose_ = verbose; }

  // HostObserver
  void OnCode(const std::string& line) override {
    if (line.rfind("G1 X", 0) == 0 && trace_)
      trace_ << "bits\t" << xMovesSent_ << '\t' << BitRanges(*host_.driver) << '\n';
    if (line.rfind("G1 X", 0) == 0) ++xMovesSent_;
    if (trace_) trace_ << "code\t" << line << '\n';
    if (gcode_) gcode_ << line << '\n';
  }
  void OnStatus(const std::string& text) override {
    if (trace_) trace_ << "status\t" << text << '\n';
    if (verbose_) Print("status: " + text);
    if (text == kArmedStatus) armed_ = true;
    if (text == kRunningStatus) host_.control.CycleStart = 0;  // the button is momentary
    if (text == kCompleteStatus) complete_ = true;
  }
  void OnTriggerMode(int32_t mode) override {
    if (trace_) trace_ << "triggermode\t" << mode << '\n';
  }

  void ReadUiLog(UiLogTail& tail) {
    tail.ReadNew([&](const std::string&, const std::vector<std::string>& fields) {
      if (fields[0] == "message" && fields.size() >= 3) {
        if (trace_) trace_ << "message\t" << fields[1] << '\t' << fields[2] << '\n';
        Print(fields[1] + ": " + fields[2], stderr);
      } else if (fields[0] == "show" && fields.size() >= 3 && fields[1] == "4164") {
        if (const std::optional<double> height = ParseNumber(fields[2])) height_ = *height;
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
  bool complete() const { return complete_; }
  const Machine& machine() const { return machine_; }

 private:
  const Options& options_;
  PluginHost& host_;
  Machine machine_;
  std::ofstream gcode_, trace_;
  long xMovesSent_ = 0;
  bool armed_ = false;
  bool complete_ = false;
  bool verbose_ = false;
  double height_ = 0.0;
  int lastPercent_ = -1;
};

std::string ComposeScript(const Options& options, const std::string& picture) {
  std::string script = "# host-sim engrave: the dialog's answers\n";
  script += "file " + picture + "\n";
  script += "set 4165 " + options.width.text + "\n";
  script += "set 4164 " + options.height.text + "\n";
  script += "set 4170 " + options.feed.text + "\n";
  script += "set 4167 " + options.stepOver.text + "\n";
  if (options.pulse) script += "click 4186\n";
  if (options.aspect) script += "click 4188\n";
  script += "click 1\n";  // Start Scanning
  script += "click 6\n";  // Yes
  return script;
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  return bool(out);
}

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
  const std::string plugin =
      options.plugin.empty() ? ExecutableDir() + "/Engraving.so" : options.plugin;
  if (!host.Load(plugin, &error)) {
    std::fprintf(stderr, "host-sim: %s\n", error.c_str());
    return false;
  }
  host.motion.StepsPerUnitX = options.stepsPerUnitX;
  host.motion.StepsPerUnitY = options.stepsPerUnitY;
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
  if (!options.gcode.empty()) std::printf("G-code: %s\n", options.gcode.c_str());
  if (!options.image.empty()) std::printf("result picture: %s\n", options.image.c_str());
  if (!options.trace.empty()) std::printf("trace: %s\n", options.trace.c_str());
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
  const std::string plugin =
      options.plugin.empty() ? ExecutableDir() + "/Engraving.so" : options.plugin;
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
  return written ? 0 : 1;
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
}  // namespace hostsim

int main(int argc, char** argv) {
  using namespace hostsim;
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, options, &error)) {
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
