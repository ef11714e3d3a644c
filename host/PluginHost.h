// The host side of the plug-in boundary: loads a plug-in with dlopen, owns the host records,
// the menu bar and the callbacks, and watches what the plug-in writes into the records.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "plugin/HostInterface.h"

namespace host {

// What the plug-in shows that a host drives by: its menu item and its status texts.
inline constexpr const char* kMenuItem = "&Engrave Photo";
inline constexpr const char* kArmedStatus = "Press Cycle Start to begin scanning Seq.";
inline constexpr const char* kRunningStatus = "Scanning Sequence Begins..";
inline constexpr const char* kCompleteStatus = "Scanning Sequence Complete";
inline constexpr const char* kCanceledStatus = "Engraving Canceled.";

class SimMenuBar final : public HostMenuBar, public HostWindow {
 public:
  struct Item {
    int commandId;
    std::string text;
  };
  struct Popup {
    std::string title;
    std::vector<Item> items;
  };

  int CreatePopup() override;
  bool InsertItem(int popup, int position, int commandId, const std::string& text) override;
  bool AppendPopup(int popup, const std::string& title) override;
  HostMenuBar* MenuBar() override { return this; }

  // The command id of the item with this text in any popup of the bar; -1 when there is none.
  int FindCommand(const std::string& text) const;
  // The popups on the bar, in bar order.
  std::vector<Popup> popups() const;
  // "&Tarvex/Laser Engraving > &Engrave Photo (1000)", one line per popup of the bar.
  std::vector<std::string> Describe() const;

 private:
  std::vector<Popup> popups_;
  std::vector<int> bar_;
};

// The plug-in's entry points, resolved by name.
struct PluginEntries {
  void (*SetGetMenuRange)(GetMenuRangeFn) = nullptr;
  void (*SetDoButton)(DoButtonFn) = nullptr;
  void (*SetSetDRO)(SetDROFn) = nullptr;
  void (*SetGetDRO)(GetDROFn) = nullptr;
  void (*SetGetLED)(GetLEDFn) = nullptr;
  void (*SetSetLED)(SetLEDFn) = nullptr;
  void (*SetCode)(CodeFn) = nullptr;
  uint8_t (*InitControl)(ControlState*, uint32_t, MotionState*, DriverState*) = nullptr;
  const char* (*SetProName)(std::string) = nullptr;
  void (*PostInitControl)() = nullptr;
  void (*Notify)(int32_t) = nullptr;
  void (*Update)() = nullptr;
  void (*Reset)() = nullptr;
  void (*Config)() = nullptr;
  void (*StopPlug)() = nullptr;
  int32_t (*DllCanUnloadNow)() = nullptr;
};

// What the host sees happen, in order.
class HostObserver {
 public:
  virtual void OnCode(const std::string& line) = 0;
  virtual void OnStatus(const std::string& text) = 0;
  virtual void OnTriggerMode(int32_t mode) = 0;

 protected:
  ~HostObserver() = default;
};

class PluginHost {
 public:
  static constexpr int kFirstMenuCommand = 1000;

  // The driver record lives in the host's own memory, or in memory that the host hands in (a
  // realtime driver's shared buffer); the latter must outlive the PluginHost.
  PluginHost();
  explicit PluginHost(DriverState* sharedDriver);
  ~PluginHost();  // unloads the plug-in
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  bool Load(const std::string& path, std::string* error);
  void Unload();
  const PluginEntries& entries() const { return entries_; }

  // Registers the seven callbacks, then InitControl, SetProName and PostInitControl.
  std::string StartUp(const std::string& profilePath);

  // The plug-in's dialog thread is running (DllCanUnloadNow answers 1).
  bool DialogRunning() const;

  // Compares the records with what was seen last and reports the changes to the observer.
  void Observe();

  void set_observer(HostObserver* observer) { observer_ = observer; }
  // G-code lines received and not yet taken by the machine.
  std::deque<std::string>& pendingCode() { return pendingCode_; }
  const std::deque<std::string>& pendingCode() const { return pendingCode_; }

  ControlState control;
  MotionState motion;
  DriverState* driver;
  SimMenuBar menu;
  uint8_t initControlResult = 0;

 private:
  static int GetMenuRange(int count);
  static int Code(const char* line);

  std::unique_ptr<DriverState> ownDriver_;
  void* handle_ = nullptr;
  PluginEntries entries_;
  HostObserver* observer_ = nullptr;
  std::deque<std::string> pendingCode_;
  std::string lastStatus_;
  int32_t lastTriggerMode_;
};

}  // namespace host
