// The boundary between a host controller and the Engraving plug-in.
//
// A host loads Engraving.so with dlopen, registers its callbacks, hands over the three state
// records below with InitControl, then calls the entry points from its own main-loop thread
// (the "host thread"). The plug-in runs one thread of its own, the "dialog thread", for its
// setup dialog. Every field says who writes it, on which thread, and what the plug-in relies on.
//
// Ownership: the records, the trigger buffer and the host window belong to the host and must
// outlive the plug-in (from InitControl until StopPlug has returned). The plug-in never frees
// them. No exception crosses this boundary in either direction.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

// Number of 32-bit words in the trigger-bit buffer: 1,024,000 bits, one per X motor step.
inline constexpr int kTriggerWordCount = 32000;

struct ControlState {
  // Host writes (host thread): non-zero once the operator pressed Cycle Start. The plug-in
  // reads it on every tick while a raster waits to begin.
  int32_t CycleStart = 0;
  // Plug-in writes (host thread): 0 after a trigger line is filled (fire from TriggerBits,
  // starting at bit 0); -1 when a raster ends or is cancelled (no firing).
  int32_t TriggerMode = -1;
  // Non-zero: the driver uses 40 µs trigger pulses. The plug-in reads it on the host thread when
  // a setup dialog is opened and writes the dialog's choice back on the host thread, during the
  // next entry-point call after "Start Scanning" was pressed.
  uint8_t PulseMode = 0;
  // Plug-in writes 0 (host thread) on each tick that finds the host ready while a raster is
  // armed or running. What the host does with it is its own affair.
  int32_t TickReset = 0;
  // Optional, host writes (host thread) before it opens a setup dialog to go on with an
  // interrupted raster: line ResumeLine (from 1, as "Start at line" counts; 0: none) has fired
  // its steps up to ResumeAfterStep (counted from the line's edge, as bit j of a default line;
  // -1: none). The plug-in reads both on the host thread when the dialog opens; when that
  // dialog starts the raster at ResumeLine, the line fires only its steps after that one.
  int32_t ResumeLine = 0;
  int64_t ResumeAfterStep = -1;
};

struct MotionState {
  // Host writes: motor steps per user unit. Read by the dialog thread while a setup dialog is
  // open; the host must not change them while a dialog is open (DllCanUnloadNow() == 1).
  double StepsPerUnitX = 0.0;
  double StepsPerUnitY = 0.0;
  // Host writes: axis positions in user units. Read on the host thread by the start checks.
  double PositionX = 0.0;
  double PositionY = 0.0;
  // Host writes: non-zero while a G-code file is loaded. Read by the start checks.
  uint8_t FileLoaded = 0;
  // Host sets non-zero when it is ready for more moves; the plug-in clears it (host thread)
  // after sending a line's two moves. A tick with LineDone 0 does nothing.
  uint8_t LineDone = 0;
  // Plug-in writes 0 (host thread), as ControlState::TickReset.
  int32_t TickReset = 0;
  // The host's status line. The plug-in replaces it, always on the host thread (texts that the
  // dialog thread produces are handed over and written during the next entry-point call).
  std::string StatusLine;

  // Optional, host writes (host thread): what it knows of its machine. The plug-in reads them
  // on the host thread when it opens a setup dialog. X's acceleration limit in units per
  // second squared (0: not known) sizes the overscan that lets X reach the feed rate before
  // the picture's edge; the travel limits, in the same work coordinates as PositionX and
  // PositionY, are the soft limits that no move of a raster may pass (infinite: none).
  double MaxAccelerationX = 0.0;
  double TravelMinX = -HUGE_VAL;
  double TravelMaxX = HUGE_VAL;
  double TravelMinY = -HUGE_VAL;
  double TravelMaxY = HUGE_VAL;
};

// The menu bar of the host's main window. Menus are named by integer handles that the host
// hands out; the host owns every menu. All calls come from the host thread, inside
// PostInitControl.
class HostMenuBar {
 public:
  // Creates an empty popup menu and returns its handle (negative: failure).
  virtual int CreatePopup() = 0;
  // Inserts a plain text item with a command identifier into a popup at a position (0 = first).
  // Choosing the item later makes the host call Notify(commandId).
  virtual bool InsertItem(int popup, int position, int commandId, const std::string& text) = 0;
  // Appends a popup, titled title, at the end of the menu bar.
  virtual bool AppendPopup(int popup, const std::string& title) = 0;

 protected:
  ~HostMenuBar() = default;
};

// The host's main window: the plug-in only asks it for its menu bar.
class HostWindow {
 public:
  // The window's menu bar; null when it has none (the plug-in then adds no menu).
  virtual HostMenuBar* MenuBar() = 0;

