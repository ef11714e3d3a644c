#include "lcnc/LinuxCnc.h"

#include <chrono>
#include <thread>

// The NML headers carry their own style; keep their warnings out of ours.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <cmd_msg.hh>
#include <emc.hh>
#include <emc_nml.hh>
#include <nml_oi.hh>
#include <rcs.hh>
#include <rcs_print.hh>
#include <stat_msg.hh>
#pragma GCC diagnostic pop

#include <cstring>

namespace lcnc {

struct LinuxCnc::Channels {
  std::unique_ptr<RCS_CMD_CHANNEL> command;
  std::unique_ptr<RCS_STAT_CHANNEL> status;
  std::unique_ptr<NML> errors;
  EMC_STAT* stat = nullptr;
};

LinuxCnc::LinuxCnc() : channels_(std::make_unique<Channels>()) {}
LinuxCnc::~LinuxCnc() = default;

bool LinuxCnc::Connect(const std::string& nmlFile, double timeoutSeconds, std::string* error) {
  // NML prints every failed attempt while LinuxCNC is still starting.
  set_rcs_print_destination(RCS_PRINT_TO_NULL);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  Channels& c = *channels_;
  while (true) {
    if (!c.command) {
      c.command =
          std::make_unique<RCS_CMD_CHANNEL>(emcFormat, "emcCommand", "xemc", nmlFile.c_str());
      if (!c.command->valid()) c.command.reset();
    }
    if (!c.status) {
      c.status =
          std::make_unique<RCS_STAT_CHANNEL>(emcFormat, "emcStatus", "xemc", nmlFile.c_str());
      if (!c.status->valid() || c.status->peek() != EMC_STAT_TYPE) {
        c.status.reset();
      } else {
        c.stat = static_cast<EMC_STAT*>(c.status->get_address());
      }
    }
    if (!c.errors) {
      c.errors = std::make_unique<NML>(nmlErrorFormat, "emcError", "xemc", nmlFile.c_str());
      if (!c.errors->valid()) c.errors.reset();
    }
    if (c.command && c.status && c.errors) break;
    if (std::chrono::steady_clock::now() > deadline) {
      *error = "cannot reach LinuxCNC's task through " + nmlFile + " (is LinuxCNC running?)";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  set_rcs_print_destination(RCS_PRINT_TO_STDERR);
  return Refresh();
}

bool LinuxCnc::Refresh() {
  Channels& c = *channels_;
  if (!c.status || !c.status->valid()) return false;
  const NMLTYPE type = c.status->peek();
  if (type != 0 && type != EMC_STAT_TYPE) return false;
  const EMC_STAT& s = *c.stat;
  status_.state = TaskState(s.task.state);
  status_.mode = TaskMode(s.task.mode);
  status_.interpreterIdle = s.task.interpState == EMC_TASK_INTERP_IDLE;
  status_.motionIdle = s.motion.traj.queue == 0 && s.motion.traj.inpos;
  const EmcPose& actual = s.motion.traj.actualPosition;
  const EmcPose& g5x = s.task.g5x_offset;
  const EmcPose& g92 = s.task.g92_offset;
  const EmcPose& tool = s.task.toolOffset;
  status_.workX = actual.tran.x - g5x.tran.x - g92.tran.x - tool.tran.x;
  status_.workY = actual.tran.y - g5x.tran.y - g92.tran.y - tool.tran.y;
  const EmcPose& commanded = s.motion.traj.position;
  status_.commandedX = commanded.tran.x - g5x.tran.x - g92.tran.x - tool.tran.x;
  status_.commandedY = commanded.tran.y - g5x.tran.y - g92.tran.y - tool.tran.y;
  status_.offsetX = g5x.tran.x + g92.tran.x + tool.tran.x;
  status_.offsetY = g5x.tran.y + g92.tran.y + tool.tran.y;
  status_.fileLoaded = s.task.file[0] != '\0';
  status_.programRunning =
      s.task.mode == EMC_TASK_MODE_AUTO && s.task.interpState != EMC_TASK_INTERP_IDLE;
  status_.paused = s.task.interpState == EMC_TASK_INTERP_PAUSED || s.motion.traj.paused;
  status_.queuedMdi = s.task.queuedMDIcommands;
  status_.relativeMoves = s.task.activeGCodes[6] == 910;
  status_.pathMode = s.task.activeGCodes[11];
  status_.blendTolerance = s.task.activeSettings[3];
  status_.camTolerance = s.task.activeSettings[4];
  status_.heartbeat = s.task.heartbeat;
  status_.homed = s.motion.traj.joints > 0;
  for (int joint = 0; joint < s.motion.traj.joints && joint < EMCMOT_MAX_JOINTS; ++joint)
    status_.homed = status_.homed && s.motion.joint[joint].homed;
  echoSerial_ = s.echo_serial_number;
  echoStatus_ = int(s.status);
  echoType_ = int(s.command_type);
  return true;
}

int LinuxCnc::Send(RCS_CMD_MSG& message) {
  RCS_CMD_CHANNEL* channel = channels_->command.get();
  if (channel == nullptr || channel->write(&message) != 0) return 0;
  const int serial = message.serial_number;  // write() numbers the command
  ownSerials_[ownCount_++ % kOwnSerials] = serial;
  return serial;
}

bool LinuxCnc::IsOwnCommand(int serial) const {
  if (serial == 0) return false;
  for (unsigned i = 0; i < unsigned(kOwnSerials) && i < ownCount_; ++i)
    if (ownSerials_[i] == serial) return true;
  return false;
}

CommandEffect LinuxCnc::echoEffect() const {
  switch (echoType_) {
    case EMC_TASK_ABORT_TYPE:
    case EMC_TRAJ_ABORT_TYPE:
    case EMC_MOTION_ABORT_TYPE:
    case EMC_JOINT_ABORT_TYPE:
    case EMC_JOG_STOP_TYPE:
      return CommandEffect::kStops;
    case EMC_TASK_PLAN_EXECUTE_TYPE:
    case EMC_TASK_PLAN_RUN_TYPE:
    case EMC_TASK_PLAN_STEP_TYPE:
    case EMC_TASK_PLAN_OPEN_TYPE:
    case EMC_TRAJ_LINEAR_MOVE_TYPE:
    case EMC_TRAJ_CIRCULAR_MOVE_TYPE:
    case EMC_TRAJ_PROBE_TYPE:
    case EMC_TRAJ_RIGID_TAP_TYPE:
    case EMC_JOINT_HOME_TYPE:
    case EMC_JOG_CONT_TYPE:
    case EMC_JOG_INCR_TYPE:
    case EMC_JOG_ABS_TYPE:
      return CommandEffect::kMoves;
    default:
      return CommandEffect::kHarmless;
  }
}

int LinuxCnc::SetState(TaskState state) {
  EMC_TASK_SET_STATE message;
  message.state = EMC_TASK_STATE_ENUM(int(state));
  return Send(message);
}

int LinuxCnc::SetMode(TaskMode mode) {
  EMC_TASK_SET_MODE message;
  message.mode = EMC_TASK_MODE_ENUM(int(mode));
  return Send(message);
}

int LinuxCnc::Mdi(const std::string& line) {
  EMC_TASK_PLAN_EXECUTE message;
  std::strncpy(message.command, line.c_str(), sizeof message.command - 1);
  message.command[sizeof message.command - 1] = '\0';
  return Send(message);
}

int LinuxCnc::Abort() {
  EMC_TASK_ABORT message;
  return Send(message);
}

int LinuxCnc::OpenProgram(const std::string& path) {
  EMC_TASK_PLAN_OPEN message;
  if (path.size() >= sizeof message.file) return 0;
  std::strncpy(message.file, path.c_str(), sizeof message.file - 1);
  message.file[sizeof message.file - 1] = '\0';
  return Send(message);
}

int LinuxCnc::RunProgram() {
  EMC_TASK_PLAN_RUN message;
  message.line = 0;
  return Send(message);
}

int LinuxCnc::HomeAll() {
  EMC_JOINT_HOME message;
  message.joint = -1;
  return Send(message);
}

CommandProgress LinuxCnc::Progress(int serial) const {
  if (serial == 0) return CommandProgress::kFailed;
  const int ahead = echoSerial_ - serial;
  if (ahead > 0) return CommandProgress::kDone;
  if (ahead < 0) return CommandProgress::kQueued;
  switch (echoStatus_) {
    case RCS_DONE:
      return CommandProgress::kDone;
    case RCS_EXEC:
      return CommandProgress::kRunning;
    default:
      return CommandProgress::kFailed;
  }
}

bool LinuxCnc::Run(int serial, double timeoutSeconds, std::string* error) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!Refresh()) {
      *error = "lost the connection to LinuxCNC";
      return false;
    }
    const CommandProgress progress = Progress(serial);
    if (progress == CommandProgress::kDone) return true;
    if (progress == CommandProgress::kFailed) {
      std::string text;
      bool isError = false;
      *error = NextMessage(&text, &isError) && isError ? text : "LinuxCNC refused the command";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  *error = "LinuxCNC did not finish a command in time";
  return false;
}

bool LinuxCnc::NextMessage(std::string* text, bool* isError) {
  NML* errors = channels_->errors.get();
  if (errors == nullptr || !errors->valid()) return false;
  const NMLTYPE type = errors->read();
  if (type <= 0) return false;
  const char* message = nullptr;
  *isError = type == EMC_OPERATOR_ERROR_TYPE || type == NML_ERROR_TYPE;
  switch (type) {
    case EMC_OPERATOR_ERROR_TYPE:
      message = static_cast<EMC_OPERATOR_ERROR*>(errors->get_address())->error;
      break;
    case EMC_OPERATOR_TEXT_TYPE:
      message = static_cast<EMC_OPERATOR_TEXT*>(errors->get_address())->text;
      break;
    case EMC_OPERATOR_DISPLAY_TYPE:
      message = static_cast<EMC_OPERATOR_DISPLAY*>(errors->get_address())->display;
      break;
    case NML_ERROR_TYPE:
      message = static_cast<NML_ERROR*>(errors->get_address())->error;
      break;
    case NML_TEXT_TYPE:
      message = static_cast<NML_TEXT*>(errors->get_address())->text;
      break;
    case NML_DISPLAY_TYPE:
      message = static_cast<NML_DISPLAY*>(errors->get_address())->display;
      break;
    default:
      message = "a message of unknown type";
      break;
  }
  *text = message != nullptr ? message : "";
  return true;
}

}  // namespace lcnc

#include <emccfg.h>

namespace lcnc {
std::string DefaultNmlFile() {
  return DEFAULT_EMC_NMLFILE;
}
}  // namespace lcnc
