#include "lcnc/LcncHost.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#include <inifile.hh>
#pragma GCC diagnostic pop

namespace lcnc {
namespace {

using Clock = std::chrono::steady_clock;

// The stepgens must match the commanded position for this long before the next line: at the
// end of a move a stepgen can still be catching up, or overshoot and come back.
constexpr auto kSettleTime = std::chrono::milliseconds(50);
// No stepgen takes this long to catch up once motion says a move is done.
constexpr auto kSettleTimeout = std::chrono::seconds(30);
// The task's heartbeat counts every task cycle; a task that stops counting is gone.
constexpr auto kHeartbeatTimeout = std::chrono::seconds(3);

std::optional<double> IniNumber(IniFile& ini, const char* tag, const char* section) {
  const char* text = ini.Find(tag, section);
  if (text == nullptr) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || !std::isfinite(value)) return std::nullopt;
  return value;
}

// The G and X words of a line, as the plug-in writes them ("G1 X10.0000 F100.0000").
struct MoveWords {
  std::optional<double> g, x;
};

MoveWords ReadMoveWords(const std::string& line) {
  MoveWords words;
  for (size_t i = 0; i < line.size(); ++i) {
    const char letter = char(std::toupper(static_cast<unsigned char>(line[i])));
    if (letter != 'G' && letter != 'X') continue;
    const char* start = line.c_str() + i + 1;
    char* end = nullptr;
    const double value = std::strtod(start, &end);
    if (end == start) continue;
    (letter == 'G' ? words.g : words.x) = value;
  }
  return words;
}

double Milliseconds(int64_t nanoseconds) {
  return double(nanoseconds) / 1e6;
}

}  // namespace

bool ReadMachineSettings(const std::string& iniPath, MachineSettings* settings,
                         std::string* error) {
  IniFile ini;
  if (!ini.Open(iniPath.c_str())) {
    *error = "cannot read the INI file " + iniPath;
    return false;
  }
  settings->iniPath = iniPath;
  const std::optional<double> scaleX = IniNumber(ini, "SCALE", "JOINT_0");
  const std::optional<double> scaleY = IniNumber(ini, "SCALE", "JOINT_1");
  if (!scaleX || !scaleY || *scaleX == 0.0 || *scaleY == 0.0) {
    *error = iniPath + " needs [JOINT_0]SCALE and [JOINT_1]SCALE (steps per unit of X and Y)";
    return false;
  }
  settings->scaleX = *scaleX;
  settings->scaleY = *scaleY;
  const char* nml = ini.Find("NML_FILE", "EMC");
  settings->nmlFile = nml != nullptr ? nml : DefaultNmlFile();
  if (const char* postGui = ini.Find("POSTGUI_HALFILE", "HAL")) settings->postGuiHalFile = postGui;
  return true;
}

LcncHost::LcncHost(const host::Options& options, const MachineSettings& machine, LinuxCnc& cnc,
                   HalPins& pins, TriggerBuffer& trigger)
    : options_(options),
      machine_(machine),
      cnc_(cnc),
      pins_(pins),
      trigger_(trigger),
      plugin_(trigger.driver()),
      result_(std::fabs(machine.scaleX), std::fabs(machine.scaleY)) {
  plugin_.set_observer(this);
  heartbeatSeen_ = Clock::now();
}

LcncHost::~LcncHost() {
  trigger_.Disarm(0.1);
}

bool LcncHost::Start(const std::string& profile, std::string* error) {
  if (!trace_.Open(options_.gcode, options_.trace, error)) return false;
  if (!options_.fired.empty()) {
    firedFile_.open(options_.fired, std::ios::trunc);
    if (!firedFile_) {
      *error = "cannot write " + options_.fired;
      return false;
    }
  }
  const std::string path =
      options_.plugin.empty() ? host::ExecutableDir() + "/Engraving.so" : options_.plugin;
  if (!plugin_.Load(path, error)) return false;
  plugin_.motion.StepsPerUnitX = std::fabs(machine_.scaleX);
  plugin_.motion.StepsPerUnitY = std::fabs(machine_.scaleY);
  plugin_.motion.LineDone = 1;
  plugin_.driver->PrinterPortActive = trigger_.mapped() ? 1 : 0;
  WatchMachine();
  plugin_.StartUp(profile);
  return true;
}

