#include "lcnc/LcncHost.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "host/InstallPaths.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#include <inifile.hh>
#pragma GCC diagnostic pop

namespace lcnc {
namespace {

using Clock = std::chrono::steady_clock;

// A stepgen that has reached its commanded count and made no step for this long has stopped:
// one that overshoots leaves the count first, and one still on its way does not match it.
constexpr double kQuietSeconds = 0.001;
// No stepgen takes this long to catch up once motion says a move is done.
constexpr auto kSettleTimeout = std::chrono::seconds(30);
// The task's heartbeat counts every task cycle; a task that stops counting is gone.
constexpr auto kHeartbeatTimeout = std::chrono::seconds(3);
constexpr auto kProgressInterval = std::chrono::seconds(10);
// LinuxCNC idle this long with a move short of its target: the move was stopped.
constexpr auto kIdleProof = std::chrono::milliseconds(50);
// A main loop that makes no pass for this long is stuck: the watchdog may then stop the tool.
constexpr auto kMainLoopStall = std::chrono::seconds(1);
// While a line fires, its progress goes to the resume file this often.
constexpr auto kResumeRecordInterval = std::chrono::seconds(1);
// A resume file that takes longer to write no longer holds up the next line.
constexpr auto kResumeRecordWait = std::chrono::seconds(2);

std::optional<double> IniNumber(IniFile& ini, const char* tag, const char* section) {
  const char* text = ini.Find(tag, section);
  if (text == nullptr) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || !std::isfinite(value)) return std::nullopt;
  return value;
}

double Milliseconds(int64_t nanoseconds) {
  return double(nanoseconds) / 1e6;
}

// A number for each raster, so that the trigger component's record of a move can be told to
// belong to it after a crash; never 0.
uint32_t NewJobNumber() {
  std::random_device random;
  uint32_t number = 0;
  while (number == 0) number = random();
  return number;
}

std::optional<long> ShownInteger(const std::map<int, std::string>& shown, int id) {
  const auto found = shown.find(id);
  if (found == shown.end()) return std::nullopt;
  const std::optional<double> value = host::ParseNumber(found->second);
  if (!value || *value != std::floor(*value)) return std::nullopt;
  return long(*value);
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
  if (const char* display = ini.Find("DISPLAY", "DISPLAY")) settings->display = display;
  // X's acceleration: the planner holds to the axis's and the joint's limit, so the lower one.
  for (const char* section : {"AXIS_X", "JOINT_0"}) {
    const std::optional<double> acceleration = IniNumber(ini, "MAX_ACCELERATION", section);
    if (acceleration && *acceleration > 0.0 &&
        (settings->accelerationX == 0.0 || *acceleration < settings->accelerationX))
      settings->accelerationX = *acceleration;
  }
  // The soft limits: the tighter of the axis's and the joint's (trivial kinematics).
  auto tighten = [&](const char* axis, const char* joint, double* low, double* high) {
    for (const char* section : {axis, joint}) {
      if (const std::optional<double> min = IniNumber(ini, "MIN_LIMIT", section))
        *low = std::max(*low, *min);
      if (const std::optional<double> max = IniNumber(ini, "MAX_LIMIT", section))
        *high = std::min(*high, *max);
    }
  };
  tighten("AXIS_X", "JOINT_0", &settings->minX, &settings->maxX);
  tighten("AXIS_Y", "JOINT_1", &settings->minY, &settings->maxY);
  return true;
}

LcncHost::LcncHost(const host::Options& options, const MachineSettings& machine, LinuxCnc& cnc,
                   TriggerBuffer& trigger)
    : options_(options),
      machine_(machine),
      cnc_(cnc),
      trigger_(trigger),
      plugin_(trigger.driver()),
      result_(std::fabs(machine.scaleX), std::fabs(machine.scaleY)),
      heartbeat_([&trigger] { trigger.Beat(); }, kMainLoopStall) {
  plugin_.set_observer(this);
  heartbeatSeen_ = Clock::now();
}

LcncHost::~LcncHost() {
  trigger_.Disarm(0.1);
  trigger_.SetRasterLine(-1);
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
  const std::string path = options_.plugin.empty() ? host::DefaultPluginPath() : options_.plugin;
  if (!plugin_.Load(path, error)) return false;
  plugin_.motion.StepsPerUnitX = std::fabs(machine_.scaleX);
  plugin_.motion.StepsPerUnitY = std::fabs(machine_.scaleY);
  plugin_.motion.MaxAccelerationX = machine_.accelerationX;
  plugin_.motion.LineDone = 1;
  plugin_.driver->PrinterPortActive = trigger_.mapped() ? 1 : 0;
  WatchMachine();
  plugin_.StartUp(profile);
  return true;
}

void LcncHost::KeepResumeFile(const std::string& path) {
  journal_ = std::make_unique<ResumeJournal>(path);
}

void LcncHost::SetResumePoint(long line, long afterStep) {
  plugin_.control.ResumeLine = int32_t(line > 0 ? line : 0);
  plugin_.control.ResumeAfterStep = line > 0 ? afterStep : -1;
}

std::string LcncHost::ResumeHint() const {
  if (!journal_ || complete_) return "";
  const std::optional<ResumeRecord> record = journal_->latest();
  if (!record) return "";
  std::string hint =
      "line " + std::to_string(record->line) + " of " + std::to_string(record->lines);
  if (record->fired >= 0) hint += " after step " + std::to_string(record->fired);
  return hint + ", kept in " + journal_->path();
}

void LcncHost::StartResumeRecord(long firstLine) {
  journaling_ = false;
  if (!journal_) return;
  ResumeRecord record;
  record.job = NewJobNumber();
  std::error_code error;
  record.picture = std::filesystem::absolute(picturePath_, error).string();
  if (picturePath_.empty() ||
      !FingerprintFile(record.picture, &record.pictureBytes, &record.pictureHash)) {
    std::fprintf(stderr,
                 "engrave-lcnc: cannot read the picture %s: this engraving cannot be "
                 "resumed if it is interrupted\n",
                 picturePath_.c_str());
    return;
  }
  record.stepsPerUnitX = std::fabs(machine_.scaleX);
  record.stepsPerUnitY = std::fabs(machine_.scaleY);
  for (const ResumeField& field : kResumeFields)
    if (const auto shown = shown_.find(field.controlId); shown != shown_.end())
      record.fields[field.controlId] = shown->second;
  record.lines = progress_.lines();
  record.line = firstLine;
  // Going on with an interrupted line: what fired of it before stays fired (the plug-in clears
  // those steps when the dialog that armed it was handed this line).
  record.fired = dialogResumeLine_ == firstLine ? long(dialogResumeAfterStep_) : -1;
  record.running = true;
  record_ = record;
  recordAhead_ = journal_->Post(record_);
  journaling_ = true;
  lastProgressRecord_ = Clock::now();
}

bool LcncHost::ResumeRecordReady(long rasterLine) {
  if (!journaling_) return true;
  // Before a line may fire, the record says it may be firing: after a power cut, that line
  // counts as engraved rather than fire any of its dots twice.
  if (record_.line < rasterLine + 1 || !record_.running) {
    record_.line = rasterLine + 1;
    record_.fired = -1;
    record_.running = true;
    recordAhead_ = journal_->Post(record_);
  }
  if (journal_->Written(recordAhead_)) {
    waitingForRecord_.reset();
    return true;
  }
  if (!waitingForRecord_) waitingForRecord_ = Clock::now();
  if (Clock::now() - *waitingForRecord_ < kResumeRecordWait) return false;
  std::fprintf(stderr,
               "engrave-lcnc: the resume file %s is slow to write; going on without "
               "waiting for it\n",
               journal_->path().c_str());
  waitingForRecord_.reset();
  recordAhead_ = 0;
  return true;
}

void LcncHost::RecordMoveEnd(const Command& command, int64_t lastFired) {
  if (!journaling_) return;
  const long line = command.rasterLine + 1;
  const int64_t fired = lastFired < 0 ? -1 : std::max<int64_t>(-1, lastFired - command.bitShift);
  if (command.ended && !canceled_ && !stopping_) {
    // The whole line went by: the next one is recorded before it is armed.
    record_.line = line + 1;
    record_.fired = -1;
    record_.running = true;
  } else {
    record_.fired = record_.line == line ? std::max<long>(record_.fired, long(fired)) : long(fired);
    record_.line = line;
    record_.running = false;
  }
  recordAhead_ = journal_->Post(record_);
}

void LcncHost::RecordProgressDuringLine() {
  if (!journaling_ || Clock::now() - lastProgressRecord_ < kResumeRecordInterval) return;
  lastProgressRecord_ = Clock::now();
  for (const Command& command : inFlight_) {
    if (!command.armedMove || record_.line != command.rasterLine + 1) continue;
    const int64_t lastFired = trigger_.LastFiredStep();
    if (lastFired < 0 || lastFired - command.bitShift <= record_.fired) return;
    record_.fired = long(lastFired - command.bitShift);
    journal_->Post(record_);
    return;
  }
}

void LcncHost::SealResumeRecord() {
  if (!journaling_) return;
  journaling_ = false;
  // Nothing fires any more: a line recorded ahead of its arming fired nothing.
  if (!record_.running) return;
  record_.running = false;
  journal_->Post(record_);
}

bool LcncHost::idle() const {
  return inFlight_.empty() && plugin_.pendingCode().empty() && hostLines_.empty() &&
         restoreModes_.empty();
}

bool LcncHost::RasterUnderWay() const {
  for (const Command& command : inFlight_)
    if (!command.fromHost) return true;
  return running_ && rasterCommands_ > 0;
}

bool LcncHost::Tick() {
  if (lost_) return false;
  heartbeat_.LoopAlive();
  trigger_.Beat();
  WatchMachine();
  if (lost_) return false;
  WatchPins();
  plugin_.entries().Update();
  plugin_.Observe();
  RunCommands();
  RestoreModes();
  ShowProgress(false);
  RecordProgressDuringLine();
  if (journaling_ && canceled_ && idle()) SealResumeRecord();
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
  // The soft limits where the raster's moves are written: in the work coordinates.
  plugin_.motion.TravelMinX = machine_.minX - status.offsetX;
  plugin_.motion.TravelMaxX = machine_.maxX - status.offsetX;
  plugin_.motion.TravelMinY = machine_.minY - status.offsetY;
  plugin_.motion.TravelMaxY = machine_.maxY - status.offsetY;
  // Another display's program must not run together with the raster; one that is only open
  // (AXIS always has one) does no harm.
  plugin_.motion.FileLoaded = status.programRunning ? 1 : 0;

  const bool busy = armed_ || running_ || !inFlight_.empty();
  std::string text;
  bool isError = false;
  while (cnc_.NextMessage(&text, &isError)) {
    std::fprintf(stderr, "LinuxCNC: %s\n", text.c_str());
    if (isError && busy) Cancel("LinuxCNC: " + text, true);
  }
  if (busy && status.state != TaskState::kOn) {
    Cancel(status.state == TaskState::kOff ? "the machine was switched off"
                                           : "the machine went to E-stop",
           true);
  }
  if (RasterUnderWay() && status.mode != TaskMode::kMdi) {
    Cancel("LinuxCNC left MDI (another display switched modes)", true);
  }
  WatchOtherCommands();
  if (trigger_.Tripped() && !ArmedMoveComplete()) {
    // The component stopped the tool because this program was silent too long before its line
    // was over: the raster cannot be trusted any more. The moves already sent run on without
    // firing. (Held up only at the end of a line, when X stood at its target, nothing is lost.)
    Cancel(
        "engrave-lcnc was silent too long and the trigger component's watchdog stopped the "
        "tool",
        false);
  }
}

void LcncHost::WatchOtherCommands() {
  const int echo = cnc_.echoSerial();
  if (!running_) {
    knownSerial_ = std::max(knownSerial_, echo);
    return;
  }
  if (echo <= knownSerial_) return;
  // Serials between the last one accounted for and this one went by between two readings.
  bool unseen = false;
  for (int serial = knownSerial_ + 1; serial < echo && !unseen; ++serial)
    unseen = !cnc_.IsOwnCommand(serial);
  knownSerial_ = echo;
  const CommandEffect effect =
      cnc_.IsOwnCommand(echo) ? CommandEffect::kHarmless : cnc_.echoEffect();
  std::string reason;
  if (effect == CommandEffect::kStops)
    reason = "another display stopped LinuxCNC (Stop)";
  else if (effect == CommandEffect::kMoves)
    reason = "another display sent LinuxCNC a command that moves the machine";
  else if (unseen)
    reason =
        "another display sent LinuxCNC a command too close to one of the raster's to tell "
        "it from a Stop";
  if (reason.empty()) return;
  // Whatever of the raster LinuxCNC took after that command must not run on.
  cnc_.Abort();
  std::fprintf(stderr, "engrave-lcnc: %s\n", reason.c_str());
  Cancel(reason, true);
}

void LcncHost::WatchPins() {
  const bool cycleStart = trigger_.cycleStartPin();
  if (cycleStart && !lastCycleStartPin_) PressCycleStart();
  lastCycleStartPin_ = cycleStart;
  const bool reset = trigger_.resetPin();
  if (reset && !lastResetPin_) PressReset();
  lastResetPin_ = reset;
}

void LcncHost::Notify(int32_t commandId) {
  // A dialog that opens now takes these, whatever the fields hold later.
  dialogResumeLine_ = plugin_.control.ResumeLine;
  dialogResumeAfterStep_ = plugin_.control.ResumeAfterStep;
  {
    const HeartbeatKeeper::Hold hold(heartbeat_);
    plugin_.entries().Notify(commandId);
  }
  plugin_.Observe();
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
  if (!inFlight_.empty() && commandFailure_.empty()) commandFailure_ = reason;
  if (armed_ || running_) {
    plugin_.entries().Reset();
    plugin_.Observe();
  }
  if (!machineStopped) return;
  // The machine stopped: the commands already sent and those waiting will not run.
  for (const Command& command : inFlight_) FinishCommand(command);
  inFlight_.clear();
  idleSince_.reset();
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
    rasterCommands_ = 0;
    plugin_.control.CycleStart = 0;  // the button is momentary
    const std::optional<double> height = host::ParseNumber(shown_[4164]);
    const std::optional<double> stepOver = host::ParseNumber(shown_[4167]);
    const std::optional<long> lines =
        height && stepOver ? RasterLineCount(*height, *stepOver) : std::nullopt;
    const long firstLine = std::max(1L, ShownInteger(shown_, 4205).value_or(1));
    progress_.Start(lines.value_or(0), Clock::now(), firstLine - 1);
    StartResumeRecord(firstLine);
    trigger_.ResetStepping();
    knownSerial_ = std::max(knownSerial_, cnc_.echoSerial());
    // The raster's lines are absolute moves with a stop at every corner: LinuxCNC runs the
    // next queued line at once, and would round the corner from Y into X under G64.
    const MachineStatus& status = cnc_.status();
    std::string restore;
    if (status.relativeMoves) restore += "G91";
    if (status.pathMode == 611) restore += std::string(restore.empty() ? "" : " ") + "G61.1";
    if (status.pathMode == 640) {
      char text[96];
      if (status.blendTolerance > 0.0)
        std::snprintf(text, sizeof text, "G64 P%.6g Q%.6g", status.blendTolerance,
                      status.camTolerance);
      else
        std::snprintf(text, sizeof text, "G64");
      restore += std::string(restore.empty() ? "" : " ") + text;
    }
    restoreModes_ = restore;
    hostLines_.push_back("G90 G61");
  }
  if (text == host::kCompleteStatus) {
    running_ = false;
    complete_ = true;
    // Every line has fired: nothing is left to go on with.
    if (journaling_) journal_->Clear();
    journaling_ = false;
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
    // The fields as the dialog last showed them are the values the raster uses.
    if (fields[0] == "show" && fields.size() >= 3) {
      shown_[std::atoi(fields[1].c_str())] = fields[2];
      if (fields[1] == "4165")
        if (const std::optional<double> width = host::ParseNumber(fields[2]))
          result_.SetEngravedWidth(*width);
      if (fields[1] == "4191") estimate_ = host::EstimatedTime(fields[2]);
    }
    if (fields[0] == "picture" && fields.size() >= 2) picturePath_ = fields[1];
  });
}

