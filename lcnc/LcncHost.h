// The host controller of the plug-in on LinuxCNC. It runs the plug-in's lifecycle on its main
// loop and maps the host records onto the machine:
//   Code        each line as an MDI command, one after the other
//   LineDone    set once every command sent is complete and the stepgens have caught up
//   PositionX/Y the actual position in the active work coordinates
//   FileLoaded  a program runs or is paused in AUTO (another display's)
//   PrinterPortActive  engrave_trigger is loaded and its buffer mapped
//   TriggerMode 0 arms the component for the next X move, -1 disarms it
// Cycle Start and Reset come from engrave_trigger's pins or from the window. A move that does
// not reach its target (a Stop or a mode switch from another display), LinuxCNC leaving MDI,
// E-stop, machine off or an error during a raster cancels it as Reset does, and no later line
// is sent. A pause is no interruption: the line goes on after it.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/HostFiles.h"
#include "host/HostOptions.h"
#include "host/Machine.h"
#include "host/PluginHost.h"
#include "host/TraceWriter.h"
#include "lcnc/HalLink.h"
#include "lcnc/HeartbeatKeeper.h"
#include "lcnc/LinuxCnc.h"
#include "lcnc/MoveWords.h"
#include "lcnc/RasterProgress.h"
#include "lcnc/ResumeJournal.h"

namespace lcnc {

struct MachineSettings {
  std::string iniPath;
  std::string nmlFile;
  double scaleX = 0.0;  // [JOINT_0]SCALE
  double scaleY = 0.0;  // [JOINT_1]SCALE
  std::string postGuiHalFile;
  std::string display;  // [DISPLAY]DISPLAY, the program LinuxCNC started as its display
  // X's acceleration limit (the lower of [AXIS_X] and [JOINT_0] MAX_ACCELERATION; 0 when
  // neither is given) and the soft limits of X and Y in machine coordinates (the tighter of
  // the axis's and the joint's MIN_LIMIT and MAX_LIMIT; infinite when not given).
  double accelerationX = 0.0;
  double minX = -HUGE_VAL, maxX = HUGE_VAL, minY = -HUGE_VAL, maxY = HUGE_VAL;
};

// Reads what engrave-lcnc needs from the machine's INI. False with a reason.
bool ReadMachineSettings(const std::string& iniPath, MachineSettings* settings, std::string* error);

struct RunFigures {
  long rasterLines = 0;
  long fires = 0;
  long steps = 0;
  std::vector<double> lineGapsMs;  // last step of an X move to the first of the next
  std::vector<double> lineRates;   // steps per second over each X move
  std::vector<double> mdiSeconds;  // MDI round trips of moves
  // Every X step since Cycle Start, the return to X0 Y0 included, as the component saw it.
  SteppingRecord stepping;
};

class LcncHost final : public host::HostObserver {
 public:
  LcncHost(const host::Options& options, const MachineSettings& machine, LinuxCnc& cnc,
           TriggerBuffer& trigger);
  ~LcncHost();

  // Opens the output files and loads the plug-in; then StartUp with the profile.
  bool Start(const std::string& profile, std::string* error);
  // Keeps every raster's progress in this resume file from its Cycle Start on, until it
  // completes (the file then goes): what an interruption needs to go on with it.
  void KeepResumeFile(const std::string& path);
  // The line (from 1) the next setup dialog may go on with, and its steps from the line's edge
  // that fired already: handed to the plug-in when that dialog opens. 0 and -1: none.
  void SetResumePoint(long line, long afterStep);
  // The dialog's fields as it showed them last (control id to text), and the picture it
  // loaded last.
  const std::map<int, std::string>& shownFields() const { return shown_; }
  // How to go on after an interrupted raster ("line K after step S; ..."); empty when nothing
  // is kept (none interrupted, or no resume file).
  std::string ResumeHint() const;
  host::PluginHost& plugin() { return plugin_; }

  // One pass of the main loop: heartbeat, status, pins, Update, the command in progress. False
  // once the connection to LinuxCNC is lost (said on stderr).
  bool Tick();

  // The plug-in's menu command. It may wait for the operator's OK on a message box (the menu
  // during a raster): meanwhile the heartbeat goes on, so that the armed line is not cut; the
  // raster waits at its next line.
  void Notify(int32_t commandId);

  // Cycle Start and Reset, as the window's buttons and the pins give them. Cycle Start counts
  // only while a raster waits for it.
  void PressCycleStart();
  void PressReset();

  // Ends the session: StopPlug, the fired record of a move still armed, the result picture.
  bool Finish();

  bool armed() const { return armed_; }
  bool running() const { return running_; }
  bool complete() const { return complete_; }
  bool canceled() const { return canceled_; }
  bool idle() const;  // no command in progress or waiting
  const std::string& cancelReason() const { return cancelReason_; }
  const RunFigures& figures() const { return figures_; }
  const MachineStatus& machineStatus() const { return cnc_.status(); }
  const RasterProgress& progress() const { return progress_; }
  // The dialog's "Engraving time" (H:MM:SS) as it last showed it; empty before.
  const std::string& estimate() const { return estimate_; }

  // Runs one MDI command of the host's own and waits until its steps are out, as for the
  // plug-in's lines; only while no engraving is armed or running.
  bool RunMdi(const std::string& line, std::string* error);
  // Clocks MDI round trips of a command that does not move, for the summary.
  double MeasureMdiSeconds(int count);

