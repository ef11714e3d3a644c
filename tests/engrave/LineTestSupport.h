// What the trigger-line tests share: small gray pictures, the fired steps of a buffer, and
// whole rasters of lines as the scanning sequence fills them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "engrave/TriggerLine.h"
#include "image/CxImage.h"

// An 8-bit gray picture, as every picture is once loaded: row 0 is the bottom row.
inline std::unique_ptr<CxImage> GrayPicture(uint32_t width, uint32_t height,
                                            const std::vector<uint8_t>& bottomRow = {}) {
  auto picture = std::make_unique<CxImage>();
  EXPECT_NE(picture->Create(width, height, 8, 0), nullptr);
  picture->FillGrayPalette();
  for (size_t x = 0; x < bottomRow.size(); ++x) picture->RowAddress(0)[x] = bottomRow[x];
  return picture;
}

// The same picture with every pixel at level(x, y), y counted from the bottom.
template <typename Level>
std::unique_ptr<CxImage> GrayPictureOf(uint32_t width, uint32_t height, Level level) {
  auto picture = GrayPicture(width, height);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) picture->RowAddress(y)[x] = uint8_t(level(x, y));
  return picture;
}

inline std::vector<int> FiredSteps(const std::vector<uint32_t>& bits) {
  std::vector<int> steps;
  for (int j = 0; j < engrave::kTriggerBitCapacity; ++j) {
    if (bits[j / 32] & (1u << (j % 32))) steps.push_back(j);
  }
  return steps;
}

inline engrave::TriggerLineInput Line(int32_t steps, double columns, double rows = 1.0) {
  engrave::TriggerLineInput line;
  line.triggerLineLength = steps;
  line.imagePixelsX = columns;
  line.imagePixelsY = rows;
  line.length = 8.0;
  return line;
}

// The lines of a raster as the sequence fills them: from ScanY 0 in steps of yStepOver while
// below the length, forward and reverse in turn. Each line's fires are given by X position:
// step j of a reverse line lies at triggerLineLength - 1 - j.
template <typename Filler>
std::vector<std::vector<uint8_t>> FillRaster(Filler& filler, engrave::TriggerLineInput line,
                                             const CxImage* picture, double width = 10.0) {
  std::vector<std::vector<uint8_t>> raster;
  std::vector<uint32_t> bits(engrave::kTriggerWords);
  const int32_t steps = line.triggerLineLength;
  for (double y = 0.0; y < line.length; y = y + line.yStepOver) {
    const bool forward = raster.size() % 2 == 0;
    line.scanY = y;
    line.scanXTarget = forward ? 0.0 : width;
    filler.Fill(line, picture, bits.data());
    std::vector<uint8_t> dots(size_t(steps), 0);
    for (int32_t j = 0; j < steps && j < engrave::kTriggerBitCapacity; ++j) {
      const uint8_t fired = (bits[size_t(j / 32)] >> (j % 32)) & 1u;
      dots[size_t(forward ? j : steps - 1 - j)] = fired;
    }
    raster.push_back(std::move(dots));
  }
  return raster;
}