// After a raster, the modes it changed are set back as they were, when LinuxCNC can take an
// MDI command; otherwise (E-stop, another display in MANUAL) that is said and left.
void LcncHost::RestoreModes() {
  if (restoreModes_.empty() || armed_ || running_ || !inFlight_.empty() ||
      !plugin_.pendingCode().empty() || !hostLines_.empty())
    return;
  const MachineStatus& status = cnc_.status();
  if (status.state == TaskState::kOn && status.mode == TaskMode::kMdi)
    hostLines_.push_back(restoreModes_);
  else
    std::fprintf(stderr, "engrave-lcnc: LinuxCNC keeps G90 G61 from the engraving (was %s)\n",
                 restoreModes_.c_str());
  restoreModes_.clear();
  RunCommands();
}

void LcncHost::ShowProgress(bool final) {
  if (!progress_.started() || !onProgress) return;
  if (final) {
    onProgress(progress_.Text(Clock::now()));
    return;
  }
  if (std::optional<std::string> text = progress_.Due(Clock::now(), kProgressInterval))
    onProgress(*text);
}

void LcncHost::RunCommands() {
  while (!inFlight_.empty() && FinishHead()) {
  }
  while ((!hostLines_.empty() || !plugin_.pendingCode().empty()) && StartCommand()) {
  }
  // The plug-in may fill the next line's bits once no X move of its own is left in flight.
  if (!plugin_.motion.LineDone && plugin_.pendingCode().empty()) {
    bool xMoveInFlight = false;
    for (const Command& command : inFlight_) xMoveInFlight = xMoveInFlight || command.xMove;
    if (!xMoveInFlight) plugin_.motion.LineDone = 1;
  }
}

