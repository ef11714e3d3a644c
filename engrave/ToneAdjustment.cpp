#include "engrave/ToneAdjustment.h"

#include <bit>
#include <cmath>
#include <numbers>

#include "engrave/EngraveSetup.h"
#include "image/CxImage.h"
#include "image/PixelSurface.h"

namespace engrave {
namespace {

constexpr ToneLimits kLimits[] = {
    {"Brightness", -100.0, 100.0, 0.0},
    {"Contrast", -100.0, 100.0, 0.0},
    {"Gamma", 0.1, 10.0, 1.0},
};

}  // namespace

bool ToneAdjustment::SameAs(const ToneAdjustment& other) const {
  auto same = [](double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
  };
  return same(brightness, other.brightness) && same(contrast, other.contrast) &&
         same(gamma, other.gamma);
}

const ToneLimits& LimitsOf(ToneSetting setting) {
  return kLimits[static_cast<int>(setting)];
}

bool InRange(ToneSetting setting, double value) {
  const ToneLimits& limits = LimitsOf(setting);
  return std::isfinite(value) && value >= limits.lowest && value <= limits.highest;
}

std::string RangeMessage(ToneSetting setting) {
  const ToneLimits& limits = LimitsOf(setting);
  return std::string(limits.name) + " must be a number from " + FormatFieldReal(limits.lowest) +
         " to " + FormatFieldReal(limits.highest) + ".";
}

double& ValueOf(ToneAdjustment& tone, ToneSetting setting) {
  switch (setting) {
    case ToneSetting::kBrightness:
      return tone.brightness;
    case ToneSetting::kContrast:
      return tone.contrast;
    case ToneSetting::kGamma:
      break;
  }
  return tone.gamma;
}

ToneTable BuildToneTable(const ToneAdjustment& tone) {
  // Evaluated in 64-bit floating point in the order written, so that a picture adjusted
  // beforehand with the same formula fires the same steps. At contrast 0 the slope is exactly 1:
  // tan(pi / 4) comes out a hair below it, which leaves black at 5.6e-17 instead of 0, and a high
  // gamma lifts that to a visible gray (6 at gamma 10).
  const double slope =
      tone.contrast == 0.0 ? 1.0 : std::tan((tone.contrast + 100.0) * std::numbers::pi / 400.0);
  const double exponent = 1.0 / tone.gamma;
  ToneTable table{};
  for (int v = 0; v < 256; ++v) {
    double t = 0.5 + slope * (double(v) / 255.0 - 0.5) + tone.brightness / 100.0;
    // Written so that a value that is not a number clamps to 0 rather than poisoning the level.
    t = t > 0.0 ? (t < 1.0 ? t : 1.0) : 0.0;
    const double level = std::floor(255.0 * std::pow(t, exponent) + 0.5);
    table[size_t(v)] = level > 0.0 ? (level < 255.0 ? uint8_t(level) : uint8_t(255)) : uint8_t(0);
  }
  return table;
}

const uint8_t* ToneLookup::For(const ToneAdjustment& tone) {
  if (tone.Neutral()) return nullptr;
  if (!built_ || !built_->SameAs(tone)) {
    table_ = BuildToneTable(tone);
    built_ = tone;
  }
  return table_.data();
}

void ApplyToneToSurface(const ToneTable& table, PixelSurface& surface) {
  for (int y = 0; y < surface.height; ++y) {
    uint8_t* pixel = surface.Row(y);
    for (int x = 0; x < surface.width; ++x, pixel += 3) {
      const uint8_t level = table[size_t(CxImage::GrayOf(pixel[0], pixel[1], pixel[2]))];
      pixel[0] = pixel[1] = pixel[2] = level;
    }
  }
}

}  // namespace engrave
