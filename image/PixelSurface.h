// A plain RGB pixel surface: what the preview paints into, and what the dialog backends show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct PixelSurface {
  int width = 0;
  int height = 0;
  int stride = 0;               // bytes per row, at least 3 * width
  std::vector<uint8_t> pixels;  // rows top first, 3 bytes red, green, blue per pixel

  PixelSurface() = default;
  PixelSurface(int w, int h) : width(w), height(h), stride(3 * w), pixels(std::size_t(3) * w * h) {}
  uint8_t* Row(int y) { return pixels.data() + std::size_t(y) * stride; }
  const uint8_t* Row(int y) const { return pixels.data() + std::size_t(y) * stride; }
};

// A destination rectangle on a surface: left, top, right, bottom (right and bottom exclusive).
struct PaintRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};