// Ends the oldest command once its motion has reached the target and its steps are out.
bool LcncHost::FinishHead() {
  Command& head = inFlight_.front();
  if (!head.ended && !CommandEnded(head)) return false;
  // Only the axes the command moves: the next line's X move may already run behind a Y move.
  if (!AtRest(head)) {
    if (Clock::now() - head.motionDone > kSettleTimeout) {
      std::fprintf(stderr, "engrave-lcnc: the stepgens did not reach the position of %s\n",
                   head.line.c_str());
      Cancel("the stepgens did not catch up", true);
    }
    return false;
  }
  const Command done = head;
  inFlight_.pop_front();
  FinishCommand(done);
  return true;
}

// Whether LinuxCNC has taken every command sent and has nothing left to do.
bool LcncHost::LinuxCncIdle() {
  const MachineStatus& status = cnc_.status();
  const bool idle = cnc_.Progress(lastSerial_) == CommandProgress::kDone &&
                    status.interpreterIdle && status.motionIdle && status.queuedMdi == 0;
  if (!idle) {
    idleSince_.reset();
    return false;
  }
  // A queued command passes through an idle-looking task: only an idle that lasts counts.
  if (!idleSince_) idleSince_ = Clock::now();
  return Clock::now() - *idleSince_ >= kIdleProof;
}