bool LcncHost::idle() const {
  return phase_ == Phase::kIdle && plugin_.pendingCode().empty();
}

bool LcncHost::Tick() {
  if (lost_) return false;
  WatchMachine();
  if (lost_) return false;
  WatchPins();
  plugin_.entries().Update();
  plugin_.Observe();
  RunCommands();
  return !lost_;
}

void LcncHost::LostConnection(const std::string& what) {
  if (lost_) return;
  lost_ = true;
  std::fprintf(stderr, "engrave-lcnc: %s; stopping\n", what.c_str());
  Cancel("lost the connection to LinuxCNC", true);
}

void LcncHost::WatchMachine() {
  if (!cnc_.Refresh()) {
    LostConnection("lost the connection to LinuxCNC (its status channel is gone)");
    return;
  }
  const MachineStatus& status = cnc_.status();
  if (status.heartbeat != lastHeartbeat_) {
    lastHeartbeat_ = status.heartbeat;
    heartbeatSeen_ = Clock::now();
  } else if (Clock::now() - heartbeatSeen_ > kHeartbeatTimeout) {
    LostConnection("lost the connection to LinuxCNC (its task stopped answering)");
    return;
  }
  plugin_.motion.PositionX = status.workX;
  plugin_.motion.PositionY = status.workY;
  plugin_.motion.FileLoaded = status.fileLoaded ? 1 : 0;

  std::string text;
  bool isError = false;
  while (cnc_.NextMessage(&text, &isError)) {
    std::fprintf(stderr, "LinuxCNC: %s\n", text.c_str());
    if (isError && (armed_ || running_ || phase_ != Phase::kIdle))
      Cancel("LinuxCNC: " + text, true);
  }
  if ((armed_ || running_ || phase_ != Phase::kIdle) && status.state != TaskState::kOn) {
    Cancel(status.state == TaskState::kOff ? "the machine was switched off"
                                           : "the machine went to E-stop",
           true);
  }
}

void LcncHost::WatchPins() {
  const bool cycleStart = pins_.cycleStart();
  if (cycleStart && !lastCycleStartPin_) PressCycleStart();
  lastCycleStartPin_ = cycleStart;
  const bool reset = pins_.reset();
  if (reset && !lastResetPin_) PressReset();
  lastResetPin_ = reset;
}

void LcncHost::PressCycleStart() {
  // The button is momentary: a press with nothing armed must not start a raster armed later.
  if (armed_) plugin_.control.CycleStart = 1;
}

void LcncHost::PressReset() {
  // Firing stops before anything else: the plug-in's cancel disarms too, a tick later.
  if (trigger_.armed()) trigger_.Disarm(0.5);
  plugin_.entries().Reset();
  plugin_.Observe();
}

void LcncHost::Cancel(const std::string& reason, bool machineStopped) {
  if (trigger_.armed()) trigger_.Disarm(0.5);
  if (cancelReason_.empty() && (armed_ || running_)) cancelReason_ = reason;
  if (phase_ != Phase::kIdle && commandFailure_.empty()) commandFailure_ = reason;
  if (armed_ || running_) {
    plugin_.entries().Reset();
    plugin_.Observe();
  }
  if (!machineStopped) return;
  // The machine stopped: the commands already sent and those waiting will not run.
  if (phase_ != Phase::kIdle) FinishCommand(command_);
  phase_ = Phase::kIdle;
  command_ = Command{};
  plugin_.pendingCode().clear();
  plugin_.motion.LineDone = 1;
}

void LcncHost::OnCode(const std::string& line) {
  trace_.Code(line, *plugin_.driver);
}