  // The UI log's message boxes, as they come (title, text).
  std::function<void(const std::string&, const std::string&)> onMessage;
  std::function<void(const std::string&)> onStatus;
  // A progress line: at least every 10 s while a raster runs, and once when it ends.
  std::function<void(const std::string&)> onProgress;

  void ReadUiLog(host::UiLogTail& tail);

  // HostObserver
  void OnCode(const std::string& line) override;
  void OnStatus(const std::string& text) override;
  void OnTriggerMode(int32_t mode) override;

 private:
  struct Command {
    std::string line;
    MoveWords target;
    int serial = 0;
    bool armedMove = false;
    bool xMove = false;     // one of the plug-in's raster lines
    bool movesX = false;    // any move of X: the raster lines and X taken to a line's start
    bool stepOver = false;  // the Y step that ends a raster line
    long rasterLine = -1;
    int32_t bitShift = 0;   // the line's step j is the move's step j + bitShift
    bool fromHost = false;  // RunMdi's, not the plug-in's
    bool ended = false;     // motion has reached the target; waiting for the steps
    std::chrono::steady_clock::time_point sent, motionDone;
  };

  void Cancel(const std::string& reason, bool machineStopped);
  void WatchMachine();
  void WatchPins();
  void RunCommands();
  bool FinishHead();
  bool MayStart(const Command& command, bool* armedMove, bool* xMove) const;
  void RestoreModes();
  bool StartCommand();
  bool CommandEnded(Command& command);
  bool EnsureMdi(bool rasterCommand);
  bool XAtRest() const;
  bool YAtRest() const;
  bool AtRest(const Command& command) const;
  bool LinuxCncIdle();
  // LinuxCNC stands idle while a move sent is short of its target: it was stopped, which
  // LinuxCncIdle's proof will tell; nothing more is sent meanwhile.
  bool StopSuspected() const;
  // The armed move in flight has reached its target and X stands there: its line is over.
  bool ArmedMoveComplete() const;
  // Every command the task takes while a raster runs: another display's Stop (or a command
  // that moves the machine, or one that went by unseen) cancels the raster at once, whether a
  // move runs or the machine stands between two lines.
  void WatchOtherCommands();
  bool RasterUnderWay() const;
  void FinishCommand(const Command& command);
  void FinishMove(const Command& command);
  void LostConnection(const std::string& what);
  void ShowProgress(bool final);
  // The resume file: the raster's record at its start, before each line is armed (false until
  // that record is written), after each armed move, during a long line, and at its end.
  void StartResumeRecord(long firstLine);
  bool ResumeRecordReady(long rasterLine);
  void RecordMoveEnd(const Command& command, int64_t lastFired);
  void RecordProgressDuringLine();
  void SealResumeRecord();

  const host::Options& options_;
  MachineSettings machine_;
  LinuxCnc& cnc_;
  TriggerBuffer& trigger_;
  host::PluginHost plugin_;
  host::TraceWriter trace_;
  host::Machine result_;
  std::unique_ptr<DriverState> firedState_ = std::make_unique<DriverState>();
  std::ofstream firedFile_;

  // Commands sent to LinuxCNC, oldest first. The next line's X move is queued behind the Y
  // move, so that LinuxCNC goes on without waiting for this program between the two.
  std::deque<Command> inFlight_;
  int lastSerial_ = 0;
  // The newest command serial the raster has accounted for.
  int knownSerial_ = 0;
  std::optional<std::chrono::steady_clock::time_point> idleSince_;
  long xMovesRun_ = 0;
  long rasterCommands_ = 0;  // the plug-in's commands sent since the raster began
  bool armed_ = false, running_ = false, complete_ = false, canceled_ = false;
  std::string cancelReason_;
  bool lastCycleStartPin_ = false, lastResetPin_ = false;
  unsigned lastHeartbeat_ = 0;
  std::chrono::steady_clock::time_point heartbeatSeen_;
  bool lost_ = false;
  int64_t previousLastStepNs_ = 0;
  RunFigures figures_;
  // The host's own lines (RunMdi's, the raster's modes), sent before the plug-in's.
  std::deque<std::string> hostLines_;
  std::string restoreModes_;    // the modes to set again after the raster, when it changed them
  std::string commandFailure_;  // why the command in progress was given up
  std::map<int, std::string> shown_;  // the dialog's fields, from the UI log
  std::string picturePath_;           // the picture it loaded
  std::string estimate_;
  RasterProgress progress_;
  std::optional<std::chrono::steady_clock::time_point> waitingToArm_;
  // The resume point the plug-in read when the last dialog opened (Notify).
  int32_t dialogResumeLine_ = 0;
  int64_t dialogResumeAfterStep_ = -1;
  std::unique_ptr<ResumeJournal> journal_;
  bool journaling_ = false;   // this raster's record is kept
  bool stopping_ = false;     // Finish: the moves still in flight are cut short
  ResumeRecord record_;       // as posted last
  uint64_t recordAhead_ = 0;  // the record that must be written before the next arming
  std::optional<std::chrono::steady_clock::time_point> waitingForRecord_;
  std::chrono::steady_clock::time_point lastProgressRecord_;
  // Last, so that its thread stops before anything it beats for goes away.
  HeartbeatKeeper heartbeat_;
};

}  // namespace lcnc