bool LcncHost::CommandEnded(Command& command) {
  const MachineStatus& status = cnc_.status();
  if (cnc_.Progress(lastSerial_) == CommandProgress::kFailed) {
    std::string text;
    bool isError = false;
    const std::string reason =
        cnc_.NextMessage(&text, &isError) ? text : "LinuxCNC refused " + command.line;
    std::fprintf(stderr, "LinuxCNC: %s\n", reason.c_str());
    Cancel("LinuxCNC: " + reason, true);
    return false;
  }
  if (command.fromHost || (!command.target.x && !command.target.y)) {
    if (!LinuxCncIdle()) return false;
  } else if (std::optional<std::string> missed =
                 MissedTarget(command.target, status.commandedX, status.commandedY, machine_.scaleX,
                              machine_.scaleY)) {
    // The plug-in's moves end when the commanded position reaches their target. A Stop or a
    // mode switch from another display ends a move short, and LinuxCNC still calls it done.
    if (!LinuxCncIdle()) return false;
    std::fprintf(stderr, "engrave-lcnc: %s\n", missed->c_str());
    Cancel(*missed + " (stopped by another display?)", true);
    return false;
  }
  command.ended = true;
  command.motionDone = Clock::now();
  figures_.mdiSeconds.push_back(
      std::chrono::duration<double>(command.motionDone - command.sent).count());
  return true;
}