void LcncHost::OnStatus(const std::string& text) {
  trace_.Status(text);
  if (onStatus) onStatus(text);
  if (text == host::kArmedStatus) {
    armed_ = true;
    complete_ = canceled_ = false;
    cancelReason_.clear();
  }
  if (text == host::kRunningStatus) {
    armed_ = false;
    running_ = true;
    plugin_.control.CycleStart = 0;  // the button is momentary
  }
  if (text == host::kCompleteStatus) {
    running_ = false;
    complete_ = true;
  }
  if (text == host::kCanceledStatus) {
    armed_ = running_ = false;
    plugin_.control.CycleStart = 0;
    canceled_ = true;
    if (cancelReason_.empty()) cancelReason_ = "Reset";
  }
}

void LcncHost::OnTriggerMode(int32_t mode) {
  trace_.TriggerMode(mode);
  if (mode != 0 && trigger_.armed()) trigger_.Disarm(0.5);
}

void LcncHost::ReadUiLog(host::UiLogTail& tail) {
  tail.ReadNew([&](const std::string&, const std::vector<std::string>& fields) {
    if (fields[0] == "message" && fields.size() >= 3) {
      trace_.Message(fields[1], fields[2]);
      if (onMessage) onMessage(fields[1], fields[2]);
    }
  });
}

void LcncHost::RunCommands() {
  if (phase_ == Phase::kIdle) {
    if (plugin_.pendingCode().empty()) return;
    if (!StartCommand()) return;
  }
  const MachineStatus& status = cnc_.status();
  if (phase_ == Phase::kRunning) {
    const CommandProgress progress = cnc_.Progress(command_.serial);
    if (progress == CommandProgress::kFailed) {
      std::string text;
      bool isError = false;
      const std::string reason =
          cnc_.NextMessage(&text, &isError) ? text : "LinuxCNC refused " + command_.line;
      std::fprintf(stderr, "LinuxCNC: %s\n", reason.c_str());
      Cancel("LinuxCNC: " + reason, true);
      return;
    }
    if (progress != CommandProgress::kDone || !status.interpreterIdle || !status.motionIdle) return;
    command_.motionDone = Clock::now();
    figures_.mdiSeconds.push_back(
        std::chrono::duration<double>(command_.motionDone - command_.sent).count());
    phase_ = Phase::kSettling;
  }
  if (phase_ == Phase::kSettling) {
    const auto now = Clock::now();
    if (!CaughtUp()) {
      command_.settledSince.reset();
      if (now - command_.motionDone > kSettleTimeout) {
        std::fprintf(stderr, "engrave-lcnc: the stepgens did not reach the position of %s\n",
                     command_.line.c_str());
        Cancel("the stepgens did not catch up", true);
      }
      return;
    }
    if (!command_.settledSince) command_.settledSince = now;
    if (now - *command_.settledSince < kSettleTime) return;
    FinishCommand(command_);
    command_ = Command{};
    phase_ = Phase::kIdle;
    if (plugin_.pendingCode().empty()) plugin_.motion.LineDone = 1;
  }
}

bool LcncHost::StartCommand() {
  Command command;
  command.line = plugin_.pendingCode().front();
  plugin_.pendingCode().pop_front();
  const MoveWords words = ReadMoveWords(command.line);
  command.fromHost = hostCommand_;
  const bool xMove = !command.fromHost && host::TraceWriter::IsXMove(command.line);
  if (xMove) command.rasterLine = xMovesRun_++;
  if (xMove && words.x && plugin_.control.TriggerMode == 0 && trigger_.mapped()) {
    const double travel = (*words.x - cnc_.status().workX) * machine_.scaleX;
    trigger_.Arm(travel < 0.0 ? -1 : 1, plugin_.control.PulseMode != 0);
    command.armedMove = true;
  }
  pins_.setRasterLine(int32_t(command.rasterLine));
  if (cnc_.status().mode != TaskMode::kMdi) {
    std::string error;
    if (!cnc_.Run(cnc_.SetMode(TaskMode::kMdi), 5.0, &error)) {
      std::fprintf(stderr, "engrave-lcnc: cannot switch LinuxCNC to MDI: %s\n", error.c_str());
      command_ = command;
      Cancel("LinuxCNC would not take MDI commands", true);
      return false;
    }
  }
  command.serial = cnc_.Mdi(command.line);
  command.sent = Clock::now();
  command_ = command;
  if (command.serial == 0) {
    LostConnection("lost the connection to LinuxCNC (cannot send a command)");
    return false;
  }
  phase_ = Phase::kRunning;
  return true;
}

