// The engraving parameter set: the user's settings (kept in the profile section "Engraving")
// and the values derived from them and from the picture. One process-wide set, written by the
// setup dialog's thread and read by the host thread while a raster runs; every field is atomic
// so that neither side ever sees a torn value.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "engrave/MachineEnvelope.h"
#include "engrave/RasterMoves.h"
#include "engrave/RasterStart.h"
#include "engrave/TriggerLine.h"

namespace engrave {

struct ParameterSet {
  std::atomic<double> YStepOver{0.0};  // Y distance between raster lines, user units
  std::atomic<double> Length{0.0};     // engraved height (the dialog's "Height")
  std::atomic<double> Width{0.0};      // engraved width
  std::atomic<double> FeedRate{0.0};   // F word of every X move
  std::atomic<bool> Inverse{false};    // black fires the most
  std::atomic<bool> MaintainAspectRatio{false};
  std::atomic<bool> Dither{false};  // "Dithered (photo)"
  // The profile held the key "Dither" when it was loaded: it is then saved even at 0, and a
  // profile that never had it stays without it.
  std::atomic<bool> DitherStored{false};
  // Run-in and run-out of every line, in units ("Overscan"); saved when not 0 or when the
  // profile had it, like "Dither".
  std::atomic<double> Overscan{0.0};
  std::atomic<bool> OverscanStored{false};
  std::atomic<bool> SkipBlank{false};  // "Skip blank ends"
  std::atomic<bool> SkipBlankStored{false};
  // The picture adjustments; each key is stored when it is not neutral or was in the profile.
  std::atomic<double> Brightness{0.0};
  std::atomic<double> Contrast{0.0};
  std::atomic<double> Gamma{1.0};
  std::atomic<bool> BrightnessStored{false};
  std::atomic<bool> ContrastStored{false};
  std::atomic<bool> GammaStored{false};
  std::atomic<double> ImagePixelsX{0.0};  // picture columns used by the raster
  std::atomic<double> ImagePixelsY{0.0};  // picture rows used by the raster
  std::atomic<double> XPixelSteps{0.0};   // shown only
  std::atomic<double> YPixelSteps{0.0};   // shown only
  std::atomic<int32_t> TriggerLineLength{0};
  std::atomic<double> ScanY{0.0};        // Y of the line to engrave next
  std::atomic<double> ScanXTarget{0.0};  // X where the last line ended: 0 or Width
  // Where the raster armed last starts ("Start at line", from 1) and the steps of that line,
  // from its edge, that fired before an interruption (-1: none). Per raster, never stored.
  std::atomic<int32_t> StartLine{1};
  std::atomic<int64_t> ResumeAfterStep{-1};
  // True once LoadParameters has run in this process; until then there is nothing of the
  // user's to save.
  std::atomic<bool> Loaded{false};
};

extern ParameterSet gParameters;

// Reads and writes the stored values through the profile store that is open now: the six of
// every profile, then the opt-in ones ("Dither", "Overscan", "SkipBlank": absent means off;
// written when in use or when they were there at load), then "Brightness", "Contrast" and
// "Gamma" (absent means neutral; each written when it is not neutral or was there at load).
// The reals read as the dialog's fields do (ParseFieldReal); a text without a finite number
// gives 0, and an adjustment outside its range the neutral value.
void LoadParameters();
void SaveParameters();

// The raster line at the scan position as the parameter set describes it now, in the given mode:
// what the sequence fills and the dialog's view of the engraving replays.
TriggerLineInput CurrentRasterLine(bool invert);

// How the lines' X moves are laid out with the parameter set as it is now and the machine's X
// steps per unit: an overscan that cannot run (negative, undefined) counts as none.
RasterMoves CurrentRasterMoves(double stepsPerUnitX);
// The picture adjustments as the parameter set holds them now.
ToneAdjustment CurrentTone();

// The four-significant-digit text in which a real value is stored ("0.1", "8.", "2500",
// "5.e-002"); a value that is not finite is stored as "0.".
std::string FormatStoredReal(double value);

// Derives Length (with maintainAspect), XPixelSteps, YPixelSteps and TriggerLineLength from the
// set and the machine's steps per unit. With ImagePixelsX or ImagePixelsY at 0 or below the
// derived values that would divide by them are 0.
void CalculateParameters(bool maintainAspect, double stepsPerUnitX, double stepsPerUnitY);

// What "Start Scanning" needs from the plug-in and the dialog around it.
class ScanStarter {
 public:
  virtual void SetPulseMode(uint8_t pulseMode) = 0;
  virtual void ShowMessage(const std::string& text) = 0;
  virtual bool ConfirmMovement() = 0;
  // ScanXTarget and ScanY are already 0; publish the armed state and its status text.
  virtual void Arm() = 0;

 protected:
  ~ScanStarter() = default;
};

enum class StartScanningResult { kCheckFailed, kRefused, kArmed };

// The checks and the arming of "Start Scanning", after the dialog has read its fields and run
// CalculateParameters. The machine is what the host told of it when the dialog opened: an
// overscan must fit its steps and the raster its soft limits. The start line must be one of
// the raster's lines.
StartScanningResult StartScanning(bool pulseChecked, ScanStarter& starter,
                                  const MachineEnvelope& machine = {},
                                  const RasterStart& start = {});

}  // namespace engrave