bool LcncHost::EnsureMdi(bool rasterCommand) {
  if (cnc_.status().mode == TaskMode::kMdi) return true;
  if (rasterCommand && rasterCommands_ > 0) {
    Cancel("LinuxCNC left MDI (another display switched modes)", true);
    return false;
  }
  std::string error;
  if (cnc_.Run(cnc_.SetMode(TaskMode::kMdi), 5.0, &error)) return true;
  std::fprintf(stderr, "engrave-lcnc: cannot switch LinuxCNC to MDI: %s\n", error.c_str());
  Cancel("LinuxCNC would not take MDI commands", true);
  return false;
}

// Whether the next line may go to LinuxCNC now. The host's own commands go alone. A raster
// line's X move is armed as it is sent, so X must stand still at the line's start by then
// (it has since its last move ended, so this rarely waits). Its Y move waits until the X
// move's steps are out, so that no dot is placed while Y moves; the next line's X move may
// then be queued behind that Y move.
bool LcncHost::MayStart(const Command& next, bool* armedMove, bool* xMove) const {
  if (next.fromHost) return inFlight_.empty();
  for (const Command& command : inFlight_)
    if (command.fromHost || command.movesX) return false;
  if (StopSuspected()) return false;
  *xMove = host::TraceWriter::IsXMove(next.line);
  *armedMove = *xMove && plugin_.control.TriggerMode == 0 && trigger_.mapped();
  return !*armedMove || XAtRest();
}

