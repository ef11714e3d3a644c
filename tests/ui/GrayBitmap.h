// Small test pictures written as 24-bit BMP files with known gray levels (red = green = blue,
// so the picture's brightness is exactly the level written).
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

// level(x, y) with y = 0 the top row as seen.
inline bool WriteGrayBitmap(const std::string& path, int width, int height,
                            const std::function<uint8_t(int x, int y)>& level) {
  const int rowBytes = (width * 3 + 3) / 4 * 4;
  const uint32_t pixelBytes = uint32_t(rowBytes) * height;
  std::vector<uint8_t> file(54 + pixelBytes, 0);
  auto put16 = [&](size_t at, uint32_t v) {
    file[at] = uint8_t(v);
    file[at + 1] = uint8_t(v >> 8);
  };
  auto put32 = [&](size_t at, uint32_t v) {
    put16(at, v & 0xFFFF);
    put16(at + 2, v >> 16);
  };
  file[0] = 'B';
  file[1] = 'M';
  put32(2, uint32_t(file.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, uint32_t(width));
  put32(22, uint32_t(height));
  put16(26, 1);
  put16(28, 24);
  put32(34, pixelBytes);
  for (int y = 0; y < height; ++y) {
    // Rows are stored bottom-up.
    uint8_t* row = file.data() + 54 + size_t(height - 1 - y) * rowBytes;
    for (int x = 0; x < width; ++x) row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = level(x, y);
  }
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  return bool(out);
}
