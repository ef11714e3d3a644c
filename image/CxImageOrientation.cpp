// Turning a picture upright from the way a camera stored it. Rows are stored bottom-up, so the
// mappings here are in stored coordinates: stored row 0 is the bottom of the picture as seen.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "image/CxImage.h"

namespace {

constexpr uint32_t kHeaderBytes = sizeof(CxBitmapInfoHeader);

template <uint32_t kBytes>
void MirrorRow(uint8_t* row, uint32_t width) {
  if (width < 2) return;
  for (uint8_t *left = row, *right = row + size_t(width - 1) * kBytes; left < right;
       left += kBytes, right -= kBytes) {
    std::swap_ranges(left, left + kBytes, right);
  }
}

template <uint32_t kBytes>
void MirrorRows(uint8_t* pixels, size_t stride, uint32_t width, uint32_t height) {
  for (uint32_t y = 0; y < height; ++y) MirrorRow<kBytes>(pixels + y * stride, width);
}

// A quarter turn or a diagonal mirror of one plane (pixels or alpha). The target is height wide
// and width tall; its stored pixel (u, v) is the source's stored pixel (x, y) with
// x = v or width - 1 - v and y = u or height - 1 - u. Tiles keep the source rows that one
// target row gathers from in the cache for the next rows.
template <uint32_t kBytes>
void Transpose(const uint8_t* source, size_t sourceStride, uint32_t width, uint32_t height,
               uint8_t* target, size_t targetStride, bool reverseX, bool reverseY) {
  constexpr uint32_t kTile = 64;
  for (uint32_t v0 = 0; v0 < width; v0 += kTile) {
    const uint32_t vEnd = std::min(v0 + kTile, width);
    for (uint32_t u0 = 0; u0 < height; u0 += kTile) {
      const uint32_t uEnd = std::min(u0 + kTile, height);
      for (uint32_t v = v0; v < vEnd; ++v) {
        const size_t x = reverseX ? width - 1 - v : v;
        const uint8_t* column = source + x * kBytes;
        uint8_t* out = target + v * targetStride + size_t(u0) * kBytes;
        for (uint32_t u = u0; u < uEnd; ++u, out += kBytes) {
          const size_t y = reverseY ? height - 1 - u : u;
          std::memcpy(out, column + y * sourceStride, kBytes);
        }
      }
    }
  }
}

void TransposePlane(uint32_t bytes, const uint8_t* source, size_t sourceStride, uint32_t width,
                    uint32_t height, uint8_t* target, size_t targetStride, bool reverseX,
                    bool reverseY) {
  if (bytes == 1) {
    Transpose<1>(source, sourceStride, width, height, target, targetStride, reverseX, reverseY);
  } else {
    Transpose<3>(source, sourceStride, width, height, target, targetStride, reverseX, reverseY);
  }
}

}  // namespace

bool CxImage::ApplyOrientation(int32_t orientation) {
  if (orientation < 2 || orientation > 8) return true;
  if (block_ == nullptr || info_.borrowed != nullptr) return false;
  if (header_.biBitCount != 8 && header_.biBitCount != 24) return false;
  const uint32_t bytes = header_.biBitCount / 8u;
  const uint32_t width = ImageWidth();
  const uint32_t height = ImageHeight();

  // Mirrors and the half turn: a left-right mirror of every row, then (or only) the rows upside
  // down, both in place.
  if (orientation <= 4) {
    if (orientation == 2 || orientation == 3) {
      if (bytes == 1) {
        MirrorRows<1>(info_.pixels, info_.rowStride, width, height);
      } else {
        MirrorRows<3>(info_.pixels, info_.rowStride, width, height);
      }
      if (alpha_ != nullptr) MirrorRows<1>(alpha_, width, width, height);
    }
    if (orientation == 3 || orientation == 4) Flip();
    return true;
  }

  // 5 transpose, 6 quarter turn clockwise, 7 transverse, 8 quarter turn anticlockwise: in
  // stored (bottom-up) rows, 7 is the plain transpose and the others reverse one or both axes.
  const bool reverseX = orientation == 5 || orientation == 6;
  const bool reverseY = orientation == 5 || orientation == 8;

  CxImage upright;
  upright.info_ = info_;
  upright.info_.pixels = nullptr;
  if (upright.CreateForDecoding(height, width, header_.biBitCount, info_.formatCode) == nullptr) {
    SetLastError(upright.LastErrorText());
    return false;
  }
  if (alpha_ != nullptr) {
    upright.alpha_ = static_cast<uint8_t*>(std::malloc(size_t(width) * height));
    if (upright.alpha_ == nullptr) {
      SetLastError("CxImage::Create can't allocate memory");
      return false;
    }
    TransposePlane(1, alpha_, width, width, height, upright.alpha_, height, reverseX, reverseY);
  }
  // Same depth, same palette room: the whole palette goes across, unused entries included.
  std::memcpy(upright.block_ + kHeaderBytes, block_ + kHeaderBytes,
              size_t(PaletteCapacity()) * sizeof(CxRgbQuad));
  upright.header_.biClrUsed = header_.biClrUsed;
  upright.header_.biClrImportant = header_.biClrImportant;
  // What was across the picture now runs up it: the resolutions change places too.
  upright.header_.biXPelsPerMeter = header_.biYPelsPerMeter;
  upright.header_.biYPelsPerMeter = header_.biXPelsPerMeter;
  upright.info_.dpiX = info_.dpiY;
  upright.info_.dpiY = info_.dpiX;
  std::memcpy(upright.block_, &upright.header_, kHeaderBytes);

  TransposePlane(bytes, info_.pixels, info_.rowStride, width, height, upright.info_.pixels,
                 upright.info_.rowStride, reverseX, reverseY);
  return TakeOver(upright);
}
