// The picture adjustments "Brightness", "Contrast" and "Gamma": one transform of the gray
// levels, as a table of 256 entries, applied to every pixel the fills and the previews read,
// before anything else (the inversion of "Inverted (Black  = On)" included). Neutral settings
// leave every level as it is and are not applied at all.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

struct PixelSurface;

namespace engrave {

struct ToneAdjustment {
  double brightness = 0.0;  // -100 .. 100: added to every tone, in percent of white
  double contrast = 0.0;    // -100 .. 100: the slope around mid-gray, from flat to a threshold
  double gamma = 1.0;       // 0.1 .. 10: above 1 lifts the mid-tones

  bool Neutral() const { return brightness == 0.0 && contrast == 0.0 && gamma == 1.0; }
  // Bit for bit, so that a value that is not a number still equals itself.
  bool SameAs(const ToneAdjustment& other) const;
  bool operator==(const ToneAdjustment& other) const { return SameAs(other); }
};

enum class ToneSetting { kBrightness, kContrast, kGamma };

struct ToneLimits {
  const char* name;  // as the dialog labels it
  double lowest, highest, neutral;
};
const ToneLimits& LimitsOf(ToneSetting setting);

// A finite value within the setting's range (both ends included).
bool InRange(ToneSetting setting, double value);
// "Gamma must be a number from 0.1 to 10.": what the user is told of a refused value.
std::string RangeMessage(ToneSetting setting);

double& ValueOf(ToneAdjustment& tone, ToneSetting setting);

// Level v becomes floor(255 t^(1/G) + 0.5) with t = clamp(0.5 + k (v/255 - 0.5) + B/100, 0, 1)
// and k = tan((C + 100) pi / 400), exactly 1 at C = 0. Any input gives levels 0 .. 255.
using ToneTable = std::array<uint8_t, 256>;
ToneTable BuildToneTable(const ToneAdjustment& tone);

// The table of the adjustment last asked for, built again only when the adjustment changes, so
// that the fills build it once per raster and allocate nothing.
class ToneLookup {
 public:
  // Null when the adjustment is neutral: the levels are then read as they are.
  const uint8_t* For(const ToneAdjustment& tone);

 private:
  std::optional<ToneAdjustment> built_;
  ToneTable table_{};
};

// Shows the preview as the fills read it: every pixel of the surface (a picture painted gray)
// becomes the table's level of its gray.
void ApplyToneToSurface(const ToneTable& table, PixelSurface& surface);

}  // namespace engrave
