#include "host/PluginHost.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>

namespace host {
namespace {

PluginHost* gHost = nullptr;  // the callbacks are plain function pointers

// Stored by the plug-in, never called; a host must still offer them.
void DoButton(int16_t) {}
void SetDro(int16_t, double) {}
double GetDro(int16_t) {
  return 0.0;
}
bool GetLed(int16_t) {
  return false;
}
void SetLed(int16_t, bool) {}

template <typename F>
bool Resolve(void* handle, const char* name, F& entry, std::string* missing) {
  entry = reinterpret_cast<F>(dlsym(handle, name));
  if (entry == nullptr) {
    if (!missing->empty()) *missing += ", ";
    *missing += name;
  }
  return entry != nullptr;
}

}  // namespace

int SimMenuBar::CreatePopup() {
  popups_.emplace_back();
  return int(popups_.size()) - 1;
}

bool SimMenuBar::InsertItem(int popup, int position, int commandId, const std::string& text) {
  if (popup < 0 || popup >= int(popups_.size())) return false;
  std::vector<Item>& items = popups_[popup].items;
  position = std::clamp(position, 0, int(items.size()));
  items.insert(items.begin() + position, Item{commandId, text});
  return true;
}

bool SimMenuBar::AppendPopup(int popup, const std::string& title) {
  if (popup < 0 || popup >= int(popups_.size())) return false;
  popups_[popup].title = title;
  bar_.push_back(popup);
  return true;
}

int SimMenuBar::FindCommand(const std::string& text) const {
  for (int popup : bar_)
    for (const Item& item : popups_[popup].items)
      if (item.text == text) return item.commandId;
  return -1;
}

std::vector<SimMenuBar::Popup> SimMenuBar::popups() const {
  std::vector<Popup> bar;
  for (int popup : bar_) bar.push_back(popups_[popup]);
  return bar;
}

std::vector<std::string> SimMenuBar::Describe() const {
  std::vector<std::string> lines;
  for (int popup : bar_) {
    std::string line = popups_[popup].title;
    for (const Item& item : popups_[popup].items)
      line += " > " + item.text + " (" + std::to_string(item.commandId) + ")";
    lines.push_back(line);
  }
  return lines;
}

PluginHost::PluginHost() : PluginHost(nullptr) {}

PluginHost::PluginHost(DriverState* sharedDriver)
    : driver(sharedDriver), lastTriggerMode_(control.TriggerMode) {
  if (driver == nullptr) {
    ownDriver_ = std::make_unique<DriverState>();
    driver = ownDriver_.get();
  }
  driver->MainWindow = &menu;
  gHost = this;
}

PluginHost::~PluginHost() {
  Unload();
  if (gHost == this) gHost = nullptr;
}

bool PluginHost::Load(const std::string& path, std::string* error) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : "cannot load " + path;
    return false;
  }
  std::string missing;
  Resolve(handle_, "SetGetMenuRange", entries_.SetGetMenuRange, &missing);
  Resolve(handle_, "SetDoButton", entries_.SetDoButton, &missing);
  Resolve(handle_, "SetSetDRO", entries_.SetSetDRO, &missing);
  Resolve(handle_, "SetGetDRO", entries_.SetGetDRO, &missing);
  Resolve(handle_, "SetGetLED", entries_.SetGetLED, &missing);
  Resolve(handle_, "SetSetLED", entries_.SetSetLED, &missing);
  Resolve(handle_, "SetCode", entries_.SetCode, &missing);
  Resolve(handle_, "InitControl", entries_.InitControl, &missing);
  Resolve(handle_, "SetProName", entries_.SetProName, &missing);
  Resolve(handle_, "PostInitControl", entries_.PostInitControl, &missing);
  Resolve(handle_, "Notify", entries_.Notify, &missing);
  Resolve(handle_, "Update", entries_.Update, &missing);
  Resolve(handle_, "Reset", entries_.Reset, &missing);
  Resolve(handle_, "Config", entries_.Config, &missing);
  Resolve(handle_, "StopPlug", entries_.StopPlug, &missing);
  Resolve(handle_, "DllCanUnloadNow", entries_.DllCanUnloadNow, &missing);
  if (!missing.empty()) {
    *error = path + " lacks the entry points " + missing;
    Unload();
    return false;
  }
  return true;
}

void PluginHost::Unload() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
  entries_ = PluginEntries{};
}

std::string PluginHost::StartUp(const std::string& profilePath) {
  entries_.SetGetMenuRange(&PluginHost::GetMenuRange);
  entries_.SetDoButton(&DoButton);
  entries_.SetSetDRO(&SetDro);
  entries_.SetGetDRO(&GetDro);
  entries_.SetGetLED(&GetLed);
  entries_.SetSetLED(&SetLed);
  entries_.SetCode(&PluginHost::Code);
  initControlResult = entries_.InitControl(&control, 0, &motion, driver);
  const char* name = entries_.SetProName(profilePath);
  const std::string displayName = name != nullptr ? name : "";
  entries_.PostInitControl();
  Observe();
  return displayName;
}

bool PluginHost::DialogRunning() const {
  return entries_.DllCanUnloadNow != nullptr && entries_.DllCanUnloadNow() != 0;
}

void PluginHost::Observe() {
  if (control.TriggerMode != lastTriggerMode_) {
    lastTriggerMode_ = control.TriggerMode;
    if (observer_ != nullptr) observer_->OnTriggerMode(lastTriggerMode_);
  }
  if (motion.StatusLine != lastStatus_) {
    lastStatus_ = motion.StatusLine;
    if (observer_ != nullptr) observer_->OnStatus(lastStatus_);
  }
}

int PluginHost::GetMenuRange(int) {
  return kFirstMenuCommand;
}

int PluginHost::Code(const char* line) {
  if (gHost == nullptr || line == nullptr) return 0;
  gHost->Observe();  // what the plug-in wrote before sending this line comes first
  gHost->pendingCode_.emplace_back(line);
  if (gHost->observer_ != nullptr) gHost->observer_->OnCode(line);
  return 1;
}

}  // namespace host
