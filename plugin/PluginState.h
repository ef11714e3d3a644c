// The plug-in frame's process-wide state: what the host handed over, and the central object.
// Written on the host thread by the entry points.
#pragma once

#include <memory>
#include <string>

#include "plugin/HostInterface.h"

class MenuHandler;

namespace plugin {

struct HostLink {
  ControlState* control = nullptr;
  uint32_t unusedValue = 0;  // kept as handed over; nothing reads it
  MotionState* motion = nullptr;
  DriverState* driver = nullptr;
  GetMenuRangeFn getMenuRange = nullptr;
  DoButtonFn doButton = nullptr;
  SetDROFn setDro = nullptr;
  GetDROFn getDro = nullptr;
  GetLEDFn getLed = nullptr;
  SetLEDFn setLed = nullptr;
  CodeFn code = nullptr;
};

HostLink& Host();

// The central object: none before InitControl and after StopPlug.
MenuHandler* Handler();
void ReplaceHandler(std::unique_ptr<MenuHandler> handler);

// Host thread: writes into the host's records what the dialog thread handed over.
void ApplyHandover();

}  // namespace plugin
