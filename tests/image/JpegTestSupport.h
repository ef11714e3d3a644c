// Test JPEG files made with libjpeg's own compressor, and an independent libjpeg decode to
// check the decoder's pixels against.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// clang-format off
#include <cstdio>  // jpeglib.h uses FILE and size_t without declaring them
#include <jpeglib.h>
// clang-format on

struct JpegMarker {
  int code;  // e.g. JPEG_APP0 + 1
  std::vector<uint8_t> data;
};

struct JpegRecipe {
  int width = 16;
  int height = 8;
  J_COLOR_SPACE inputSpace = JCS_RGB;     // JCS_RGB, JCS_GRAYSCALE or JCS_CMYK
  J_COLOR_SPACE fileSpace = JCS_UNKNOWN;  // JCS_UNKNOWN: libjpeg's default for the input
  int quality = 90;
  bool jfif = true;
  int densityUnit = 0;
  int xDensity = 1;
  int yDensity = 1;
  bool progressive = false;
  std::vector<JpegMarker> markers;
  // Sample c of pixel (x, y), y = 0 at the top of the picture.
  std::function<uint8_t(int x, int y, int c)> sample = [](int x, int y, int c) {
    return uint8_t((x * 13 + y * 7 + c * 61) & 0xFF);
  };
};

std::vector<uint8_t> CompressJpeg(const JpegRecipe& recipe);

// Photograph-sized colour pictures, written and read back one scanline at a time so that the
// test itself never holds the whole picture. `row` fills or receives scanline y (top first) as
// red, green, blue.
using RgbRowWriter = std::function<void(int y, uint8_t* rgb)>;
using RgbRowReader = std::function<void(int y, const uint8_t* rgb)>;
bool WriteRgbJpeg(const std::string& path, int width, int height, const RgbRowWriter& row,
                  int quality = 85);
// Decodes with plain libjpeg; false when the file is not a colour JPEG of the given size.
bool ReadRgbJpeg(const std::string& path, int width, int height, const RgbRowReader& row);

struct IndependentDecode {
  bool ok = false;
  std::string error;
  int width = 0;
  int height = 0;
  int components = 0;
  std::vector<uint8_t> pixels;                 // top row first, as libjpeg delivers them
  std::vector<std::vector<uint8_t>> colormap;  // quantised output only
  const uint8_t* Pixel(int x, int y) const {
    return pixels.data() + (size_t(y) * width + x) * components;
  }
};

// Decodes with plain libjpeg into the given colour space (JCS_RGB, JCS_GRAYSCALE, JCS_CMYK or
// JCS_UNKNOWN for libjpeg's default). Optional colour quantisation to `colours`.
IndependentDecode DecodeIndependently(const std::vector<uint8_t>& file,
                                      J_COLOR_SPACE outSpace = JCS_UNKNOWN, int colours = 0);

// The brightness rule the picture's gray conversion follows.
inline int ExpectedGray(int red, int green, int blue) {
  return (306 * red + 601 * green + 117 * blue) >> 10;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes);
