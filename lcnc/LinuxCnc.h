// A client of a running LinuxCNC through its NML channels: the task's command and status
// buffers and its error channel. The NML headers stay inside LinuxCnc.cpp; callers see the
// machine through MachineStatus.
#pragma once

#include <memory>
#include <string>

class RCS_CMD_MSG;

namespace lcnc {

enum class TaskState { kEstop = 1, kEstopReset = 2, kOff = 3, kOn = 4 };
enum class TaskMode { kManual = 1, kAuto = 2, kMdi = 3 };
enum class CommandProgress { kQueued, kRunning, kDone, kFailed };
// What a command the task took does to a raster under way: nothing (an override, a pause or a
// resume, a setting), stop it (Stop: an abort of any kind), or move the machine itself.
enum class CommandEffect { kHarmless, kStops, kMoves };

struct MachineStatus {
  TaskState state = TaskState::kEstop;
  TaskMode mode = TaskMode::kManual;
  bool interpreterIdle = false;
  bool motionIdle = false;  // nothing queued, nothing moving, in position
  double workX = 0.0;       // actual position in the active work coordinates
  double workY = 0.0;
  double commandedX = 0.0;  // commanded position in the active work coordinates
  double commandedY = 0.0;
  double offsetX = 0.0;  // machine coordinates minus work coordinates (G5x, G92, tool)
  double offsetY = 0.0;
  bool fileLoaded = false;      // a program is open in the task
  bool programRunning = false;  // a program runs or is paused in AUTO
  bool paused = false;          // a feed hold holds the motion (any mode)
  int queuedMdi = 0;            // MDI commands waiting in the task's queue
  bool relativeMoves = false;   // G91 is in effect
  int pathMode = 640;           // 640 G64 (blending), 610 G61 (exact path), 611 G61.1
  double blendTolerance = 0.0;  // G64's P and Q
  double camTolerance = 0.0;
  bool homed = false;  // every joint is homed
  unsigned heartbeat = 0;
};

class LinuxCnc {
 public:
  LinuxCnc();
  ~LinuxCnc();
  LinuxCnc(const LinuxCnc&) = delete;
  LinuxCnc& operator=(const LinuxCnc&) = delete;

  // Connects to the task's channels described by the NML file, retrying for up to
  // timeoutSeconds while LinuxCNC starts.
  bool Connect(const std::string& nmlFile, double timeoutSeconds, std::string* error);

  // Reads the newest status. False once the channel is gone.
  bool Refresh();
  const MachineStatus& status() const { return status_; }

  // Each command returns its serial number (0 when it could not be written).
  int SetState(TaskState state);
  int SetMode(TaskMode mode);
  int Mdi(const std::string& line);
  int Abort();
  // Opens a G-code program (AUTO mode) and runs it from its first line.
  int OpenProgram(const std::string& path);
  int RunProgram();
  // Homes every joint (LinuxCNC homes them in their HOME_SEQUENCE); needs manual mode.
  int HomeAll();
  CommandProgress Progress(int serial) const;
  // The serial number of the command the task took last, whoever sent it: all clients' commands
  // are numbered in one sequence, so a number that is not one of ours is another display's.
  int echoSerial() const { return echoSerial_; }
  // What the command the task took last does.
  CommandEffect echoEffect() const;
  // Whether serial numbers one of the commands this client sent lately.
  bool IsOwnCommand(int serial) const;

  // Sends a command and waits until the task has finished it.
  bool Run(int serial, double timeoutSeconds, std::string* error);

  // The next text from the error channel; false when none. *isError: an error (operator or
  // NML error) rather than a message or display text.
  bool NextMessage(std::string* text, bool* isError);

 private:
  struct Channels;
  std::unique_ptr<Channels> channels_;
  MachineStatus status_;
  int echoSerial_ = 0;
  int echoStatus_ = 0;
  int echoType_ = 0;
  // The serials of this client's latest commands.
  static constexpr int kOwnSerials = 64;
  int ownSerials_[kOwnSerials] = {};
  unsigned ownCount_ = 0;
  // Writes a command and keeps its serial.
  int Send(RCS_CMD_MSG& message);
};

}  // namespace lcnc

namespace lcnc {
// The NML file LinuxCNC uses when the INI names none.
std::string DefaultNmlFile();
}  // namespace lcnc
