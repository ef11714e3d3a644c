#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/HostFiles.h"
#include "host/InstallPaths.h"
#include "lcnc/Connection.h"
#include "lcnc/HostWindowLink.h"
#include "lcnc/Resuming.h"
#include "lcnc/WindowProtocol.h"

extern char** environ;

namespace lcnc {
namespace {

using Clock = std::chrono::steady_clock;

// The window process and the socket to it.
class WindowProcess {
 public:
  ~WindowProcess() {
    if (fd_ >= 0) close(fd_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }

  bool Start(std::string* error) {
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
      *error = "cannot make a socket for the window";
      return false;
    }
    // The child's end must survive exec; ours must not leak into it.
    fcntl(sockets[1], F_SETFD, 0);
    const std::string program = host::FindProgramFile("engrave-lcnc-window");
    const std::string fdText = std::to_string(sockets[1]);
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(fdText.c_str()), nullptr};
    const int result = posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ);
    close(sockets[1]);
    fd_ = sockets[0];
    if (result != 0) {
      pid_ = -1;
      *error = "cannot start " + program;
      return false;
    }
    return true;
  }

  bool Send(const std::vector<std::string>& fields) { return SendMessage(fd_, fields); }
  // False once the window has gone.
  bool Read(std::vector<std::vector<std::string>>* messages) {
    const bool open = reader_.ReadAvailable(fd_);
    std::vector<std::string> fields;
    while (reader_.Next(&fields)) messages->push_back(fields);
    return open;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  MessageReader reader_;
};

std::string StateText(const MachineStatus& status) {
  switch (status.state) {
    case TaskState::kEstop:
      return "E-stop";
    case TaskState::kEstopReset:
      return "off (E-stop reset)";
    case TaskState::kOff:
      return "off";
    case TaskState::kOn:
      break;
  }
  switch (status.mode) {
    case TaskMode::kManual:
      return "on, manual";
    case TaskMode::kAuto:
      return "on, running a program";
    case TaskMode::kMdi:
      break;
  }
  return status.interpreterIdle && status.motionIdle ? "on, MDI, idle" : "on, MDI, moving";
}

std::string Format(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", value);
  return text;
}

std::string RasterText(const LcncHost& host) {
  if (host.armed()) return "Engraving armed: press Cycle Start";
  if (host.running()) return host.progress().Text(std::chrono::steady_clock::now());
  if (host.complete()) return "Engraving complete";
  if (host.canceled()) {
    // How to go on first: the reason may be long.
    const std::string hint = host.ResumeHint();
    if (hint.empty()) return "Engraving cancelled: " + host.cancelReason();
    return "Engraving cancelled; Resume goes on at " + hint.substr(0, hint.find(", kept in")) +
           " (" + host.cancelReason() + ")";
  }
  return "";
}

// Opens the setup dialog with the answers that arm the engraving kept in the resume file
// again, from where it stopped; the dialog shows them as they are given. False with the reason
// to refuse.
bool StartResume(LcncHost& host, Connection& link, const std::string& resumeFile,
                 const host::TempDir& temp, ResumeSetup* setup, std::string* why) {
  if (!ReadResume(resumeFile, "", setup, why) ||
      !PlanResumeOn(link.machine, link.trigger.LastArmed(), setup, why))
    return false;
  const int command = host.plugin().menu.FindCommand(host::kMenuItem);
  const std::string script = temp.File("resume.script");
  if (command < 0 || !host::WriteText(script, ComposeResumeScript(setup->record, setup->picture,
                                                                  setup->plan.line))) {
    *why = "cannot prepare the setup dialog";
    return false;
  }
  // The dialog reads its answers when it opens, on this thread; later dialogs are the user's.
  const char* previous = std::getenv("ENGRAVING_UI_SCRIPT");
  const std::string saved = previous != nullptr ? previous : "";
  setenv("ENGRAVING_UI_SCRIPT", script.c_str(), 1);
  host.SetResumePoint(setup->plan.line, setup->plan.afterStep);
  host.Notify(command);
  host.SetResumePoint(0, -1);
  if (previous != nullptr)
    setenv("ENGRAVING_UI_SCRIPT", saved.c_str(), 1);
  else
    unsetenv("ENGRAVING_UI_SCRIPT");
  return true;
}

}  // namespace