 protected:
  ~HostWindow() = default;
};

struct DriverState {
  // Plug-in writes (host thread), once per raster line, on a tick in which LineDone is set:
  // bit j (word j / 32, bit j % 32, bit 0 least significant) fires the tool at the j-th X motor
  // step of the coming X move. The host reads it while it executes that move.
  uint32_t TriggerBits[kTriggerWordCount] = {};
  // Plug-in writes (host thread) with each line's bits: the raster line (from 0) they belong to,
  // counted as the dialog's "lines" count them; -1 before the first. A line that fires nothing
  // may be left out of the moves, so the hosts number their records by this, not by X moves.
  int32_t RasterLine = -1;
  // Plug-in writes (host thread) with each line's bits and moves: bit j of the line, counted
  // from its edge as a default line counts it, is bit j + RasterBitShift of TriggerBits (a
  // line laid out with an overscan or without its blank ends starts before its first step).
  int32_t RasterBitShift = 0;
  // Host writes: non-zero while the printer-port driver is in use. Read by the start checks and
  // before every line; without it no bits are written.
  uint8_t PrinterPortActive = 0;
  // Host writes before InitControl: its main window, for the plug-in's menu. May be null.
  HostWindow* MainWindow = nullptr;
};

// Callbacks, registered with the Set* entry points before InitControl. All are called on the
// host thread only.
extern "C" {
// Called once, inside InitControl, with 3: returns the first menu command identifier reserved
// for the plug-in, or -1 when there is none.
typedef int (*GetMenuRangeFn)(int count);
// One G-code line, NUL-terminated, valid only during the call. The host must execute the lines
// in order and set LineDone again once ready for more. The result is ignored.
typedef int (*CodeFn)(const char* line);
// Stored but never called by this plug-in.
typedef void (*DoButtonFn)(int16_t button);
typedef void (*SetDROFn)(int16_t dro, double value);
typedef double (*GetDROFn)(int16_t dro);
typedef bool (*GetLEDFn)(int16_t led);
typedef void (*SetLEDFn)(int16_t led, bool on);
}

#ifndef ENGRAVING_API
#define ENGRAVING_API __attribute__((visibility("default")))
#endif

// The plug-in's exported entry points, for hosts that link against it or resolve them with
// dlsym under these exact names.
extern "C" {
ENGRAVING_API void SetGetMenuRange(GetMenuRangeFn fn);
ENGRAVING_API void SetDoButton(DoButtonFn fn);
ENGRAVING_API void SetSetDRO(SetDROFn fn);
ENGRAVING_API void SetGetDRO(GetDROFn fn);
ENGRAVING_API void SetGetLED(GetLEDFn fn);
ENGRAVING_API void SetSetLED(SetLEDFn fn);
ENGRAVING_API void SetCode(CodeFn fn);

// Keeps the records (and the unused 32-bit value), creates the plug-in's central object and
// reserves its menu command identifier. Always returns 1.
ENGRAVING_API uint8_t InitControl(ControlState* control, uint32_t unused, MotionState* motion,
                                  DriverState* driver);
// Takes the path of the host's XML profile and returns the plug-in's display name. The text
// stays valid until the next SetProName or until the plug-in is unloaded.
ENGRAVING_API const char* SetProName(std::string profileName);
// Adds the menu "&Tarvex/Laser Engraving" and loads the engraving settings from the profile.
ENGRAVING_API void PostInitControl();
// Menu notification: -1 cancels a running raster; other values are menu command identifiers.
ENGRAVING_API void Notify(int32_t commandId);
// One tick of the host's main loop.
ENGRAVING_API void Update();
// Cancels a running raster.
ENGRAVING_API void Reset();
// Opens the setup dialog.
ENGRAVING_API void Config();
// Saves the settings and releases the central object. Call last.
ENGRAVING_API void StopPlug();

// Accepted and ignored.
ENGRAVING_API void DoDwell(double seconds);
ENGRAVING_API void JogOn(int16_t axis, int16_t direction, double speed);
ENGRAVING_API void JogOff(int16_t axis);
ENGRAVING_API void Purge(int16_t flags);
ENGRAVING_API void Probe();
ENGRAVING_API void Home(int16_t axis);

// Self-registration: nothing to register on this platform.
ENGRAVING_API int32_t DllRegisterServer();
ENGRAVING_API int32_t DllUnregisterServer();
ENGRAVING_API int32_t DllGetClassObject(const void* classId, const void* interfaceId,
                                        void** object);
// 0 when the plug-in may be unloaded now, 1 while its dialog thread runs.
ENGRAVING_API int32_t DllCanUnloadNow();
}
