// Helpers for the bad-input tests: test files, in-memory decoding with the soundness checks
// every outcome must pass, small hand-made files and deterministic damage.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "image/CxImage.h"

namespace hardening {

using Bytes = std::vector<uint8_t>;

std::string TestData(const std::string& relative);
std::string SourceFile(const std::string& relative);
Bytes ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const Bytes& bytes);

// What one decode left behind.
struct Outcome {
  bool decoded = false;
  std::string error;
  uint32_t width = 0;
  uint32_t height = 0;
  std::chrono::duration<double> elapsed{};
};

// Decodes a copy of the bytes from memory with the format code. A failure must leave the
// image empty and (except for GIF, which has no messages) name a reason; a success must give
// a picture that converts to gray and reads and paints without leaving its pixel block.
// Violations are reported as test failures labelled with `context`.
Outcome DecodeChecked(const Bytes& bytes, uint32_t formatCode, const std::string& context,
                      int32_t escape = 0);
// The same checks for an image that Decode or LoadFile has filled.
void ExpectSound(CxImage& image, bool decoded, uint32_t formatCode, const std::string& context);

// Cut points for truncation: every length up to `dense`, then `spread` more spread evenly.
std::vector<size_t> CutPoints(size_t size, size_t dense, size_t spread);
// A copy with 1 to 4 bytes changed; half of the changes land in the first 64 bytes, where the
// headers are.
Bytes Damaged(const Bytes& bytes, std::mt19937& random);

// Hand-made files.
Bytes Le16(uint32_t value);
Bytes Le32(uint32_t value);
void Append(Bytes& to, const Bytes& more);
Bytes operator+(Bytes first, const Bytes& second);
// A BMP with a 40-byte header, the given palette (4 bytes per entry) and pixel bytes.
Bytes MakeBmp(int32_t width, int32_t height, uint16_t bits, uint32_t compression,
              const Bytes& palette, const Bytes& pixels);
// A PNG with a proper CRC on every chunk; `idat` is the zlib stream.
Bytes MakePng(uint32_t width, uint32_t height, uint8_t depth, uint8_t colourType, const Bytes& idat,
              uint8_t interlace = 0, const Bytes& extraChunks = {});
Bytes PngChunk(const char* type, const Bytes& data);
Bytes Deflate(const Bytes& raw);
// A GIF: logical screen, 4-entry global table, one frame (image descriptor and LZW data whose
// code width never grows, so any index sequence can be written).
Bytes MakeGif(uint16_t screenWidth, uint16_t screenHeight, uint16_t frameWidth,
              uint16_t frameHeight, const Bytes& indices);
Bytes GifLzwData(const Bytes& indices, int minimumCodeSize);
// A type 0 WBMP with multi-byte width and height and the given rows.
Bytes MakeWbmp(uint32_t width, uint32_t height, const Bytes& rows);
// A copy of a JPEG file with the frame header's height and width replaced.
Bytes WithJpegSize(Bytes jpeg, uint16_t width, uint16_t height);

}  // namespace hardening
