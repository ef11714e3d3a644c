// Writing 8-bit gray pictures as PNG files (libpng).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct GrayPicture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // rows top first, one byte per pixel

  GrayPicture() = default;
  GrayPicture(int w, int h, uint8_t fill = 0) : width(w), height(h), pixels(size_t(w) * h, fill) {}
  uint8_t& At(int x, int y) { return pixels[size_t(y) * width + x]; }
  uint8_t At(int x, int y) const { return pixels[size_t(y) * width + x]; }
};

// False with a reason in *error when the file cannot be written.
bool WritePng(const std::string& path, const GrayPicture& picture, std::string* error);

}  // namespace host
