#include "host/SamplePicture.h"

#include <algorithm>
#include <cmath>

namespace host {
namespace {

uint8_t Level(double brightness) {
  return uint8_t(std::clamp(std::lround(brightness), 0L, 255L));
}

}  // namespace

GrayPicture MakeSamplePicture() {
  GrayPicture picture(kSampleWidth, kSampleHeight);
  for (int y = 0; y < kSampleHeight; ++y) {
    for (int x = 0; x < kSampleWidth; ++x) {
      double brightness = 0;
      if (y < 16) {
        brightness = 255.0 * x / (kSampleWidth - 1);  // a smooth ramp
      } else if (y < 32) {
        brightness = 255.0 * (x / 10) / 9;  // ten steps, black to white
      } else if (x < 50) {
        // A disk bright in the middle and fading to its rim, on black.
        const double r = std::hypot(x - 24.5, y - 56.0) / 21.0;
        brightness = r < 1.0 ? 255.0 * (1.0 - r * r) : 0.0;
      } else {
        // Rings whose contrast falls off outwards.
        const double r = std::hypot(x - 75.0, y - 56.0);
        brightness = 128.0 + 127.0 * std::cos(r * 0.9) * std::exp(-r / 40.0);
      }
      picture.At(x, y) = Level(brightness);
    }
  }
  return picture;
}

}  // namespace host