bool LcncHost::ArmedMoveComplete() const {
  const MachineStatus& status = cnc_.status();
  for (const Command& command : inFlight_)
    if (command.armedMove)
      return !MissedTarget(command.target, status.commandedX, status.commandedY, machine_.scaleX,
                           machine_.scaleY) &&
             XAtRest();
  return false;
}

bool LcncHost::StopSuspected() const {
  if (inFlight_.empty()) return false;
  const MachineStatus& status = cnc_.status();
  const bool idle = cnc_.Progress(lastSerial_) == CommandProgress::kDone &&
                    status.interpreterIdle && status.motionIdle && status.queuedMdi == 0;
  if (!idle) return false;
  for (const Command& command : inFlight_)
    if (!command.ended && (command.target.x || command.target.y) &&
        MissedTarget(command.target, status.commandedX, status.commandedY, machine_.scaleX,
                     machine_.scaleY))
      return true;
  return false;
}

bool LcncHost::StartCommand() {
  Command command;
  command.fromHost = !hostLines_.empty();
  command.line = command.fromHost ? hostLines_.front() : plugin_.pendingCode().front();
  command.target = ReadMoveWords(command.line);
  command.movesX = command.target.x.has_value();
  // The Y step that ends a raster line; "G0 Y" only takes Y to the first line of a raster
  // that starts further on.
  command.stepOver =
      !command.fromHost && command.target.y && !command.target.x && command.target.g != 0.0;
  if (!MayStart(command, &command.armedMove, &command.xMove)) {
    if (command.armedMove && inFlight_.empty()) {
      if (!waitingToArm_) waitingToArm_ = Clock::now();
      if (Clock::now() - *waitingToArm_ > kSettleTimeout)
        Cancel("X did not stand still at the start of line " +
                   std::to_string(plugin_.driver->RasterLine),
               true);
    }
    return false;
  }
  waitingToArm_.reset();
  command.armedMove = command.armedMove && command.target.x.has_value();
  if (command.xMove) {
    command.rasterLine = plugin_.driver->RasterLine >= 0 ? plugin_.driver->RasterLine : xMovesRun_;
    command.bitShift = plugin_.driver->RasterBitShift;
  }
  if (command.armedMove && !ResumeRecordReady(command.rasterLine)) return false;
  if (inFlight_.empty() && !EnsureMdi(!command.fromHost)) return false;
  if (command.fromHost)
    hostLines_.pop_front();
  else
    plugin_.pendingCode().pop_front();
  // Numbered as the plug-in numbers its lines: one that fires nothing may have no X move.
  if (command.xMove) ++xMovesRun_;
  if (command.armedMove) {
    const double travel = (*command.target.x - cnc_.status().commandedX) * machine_.scaleX;
    const MoveTag tag{journaling_ ? record_.job : 0u, int32_t(command.rasterLine),
                      command.bitShift};
    trigger_.Arm(travel < 0.0 ? -1 : 1, plugin_.control.PulseMode != 0, tag);
  }
  if (command.xMove) trigger_.SetRasterLine(int32_t(command.rasterLine));
  command.serial = cnc_.Mdi(command.line);
  command.sent = Clock::now();
  if (!command.fromHost) ++rasterCommands_;
  if (command.serial == 0) {
    inFlight_.push_back(command);
    LostConnection("lost the connection to LinuxCNC (cannot send a command)");
    return false;
  }
  lastSerial_ = command.serial;
  idleSince_.reset();
  inFlight_.push_back(command);
  return true;
}

