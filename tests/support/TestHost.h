// An in-process host for tests: loads the built plug-in with dlopen, as a host controller
// does, owns the records and callbacks, and records what the plug-in sends back.
#pragma once

#include <dlfcn.h>

#include <memory>
#include <string>
#include <vector>

#include "plugin/HostInterface.h"

class TestMenuBar : public HostMenuBar, public HostWindow {
 public:
  struct Popup {
    std::string title;  // empty until appended to the bar
    std::vector<std::pair<int, std::string>> items;
  };

  int CreatePopup() override;
  bool InsertItem(int popup, int position, int commandId, const std::string& text) override;
  bool AppendPopup(int popup, const std::string& title) override;
  HostMenuBar* MenuBar() override { return hasMenuBar ? this : nullptr; }

  bool hasMenuBar = true;
  std::vector<Popup> popups;
  std::vector<int> bar;  // popups appended, in order
};

class TestHost {
 public:
  explicit TestHost(const std::string& modulePath = ENGRAVING_MODULE_PATH);
  ~TestHost();
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  // Looks up an exported symbol; fails the test when it is missing.
  void* Symbol(const char* name) const;
  template <typename F>
  F Entry(const char* name) const {
    return reinterpret_cast<F>(Symbol(name));
  }

  void RegisterCallbacks();
  uint8_t InitControl();
  std::string SetProName(const std::string& profilePath);
  void PostInitControl();
  void Update();
  void Notify(int32_t id);
  void Reset();
  void Config();
  void StopPlug();
  // Registration, InitControl, SetProName, PostInitControl in the host's order.
  void StartUp(const std::string& profilePath);

  // A host ready for a raster: printer port active, axes at zero, no file loaded.
  void MakeReadyForEngraving();

  // Bits of the last filled line as sorted bit numbers.
  std::vector<int> SetBits() const;

  void* handle = nullptr;
  ControlState control;
  MotionState motion;
  std::unique_ptr<DriverState> driver = std::make_unique<DriverState>();
  TestMenuBar menu;
  int menuRangeAnswer = 100;
  int menuRangeCalls = 0;
  std::vector<std::string> code;  // every G-code line received, in order
};
