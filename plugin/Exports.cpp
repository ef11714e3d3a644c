// The entry points through which the host drives the plug-in. Each runs on the host thread;
// where the object it needs does not exist yet (or any more), it does nothing.
#include <memory>
#include <string>

#include "engrave/EngraveThread.h"
#include "engrave/Parameters.h"
#include "plugin/HostInterface.h"
#include "plugin/MenuHandler.h"
#include "plugin/MenuInstaller.h"
#include "plugin/PluginServices.h"
#include "plugin/PluginState.h"
#include "profile/ProfileStore.h"
#include "ui/Ui.h"

namespace {

std::string& DisplayName() {
  static std::string name;
  return name;
}

// Unloading the library (or leaving the process) with a dialog open: end the dialog thread
// before any object it uses is destroyed. Runs before the library's static destructors.
__attribute__((destructor)) void EndDialogThreadAtUnload() {
  engrave::ShutdownDialogThread();
}

}  // namespace

extern "C" {

ENGRAVING_API void SetGetMenuRange(GetMenuRangeFn fn) {
  plugin::Host().getMenuRange = fn;
}
ENGRAVING_API void SetDoButton(DoButtonFn fn) {
  plugin::Host().doButton = fn;
}
ENGRAVING_API void SetSetDRO(SetDROFn fn) {
  plugin::Host().setDro = fn;
}
ENGRAVING_API void SetGetDRO(GetDROFn fn) {
  plugin::Host().getDro = fn;
}
ENGRAVING_API void SetGetLED(GetLEDFn fn) {
  plugin::Host().getLed = fn;
}
ENGRAVING_API void SetSetLED(SetLEDFn fn) {
  plugin::Host().setLed = fn;
}
ENGRAVING_API void SetCode(CodeFn fn) {
  plugin::Host().code = fn;
}

ENGRAVING_API uint8_t InitControl(ControlState* control, uint32_t unused, MotionState* motion,
                                  DriverState* driver) {
  // A second InitControl replaces the central object; no dialog may still be using the old one.
  engrave::ShutdownDialogThread();
  plugin::HostLink& host = plugin::Host();
  host.control = control;
  host.unusedValue = unused;
  host.motion = motion;
  host.driver = driver;
  auto handler = std::make_unique<MenuHandler>(host);
  if (host.getMenuRange != nullptr) handler->MenuCommandId = host.getMenuRange(3);
  plugin::ReplaceHandler(std::move(handler));
  return 1;
}

ENGRAVING_API const char* SetProName(std::string profileName) {
  profile::ProfileName() = std::move(profileName);
  { profile::ScopedProfileStore store; }
  DisplayName() = plugin::ModuleName() + " Tarvex Engraving Version 2.00.075";
  return DisplayName().c_str();
}

ENGRAVING_API void PostInitControl() {
  profile::ScopedProfileStore store;
  MenuHandler* handler = plugin::Handler();
  if (handler == nullptr) return;
  if (handler->MenuCommandId == -1) {
    ui::ShowMessage(" Error in Adding Menus ");
    return;
  }
  plugin::InstallMenu(plugin::Host().driver, handler->MenuCommandId);
  engrave::LoadParameters();
}

ENGRAVING_API void Notify(int32_t commandId) {
  MenuHandler* handler = plugin::Handler();
  if (handler == nullptr) return;
  plugin::ApplyHandover();
  if (commandId == -1) {
    handler->CancelSequence();
  } else {
    handler->OnMenuCommand(commandId);
  }
}

ENGRAVING_API void Update() {
  MenuHandler* handler = plugin::Handler();
  if (handler == nullptr) return;
  plugin::ApplyHandover();
  handler->SequenceTick();
}

ENGRAVING_API void Reset() {
  MenuHandler* handler = plugin::Handler();
  if (handler == nullptr) return;
  plugin::ApplyHandover();
  handler->CancelSequence();
}

ENGRAVING_API void Config() {
  MenuHandler* handler = plugin::Handler();
  if (handler == nullptr) return;
  plugin::ApplyHandover();
  // A dialog must not replace the picture or the parameters while a raster reads them.
  if (handler->SequenceState.load(std::memory_order_acquire) != MenuHandler::kIdle) {
    ui::ShowMessage("Previous SEQ not yet complete. ");
    return;
  }
  engrave::OpenSetupDialog();
}

ENGRAVING_API void StopPlug() {
  // The dialog thread uses the central object and the parameters: end it first.
  engrave::ShutdownDialogThread();
  plugin::ApplyHandover();
  profile::ScopedProfileStore store;
  // Settings that were never loaded are not the user's: saving them would replace the stored
  // ones with zeros.
  if (engrave::gParameters.Loaded) engrave::SaveParameters();
  plugin::ReplaceHandler(nullptr);
}

ENGRAVING_API void DoDwell(double) {}
ENGRAVING_API void JogOn(int16_t, int16_t, double) {}
ENGRAVING_API void JogOff(int16_t) {}
ENGRAVING_API void Purge(int16_t) {}
ENGRAVING_API void Probe() {}
ENGRAVING_API void Home(int16_t) {}

ENGRAVING_API int32_t DllRegisterServer() {
  return 0;
}
ENGRAVING_API int32_t DllUnregisterServer() {
  return 0;
}
ENGRAVING_API int32_t DllGetClassObject(const void*, const void*, void** object) {
  if (object != nullptr) *object = nullptr;
  return int32_t(0x80040111u);  // CLASS_E_CLASSNOTAVAILABLE
}
ENGRAVING_API int32_t DllCanUnloadNow() {
  return engrave::DialogThreadRunning() ? 1 : 0;
}

}  // extern "C"