bool LcncHost::CaughtUp() const {
  return pins_.xCounts() == std::lround(pins_.xPosCmd() * machine_.scaleX) &&
         pins_.yCounts() == std::lround(pins_.yPosCmd() * machine_.scaleY);
}

void LcncHost::FinishCommand(const Command& command) {
  if (command.fromHost) return;
  if (command.armedMove) {
    FinishMove(command);
  } else if (command.rasterLine >= 0) {
    // An X move that was not armed fires nothing: say so for its line.
    ++figures_.rasterLines;
    if (firedFile_) firedFile_ << "bits\t" << command.rasterLine << "\t\n" << std::flush;
    std::memset(firedState_->TriggerBits, 0, sizeof firedState_->TriggerBits);
  }
  result_.Execute(command.line, command.armedMove ? 0 : -1, *firedState_);
}

void LcncHost::FinishMove(const Command& command) {
  if (!trigger_.Disarm(1.0))
    std::fprintf(stderr, "engrave-lcnc: engrave_trigger did not answer (its thread stopped?)\n");
  const MoveRecord record = trigger_.Record();
  ++figures_.rasterLines;
  figures_.fires += record.fires;
  figures_.steps += record.steps;
  if (record.firstStepNs != 0) {
    if (previousLastStepNs_ != 0)
      figures_.lineGapsMs.push_back(Milliseconds(record.firstStepNs - previousLastStepNs_));
    previousLastStepNs_ = record.lastStepNs;
    if (record.steps > 1 && record.lastStepNs > record.firstStepNs)
      figures_.lineRates.push_back(double(record.steps - 1) * 1e9 /
                                   double(record.lastStepNs - record.firstStepNs));
  }
  if (record.overrun > 0)
    std::fprintf(stderr, "engrave-lcnc: line %ld ran %u steps past the trigger buffer\n",
                 command.rasterLine, record.overrun);
  if (firedFile_)
    firedFile_ << "bits\t" << command.rasterLine << '\t'
               << host::BitRanges(trigger_.fired(), kTriggerWordCount) << '\n'
               << std::flush;
  std::memcpy(firedState_->TriggerBits, trigger_.fired(), sizeof firedState_->TriggerBits);
}

bool LcncHost::RunMdi(const std::string& line, std::string* error) {
  if (!idle() || armed_ || running_) {
    *error = "not while an engraving is armed or running";
    return false;
  }
  // The same road as the plug-in's lines: sent, done, settled; only the result picture and the
  // raster's counts leave it out.
  commandFailure_.clear();
  hostCommand_ = true;
  plugin_.pendingCode().push_back(line);
  while (!lost_ && !idle()) {
    WatchMachine();
    RunCommands();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  hostCommand_ = false;
  if (lost_) commandFailure_ = "lost the connection to LinuxCNC";
  *error = commandFailure_;
  return commandFailure_.empty();
}

double LcncHost::MeasureMdiSeconds(int count) {
  std::string error;
  double total = 0.0;
  int done = 0;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    if (!cnc_.Run(cnc_.Mdi("G90"), 5.0, &error)) break;
    total += std::chrono::duration<double>(Clock::now() - start).count();
    ++done;
  }
  return done > 0 ? total / done : 0.0;
}

bool LcncHost::Finish() {
  if (phase_ != Phase::kIdle) FinishCommand(command_);
  phase_ = Phase::kIdle;
  plugin_.entries().StopPlug();
  plugin_.Observe();
  plugin_.Unload();
  firedFile_.close();
  if (options_.image.empty()) return true;
  std::string error;
  if (host::WritePng(options_.image, result_.Render(), &error)) return true;
  std::fprintf(stderr, "engrave-lcnc: %s\n", error.c_str());
  return false;
}

}  // namespace lcnc
