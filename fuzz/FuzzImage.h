// What every decoder target checks after a decode: a failure leaves the image empty with a
// reason, a success leaves a picture that the plug-in can convert, read and paint without
// touching memory outside its block. A broken promise aborts, so libFuzzer reports it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/CxImage.h"
#include "image/CxMemFile.h"

namespace fuzz {

// Larger inputs only slow the search down; every format shows its structure well below this.
inline constexpr size_t kMaxInputSize = 1 << 20;
// Pictures above this many pixels are legal but make one execution take seconds under the
// fuzzer's instrumentation; their refusal above the memory guard has unit tests of its own.
inline constexpr uint64_t kPixelBudget = 4u << 20;

[[noreturn]] inline void Broken(const char* what, const CxImage& image) {
  std::fprintf(stderr, "fuzz invariant broken: %s (w=%u h=%u bpp=%u error=\"%.255s\")\n", what,
               image.ImageWidth(), image.ImageHeight(), unsigned(image.BitsPerPixel()),
               image.LastErrorText());
  std::abort();
}

inline void Require(bool condition, const char* what, const CxImage& image) {
  if (!condition) Broken(what, image);
}

// Reads pixels the way the trigger-line fill does, plus the coordinates just outside the
// picture, which must answer from the key or the bottom-left pixel and never from memory
// beyond the block. Big pictures are sampled so one input stays fast.
inline void ReadPixels(const CxImage& image) {
  const int32_t width = int32_t(image.ImageWidth());
  const int32_t height = int32_t(image.ImageHeight());
  const int32_t stepX = width > 256 ? width / 256 : 1;
  const int32_t stepY = height > 256 ? height / 256 : 1;
  for (int32_t y = -1; y <= height; y += (y < 0 || y >= height - 1) ? 1 : stepY) {
    for (int32_t x = -1; x <= width; x += (x < 0 || x >= width - 1) ? 1 : stepX) {
      const int gray = image.PixelGray(x, y);
      Require(gray >= 0 && gray <= 255, "PixelGray outside 0..255", image);
    }
  }
}

inline void CheckPicture(CxImage& image) {
  const uint32_t width = image.ImageWidth();
  const uint32_t height = image.ImageHeight();
  const uint32_t bits = image.BitsPerPixel();
  Require(width > 0 && height > 0, "a decoded picture without size", image);
  Require(bits == 1 || bits == 4 || bits == 8 || bits == 24, "odd bits per pixel", image);
  Require(uint64_t(image.RowStride()) == (uint64_t(width) * bits + 31) / 32 * 4,
          "row stride does not match the width", image);
  Require(image.RowAddress(height - 1) != nullptr && image.RowAddress(height) == nullptr,
          "row addresses do not match the height", image);
  Require(bits > 8 ? image.PaletteSize() == 0 : image.PaletteSize() <= (1u << bits),
          "palette does not fit the depth", image);

  ReadPixels(image);

  PixelSurface surface(23, 17);
  Require(image.PaintStretched(&surface, -5, 3, 31, 19) == 1, "painting a picture failed", image);
  if (uint64_t(width) * height > kPixelBudget) return;

  // ToGray may fail when its 8-bit copy is refused by the memory guard; the picture must then
  // be left as it was.
  if (!image.ToGray()) {
    Require(image.IsLoaded() && image.BitsPerPixel() == bits && image.ImageWidth() == width,
            "a failed ToGray changed the picture", image);
    return;
  }
  Require(image.BitsPerPixel() == 8 && image.PaletteSize() == 256, "ToGray left no gray image",
          image);
  for (int i = 0; i < 256; ++i) {
    const CxRgbQuad entry = image.PaletteColor(uint8_t(i));
    Require(entry.red == i && entry.green == i && entry.blue == i, "gray palette is not (i,i,i)",
            image);
  }
  ReadPixels(image);
}

inline void CheckOutcome(CxImage& image, bool decoded, uint32_t formatCode) {
  Require(std::memchr(image.LastErrorText(), '\0', 256) != nullptr, "lastError not terminated",
          image);
  if (!decoded) {
    Require(!image.IsLoaded(), "a failed decode left a picture", image);
    // GIF failures carry no message of their own; every other decoder names its reason.
    if (formatCode != kCxFormatGif) {
      Require(image.LastErrorText()[0] != '\0', "a failed decode without a reason", image);
    }
    if (formatCode == kCxFormatUnknown) {
      Require(std::strcmp(image.LastErrorText(), "Decode: Unknown or wrong format") == 0,
              "the fallback failed with another message", image);
    }
    return;
  }
  Require(image.IsLoaded(), "a successful decode without a picture", image);
  CheckPicture(image);
}

// True when a decoder that honours the dimensions-only mode reports a picture above the pixel
// budget: such inputs are skipped (see kPixelBudget).
inline bool ClaimsHugePicture(std::vector<uint8_t>& bytes, uint32_t formatCode) {
  for (const uint32_t code : {kCxFormatBmp, kCxFormatGif, kCxFormatJpeg}) {
    if (formatCode != kCxFormatUnknown && formatCode != code) continue;
    CxImage image;
    image.MutableInfo().escape = -1;
    CxMemFile stream(bytes.data(), uint32_t(bytes.size()));
    const bool answered = image.Decode(stream, code);
    Require(std::memchr(image.LastErrorText(), '\0', 256) != nullptr,
            "lastError not terminated (dimensions only)", image);
    if (answered && uint64_t(image.ImageWidth()) * image.ImageHeight() > kPixelBudget) {
      return true;
    }
  }
  return false;
}

// Decodes the input with the format code after a look at its dimensions.
inline int DecodeOne(const uint8_t* data, size_t size, uint32_t formatCode,
                     uint32_t codecOptions = 0) {
  if (size > kMaxInputSize) return -1;
  // A private copy, so that a decoder that reads past the end is caught by the sanitizer at
  // the exact byte.
  std::vector<uint8_t> bytes(data, data + size);
  if (ClaimsHugePicture(bytes, formatCode)) return 0;
  CxImage image;
  image.SetCodecOption(codecOptions, kCxFormatJpeg);
  CxMemFile stream(bytes.data(), uint32_t(size));
  const bool decoded = image.Decode(stream, formatCode);
  CheckOutcome(image, decoded, formatCode);
  return 0;
}

}  // namespace fuzz
