#include "ReferenceTriggerLine.h"

#include <cstring>

#include "image/CxImage.h"

namespace {

void SetTriggerBit(uint32_t* bits, int32_t index, int32_t fire) {
  if (index / 32 >= engrave::kTriggerWords) return;
  const uint32_t mask = uint32_t(1) << (index % 32);
  bits[index / 32] = fire == 1 ? (bits[index / 32] | mask) : (bits[index / 32] & ~mask);
}

}  // namespace

void FillTriggerLineReference(const engrave::TriggerLineInput& line, const CxImage* picture,
                              uint32_t* bits) {
  const double r = double(line.triggerLineLength) / line.imagePixelsX;
  const int32_t y = engrave::TruncateToInt32((line.scanY / line.length) * line.imagePixelsY);
  std::memset(bits, 0, sizeof(uint32_t) * engrave::kTriggerWords);
  int32_t j = 0;
  for (int32_t i = 1; double(i) < line.imagePixelsX; ++i) {
    const int32_t n = engrave::TruncateToInt32(i * r) - j;
    const int32_t x = line.scanXTarget == 0.0 ? i : engrave::TruncateToInt32(line.imagePixelsX) - i;
    const int read = picture != nullptr ? picture->PixelGray(x, y) : 0;
    const int gray = line.invert ? 255 - read : read;
    const double v = gray / 255.0;
    double s = 0.0;
    for (int32_t k = 0; k < n; ++k) {
      s = (n * v) + s;
      int32_t fire = 0;
      if (n <= s) {
        fire = 1;
        s = s - n;
      }
      SetTriggerBit(bits, j, fire);
      j = j + 1;
    }
    if (j >= engrave::kTriggerBitCapacity) break;
  }
}
