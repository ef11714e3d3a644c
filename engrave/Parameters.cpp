#include "engrave/Parameters.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "engrave/EngraveSetup.h"
#include "engrave/ToneAdjustment.h"
#include "engrave/TriggerLine.h"
#include "profile/ProfileStore.h"

namespace engrave {

ParameterSet gParameters;

namespace {

const char kSection[] = "Engraving";

// A stored real reads as a field of the dialog reads its text: the leading plain decimal number,
// in any locale. "nan", "inf", hexadecimal and out-of-range numbers are not taken (strtod would
// load a value that every start then refuses until the field is retyped), so like any text
// without a number they give 0.
double ParseStoredReal(const std::string& text) {
  return ParseFieldReal(text).value_or(0.0);
}

// printf-style formatting that ignores the host's locale.
std::string Format(double value, std::chars_format format, int precision) {
  char text[400];
  auto result = std::to_chars(text, text + sizeof text, value, format, precision);
  return std::string(text, result.ptr);
}

// Position of the first significant digit relative to the decimal point, from the exact value:
// the exponent of its exact decimal expansion, plus one.
int LeadingDigitPosition(double magnitude) {
  if (magnitude == 0.0) return 1;
  const std::string exact = Format(magnitude, std::chars_format::scientific, 40);
  return std::atoi(exact.c_str() + exact.find('e') + 1) + 1;
}

// Drops the zeros that directly follow the decimal digits, before the exponent or the end;
// the point itself stays.
std::string TrimFractionZeros(std::string text) {
  const size_t point = text.find('.');
  if (point == std::string::npos) return text;
  size_t exponent = text.find('e');
  if (exponent == std::string::npos) exponent = text.size();
  size_t keep = exponent;
  while (keep > point + 1 && text[keep - 1] == '0') --keep;
  return text.erase(keep, exponent - keep);
}

// An adjustment's key, read as text first (an empty key reads as missing, like every other).
// A value the dialog would refuse loads as neutral: it cannot block the dialog after a restart.
void LoadAdjustment(profile::ProfileStore& store, ToneSetting setting, std::atomic<double>& value,
                    std::atomic<bool>& stored) {
  const ToneLimits& limits = LimitsOf(setting);
  const std::string text = store.ReadString(kSection, limits.name, "");
  stored = !text.empty();
  const std::optional<double> read = ParseFieldReal(text);
  value = read && InRange(setting, *read) ? *read : limits.neutral;
}

// A user who never adjusts the picture keeps the profile as it always was.
void SaveAdjustment(profile::ProfileStore& store, ToneSetting setting, double value, bool stored) {
  const ToneLimits& limits = LimitsOf(setting);
  if (value != limits.neutral || stored)
    store.WriteString(kSection, limits.name, FormatStoredReal(value));
}

}  // namespace

std::string FormatStoredReal(double value) {
  // A value without a finite number (an overflowed aspect ratio, say) is stored as the 0 that
  // its text would read back as, so the profile never holds what the next load cannot take.
  if (!std::isfinite(value)) value = 0.0;
  const int position = LeadingDigitPosition(std::fabs(value));
  std::string text;
  if (position < 0 || position > 4) {
    // Scientific with four significant digits and a three-digit exponent.
    text = Format(value, std::chars_format::scientific, 3);
    const size_t e = text.find('e');
    const int exponent = std::atoi(text.c_str() + e + 1);
    char tail[16];
    std::snprintf(tail, sizeof tail, "e%c%03d", exponent < 0 ? '-' : '+', std::abs(exponent));
    text.replace(e, std::string::npos, tail);
  } else {
    text = Format(value, std::chars_format::fixed, 4 - position);
  }
  return TrimFractionZeros(text);
}

void LoadParameters() {
  profile::ProfileStore* store = profile::CurrentProfileStore();
  if (store == nullptr) return;
  auto readReal = [&](const char* key, const char* defaultText) {
    return ParseStoredReal(store->ReadString(kSection, key, defaultText));
  };
  gParameters.YStepOver = readReal("YStepOver", ".1");
  gParameters.Length = readReal("Length", "8.0");
  gParameters.Width = readReal("Width", "10.0");
  gParameters.FeedRate = readReal("FeedRate", "100.0");
  gParameters.Inverse = store->ReadInt(kSection, "Inverse", 0) == 1;
  gParameters.MaintainAspectRatio = store->ReadInt(kSection, "MaintainAspectRatio", 0) == 1;
  // Read as text first: an empty key reads as missing, like every other key.
  const std::string dither = store->ReadString(kSection, "Dither", "");
  gParameters.DitherStored = !dither.empty();
  gParameters.Dither = !dither.empty() && profile::LeadingInteger(dither) == 1;
  const std::string overscan = store->ReadString(kSection, "Overscan", "");
  gParameters.OverscanStored = !overscan.empty();
  gParameters.Overscan = ParseStoredReal(overscan);
  const std::string skipBlank = store->ReadString(kSection, "SkipBlank", "");
  gParameters.SkipBlankStored = !skipBlank.empty();
  gParameters.SkipBlank = !skipBlank.empty() && profile::LeadingInteger(skipBlank) == 1;
  LoadAdjustment(*store, ToneSetting::kBrightness, gParameters.Brightness,
                 gParameters.BrightnessStored);
  LoadAdjustment(*store, ToneSetting::kContrast, gParameters.Contrast, gParameters.ContrastStored);
  LoadAdjustment(*store, ToneSetting::kGamma, gParameters.Gamma, gParameters.GammaStored);
  gParameters.Loaded = true;
}

void SaveParameters() {
  profile::ProfileStore* store = profile::CurrentProfileStore();
  if (store == nullptr) return;
  store->WriteString(kSection, "YStepOver", FormatStoredReal(gParameters.YStepOver));
  store->WriteString(kSection, "Length", FormatStoredReal(gParameters.Length));
  store->WriteString(kSection, "Width", FormatStoredReal(gParameters.Width));
  store->WriteString(kSection, "FeedRate", FormatStoredReal(gParameters.FeedRate));
  store->WriteInt(kSection, "Inverse", gParameters.Inverse ? 1 : 0);
  store->WriteInt(kSection, "MaintainAspectRatio", gParameters.MaintainAspectRatio ? 1 : 0);
  // A user who never ticked "Dithered (photo)" keeps the profile as it always was.
  if (gParameters.Dither || gParameters.DitherStored)
    store->WriteInt(kSection, "Dither", gParameters.Dither ? 1 : 0);
  if (gParameters.Overscan != 0.0 || gParameters.OverscanStored)
    store->WriteString(kSection, "Overscan", FormatStoredReal(gParameters.Overscan));
  if (gParameters.SkipBlank || gParameters.SkipBlankStored)
    store->WriteInt(kSection, "SkipBlank", gParameters.SkipBlank ? 1 : 0);
  SaveAdjustment(*store, ToneSetting::kBrightness, gParameters.Brightness,
                 gParameters.BrightnessStored);
  SaveAdjustment(*store, ToneSetting::kContrast, gParameters.Contrast, gParameters.ContrastStored);
  SaveAdjustment(*store, ToneSetting::kGamma, gParameters.Gamma, gParameters.GammaStored);
}

TriggerLineInput CurrentRasterLine(bool invert) {
  TriggerLineInput line;
  line.triggerLineLength = gParameters.TriggerLineLength;
  line.imagePixelsX = gParameters.ImagePixelsX;
  line.imagePixelsY = gParameters.ImagePixelsY;
  line.length = gParameters.Length;
  line.scanY = gParameters.ScanY;
  line.scanXTarget = gParameters.ScanXTarget;
  line.yStepOver = gParameters.YStepOver;
  line.invert = invert;
  return line;
}

RasterMoves CurrentRasterMoves(double stepsPerUnitX) {
  RasterMoves moves;
  moves.width = gParameters.Width;
  moves.stepsPerUnitX = stepsPerUnitX;
  moves.overscanSteps = std::max<int32_t>(0, OverscanSteps(gParameters.Overscan, stepsPerUnitX));
  moves.skipBlank = gParameters.SkipBlank;
  return moves;
}

ToneAdjustment CurrentTone() {
  return {gParameters.Brightness, gParameters.Contrast, gParameters.Gamma};
}

void CalculateParameters(bool maintainAspect, double stepsPerUnitX, double stepsPerUnitY) {
  const double pixelsX = gParameters.ImagePixelsX;
  const double pixelsY = gParameters.ImagePixelsY;
  const double width = gParameters.Width;
  // Without picture dimensions there is no aspect ratio and no steps per pixel: the typed
  // height stays and the per-pixel values are 0 instead of a division by zero.
  const bool haveColumns = pixelsX > 0.0;
  const bool haveRows = pixelsY > 0.0;
  if (maintainAspect && haveColumns && haveRows) gParameters.Length = pixelsY / pixelsX * width;
  gParameters.XPixelSteps = haveColumns ? width * stepsPerUnitX / pixelsX : 0.0;
  gParameters.YPixelSteps = haveRows ? gParameters.Length * stepsPerUnitY / pixelsY : 0.0;
  // Saturate rather than wrap: an enormous or undefined width must fail the bit-count check.
  const double bits = width * stepsPerUnitX;
  gParameters.TriggerLineLength =
      std::isnan(bits) || bits >= 2147483648.0 ? INT32_MAX : TruncateToInt32(bits);
}

StartScanningResult StartScanning(bool pulseChecked, ScanStarter& starter,
                                  const MachineEnvelope& machine, const RasterStart& start) {
  starter.SetPulseMode(pulseChecked ? 1 : 0);
  // Written so that an undefined value (a typed "nan") fails like a value of zero.
  if (!(gParameters.Width > 0.0) || !(gParameters.Length > 0.0)) {
    starter.ShowMessage("ERROR... Width and Length must set be > 0.00");
    return StartScanningResult::kCheckFailed;
  }
  if (!(gParameters.FeedRate > 0.0)) {
    starter.ShowMessage("ERROR... Rate must set be > 0.00");
    return StartScanningResult::kCheckFailed;
  }
  if (gParameters.TriggerLineLength > kTriggerBitCapacity) {
    starter.ShowMessage("ERROR... Must be fewer than 1 million trigger bits.");
    return StartScanningResult::kCheckFailed;
  }
  if (!(gParameters.ImagePixelsX > 0.0) || !(gParameters.ImagePixelsY > 0.0)) {
    starter.ShowMessage("ERROR... Image pixels X and Y must be > 0. Please load a picture.");
    return StartScanningResult::kCheckFailed;
  }
  const double overscan = gParameters.Overscan;
  if (!(overscan >= 0.0) || !std::isfinite(overscan)) {
    starter.ShowMessage("ERROR... Overscan must be 0 or more.");
    return StartScanningResult::kCheckFailed;
  }
  // The run-in's steps come before the picture's in the trigger buffer.
  const RasterMoves moves = CurrentRasterMoves(machine.stepsPerUnitX);
  if (int64_t(gParameters.TriggerLineLength) + moves.overscanSteps > kTriggerBitCapacity ||
      (machine.stepsPerUnitX > 0.0 && OverscanSteps(overscan, machine.stepsPerUnitX) < 0)) {
    starter.ShowMessage("ERROR... Must be fewer than 1 million trigger bits.");
    return StartScanningResult::kCheckFailed;
  }
  if (const std::string outside =
          SoftLimitMessage(machine, moves, gParameters.Length, gParameters.YStepOver);
      !outside.empty()) {
    starter.ShowMessage(outside);
    return StartScanningResult::kCheckFailed;
  }
  if (start.line != 1) {
    // A raster that never reaches its height has no line to start at but the first.
    const int64_t lines = CountRasterLines(gParameters.Length, gParameters.YStepOver);
    if (start.line < 1 || lines < 0 || start.line > lines) {
      starter.ShowMessage("ERROR... Start at line must be from 1 to " +
                          std::to_string(lines < 1 ? 1 : lines) + ", the raster's lines.");
      return StartScanningResult::kCheckFailed;
    }
  }
  if (!starter.ConfirmMovement()) return StartScanningResult::kRefused;
  gParameters.StartLine = start.line;
  gParameters.ResumeAfterStep = start.afterStep;
  gParameters.ScanXTarget = 0.0;
  gParameters.ScanY = 0.0;
  starter.Arm();
  return StartScanningResult::kArmed;
}

}  // namespace engrave
