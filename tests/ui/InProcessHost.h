// A host for tests that link the plug-in's objects: calls the entry points directly, owns the
// records and a menu bar, and waits for what the dialog thread does.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "plugin/HostInterface.h"
#include "tests/support/TempDir.h"

class InProcessHost : public HostMenuBar, public HostWindow {
 public:
  static constexpr int kMenuCommand = 500;

  // A host ready to engrave (printer port active, axes at zero, 100 steps per unit), started
  // up on a fresh profile.
  InProcessHost();
  ~InProcessHost();  // StopPlug
  InProcessHost(const InProcessHost&) = delete;
  InProcessHost& operator=(const InProcessHost&) = delete;

  // HostMenuBar, HostWindow
  int CreatePopup() override { return 1; }
  bool InsertItem(int, int, int, const std::string&) override { return true; }
  bool AppendPopup(int, const std::string&) override { return true; }
  HostMenuBar* MenuBar() override { return this; }

  // Ticks the host (Update) until done() holds or the time runs out; false on timeout.
  bool TickUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Ticks until no dialog thread runs, then once more so that its hand-over is applied.
  bool WaitForDialogEnd();

  TempDir dir;
  ControlState control;
  MotionState motion;
  std::unique_ptr<DriverState> driver = std::make_unique<DriverState>();
  std::vector<std::string> code;
};

// The lines of a UI log, each split at its tabs.
std::vector<std::vector<std::string>> ReadUiLog(const std::string& path);
// True when the log holds a line whose first fields are these.
bool LogHas(const std::string& path, const std::vector<std::string>& fields);
// Waits (without ticking) until the log holds such a line.
bool WaitForLog(const std::string& path, const std::vector<std::string>& fields,
                std::chrono::milliseconds limit = std::chrono::seconds(20));