int RunGui(const host::Options& options) {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0')
    return Failure("the window needs an X display (set DISPLAY), or use engrave-lcnc engrave");
  Connection link;
  if (!link.Open(options)) return 1;
  std::string error;
  WindowProcess window;
  if (!window.Start(&error)) return Failure(error);

  host::TempDir temp("engrave-lcnc");
  if (std::getenv("ENGRAVING_UI_LOG") == nullptr)
    setenv("ENGRAVING_UI_LOG", temp.File("ui.log").c_str(), 1);
  host::UiLogTail tail(std::getenv("ENGRAVING_UI_LOG"));

  LcncHost host(options, link.machine, link.cnc, link.trigger);
  host.onStatus = [&](const std::string& text) { window.Send({"status", text}); };
  const std::string profile = options.profile.empty() ? DefaultProfilePath() : options.profile;
  const std::string resumeFile = ResumePath(profile);
  AdoptComponentRecord(resumeFile, link.trigger.LastArmed());
  host.KeepResumeFile(resumeFile);
  if (!host.Start(profile, &error)) return Failure(error);
  for (const auto& popup : host.plugin().menu.popups())
    for (const auto& item : popup.items)
      window.Send({"menu", popup.title, item.text, std::to_string(item.commandId)});

  bool quit = false, alive = true;
  std::string lastMachine, lastRaster;
  std::optional<ResumeSetup> resuming;  // armed to go on: its settings are checked
  auto lastSent = Clock::now() - std::chrono::seconds(1);
  while (alive && !gStopRequested && !(quit && !host.plugin().DialogRunning())) {
    alive = host.Tick();
    host.ReadUiLog(tail);
    std::vector<std::vector<std::string>> messages;
    if (!window.Read(&messages)) quit = true;
    for (const std::vector<std::string>& message : messages) {
      const std::string& kind = message[0];
      if (kind == "menu" && message.size() >= 2) {
        host.Notify(std::atoi(message[1].c_str()));
      } else if (kind == "cycle-start") {
        host.PressCycleStart();
      } else if (kind == "reset") {
        host.PressReset();
      } else if (kind == "estop") {
        link.cnc.SetState(TaskState::kEstop);
      } else if (kind == "machine-on") {
        if (!MachineOn(link.cnc, &error)) window.Send({"raster", error});
      } else if (kind == "home") {
        if (host.idle() && !host.armed() && !host.running() && !HomeAll(link.cnc, &error))
          window.Send({"raster", "Homing: " + error});
      } else if (kind == "go-to-zero") {
        if (host.idle() && !host.armed() && !host.running() && !host.RunMdi("G0 X0 Y0", &error))
          window.Send({"raster", error});
      } else if (kind == "resume") {
        ResumeSetup setup;
        std::string why;
        if (!host.idle() || host.armed() || host.running() || host.plugin().DialogRunning())
          window.Send({"raster", "Resume: not while an engraving is armed or running"});
        else if (!StartResume(host, link, resumeFile, temp, &setup, &why))
          window.Send({"raster", "Cannot resume: " + why});
        else
          resuming = setup;
      } else if (kind == "close") {
        quit = true;
      }
    }
    if (resuming && !host.plugin().DialogRunning()) {
      // Armed with other settings than the interrupted engraving's, its lines would fire
      // elsewhere: disarmed again.
      const std::string difference =
          host.armed() ? SettingsDifference(resuming->record, host.shownFields()) : "";
      if (!difference.empty()) {
        host.PressReset();
        window.Send({"raster", "Cannot resume: the settings differ: " + difference});
        lastRaster.clear();
      }
      resuming.reset();
    }
    const MachineStatus& status = host.machineStatus();
    const std::string machine =
        StateText(status) + "\t" + Format(status.workX) + "\t" + Format(status.workY);
    const std::string raster = RasterText(host);
    if ((machine != lastMachine && Clock::now() - lastSent > std::chrono::milliseconds(100)) ||
        raster != lastRaster) {
      window.Send({"machine", StateText(status), Format(status.workX), Format(status.workY)});
      window.Send({"raster", raster});
      lastMachine = machine;
      lastRaster = raster;
      lastSent = Clock::now();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  window.Send({"quit"});
  const bool written = host.Finish();
  if (host.figures().rasterLines > 0) PrintSummary(host, options, 0.0);
  return alive && written ? 0 : 1;
}

}  // namespace lcnc