bool LcncHost::XAtRest() const {
  AxisCapture capture;
  return trigger_.ReadCapture(&capture) &&
         capture.xCounts == std::lround(capture.xPosCmd * machine_.scaleX) &&
         trigger_.xIdleSeconds() >= kQuietSeconds;
}

bool LcncHost::YAtRest() const {
  AxisCapture capture;
  return trigger_.ReadCapture(&capture) &&
         capture.yCounts == std::lround(capture.yPosCmd * machine_.scaleY) &&
         trigger_.yIdleSeconds() >= kQuietSeconds;
}

bool LcncHost::AtRest(const Command& command) const {
  const bool moves = command.target.x || command.target.y;
  const bool x = command.fromHost || !moves || command.target.x;
  const bool y = command.fromHost || !moves || command.target.y;
  return (!x || XAtRest()) && (!y || YAtRest());
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
  if (command.xMove) trigger_.SetRasterLine(-1);
  // Every raster line ends with its Y step, also one that fires nothing and has no X move.
  if (command.stepOver) progress_.LineDone();
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
  RecordMoveEnd(command, trigger_.LastFiredStep());
}

bool LcncHost::RunMdi(const std::string& line, std::string* error) {
  if (!idle() || armed_ || running_) {
    *error = "not while an engraving is armed or running";
    return false;
  }
  // The same road as the plug-in's lines: sent, done, settled; only the result picture and the
  // raster's counts leave it out.
  commandFailure_.clear();
  hostLines_.push_back(line);
  while (!lost_ && !idle()) {
    heartbeat_.LoopAlive();
    trigger_.Beat();
    WatchMachine();
    RunCommands();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
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
  stopping_ = true;
  for (const Command& command : inFlight_) FinishCommand(command);
  inFlight_.clear();
  SealResumeRecord();
  if (journal_) {
    journal_->Flush();
    if (!journal_->error().empty())
      std::fprintf(stderr, "engrave-lcnc: %s\n", journal_->error().c_str());
  }
  if (progress_.started()) figures_.stepping = trigger_.Stepping();
  ShowProgress(true);
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
