#include "plugin/PluginState.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <optional>

#include "plugin/MenuHandler.h"
#include "plugin/PluginServices.h"

namespace plugin {
namespace {

std::unique_ptr<MenuHandler> gHandler;

// Texts and choices the dialog thread hands to the host thread. The flag lets a tick that has
// nothing to pick up pass with one load.
std::mutex gHandoverMutex;
std::optional<std::string> gPendingStatus;
std::optional<uint8_t> gPendingPulseMode;
std::atomic<bool> gHandoverPending{false};

std::string FindModuleName() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&FindModuleName), &info) == 0 || info.dli_fname == nullptr) {
    return "Engraving";
  }
  std::string name(info.dli_fname);
  const size_t slash = name.find_last_of('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

}  // namespace

HostLink& Host() {
  static HostLink link;
  return link;
}

MenuHandler* Handler() {
  return gHandler.get();
}

void ReplaceHandler(std::unique_ptr<MenuHandler> handler) {
  gHandler = std::move(handler);
}

void ApplyHandover() {
  if (!gHandoverPending.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(gHandoverMutex);
  gHandoverPending.store(false, std::memory_order_relaxed);
  if (gPendingPulseMode && Host().control != nullptr)
    Host().control->PulseMode = *gPendingPulseMode;
  if (gPendingStatus && Host().motion != nullptr) Host().motion->StatusLine = *gPendingStatus;
  gPendingPulseMode.reset();
  gPendingStatus.reset();
}

ControlState* Control() {
  return Host().control;
}
MotionState* Motion() {
  return Host().motion;
}
DriverState* Driver() {
  return Host().driver;
}

const std::string& ModuleName() {
  static const std::string name = FindModuleName();
  return name;
}

void PostStatus(const std::string& text) {
  std::lock_guard<std::mutex> lock(gHandoverMutex);
  gPendingStatus = text;
  gHandoverPending.store(true, std::memory_order_release);
}

void PostPulseMode(uint8_t pulseMode) {
  std::lock_guard<std::mutex> lock(gHandoverMutex);
  gPendingPulseMode = pulseMode;
  gHandoverPending.store(true, std::memory_order_release);
}

void ArmSequence() {
  if (MenuHandler* handler = Handler()) handler->Arm();
}

int32_t SequenceState() {
  MenuHandler* handler = Handler();
  return handler != nullptr ? handler->SequenceState.load(std::memory_order_acquire)
                            : MenuHandler::kIdle;
}

}  // namespace plugin
