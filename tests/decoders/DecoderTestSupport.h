// Helpers shared by the decoder tests: test files, in-memory decoding, gray planes and a small
// little-endian writer for hand-made files.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "TempDir.h"
#include "image/CxImage.h"
#include "image/CxMemFile.h"

namespace decoder_test {

std::string TestData(const std::string& relative);
using ::ReadFileBytes;  // tests/support/TempDir.h
// Files in a directory with the given extension (".bmp"), sorted by name.
std::vector<std::string> ListFiles(const std::string& directory, const std::string& extension);
std::string BaseName(const std::string& path);

// Runs a decoder's Read over a copy of the bytes held in memory.
template <typename Decoder>
bool DecodeBytes(Decoder& decoder, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> copy(bytes);
  CxMemFile stream(copy.data(), uint32_t(copy.size()));
  return decoder.Read(stream);
}

// The picture's brightness, top row first, width x height values.
struct GrayPlane {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> values;
  uint8_t At(uint32_t x, uint32_t yFromTop) const { return values[size_t(yFromTop) * width + x]; }
};
// Converts the image with ToGray and reads every pixel back.
GrayPlane GrayOf(CxImage& image);

// Largest absolute difference between two planes of the same size, and how many values differ
// by more than `tolerance`.
struct PlaneDifference {
  int largest = 0;
  size_t beyondTolerance = 0;
};
PlaneDifference Compare(const GrayPlane& a, const GrayPlane& b, int tolerance);

// A PNG decoded independently of CxPngDecoder, through libpng's simplified API, as 8-bit RGBA
// without alpha premultiplication. Colour-space chunks (gAMA, sRGB, iCCP, cHRM) are removed
// first and 16-bit samples are taken as already encoded, so that no gamma conversion happens:
// the picture keeps its stored values, as our decoder does. 16-bit samples are rounded to 8 bits
// (v * 255 / 65535), not truncated.
struct RgbaPicture {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> rgba;  // top row first
  std::string error;
  const uint8_t* At(uint32_t x, uint32_t yFromTop) const {
    return &rgba[(size_t(yFromTop) * width + x) * 4];
  }
};
RgbaPicture ReferencePng(const std::vector<uint8_t>& png);
std::vector<uint8_t> WithoutColourSpaceChunks(const std::vector<uint8_t>& png);
// The file without its chunks of the given types ("bKGD").
std::vector<uint8_t> WithoutChunks(const std::vector<uint8_t>& png,
                                   std::initializer_list<const char*> types);
// libpng's rounding composite of one 8-bit sample over a background.
uint8_t Composite(uint8_t foreground, uint8_t alpha, uint8_t background);

// Deterministic damage for robustness tests.
class Mutator {
 public:
  explicit Mutator(uint32_t seed) : state_(seed) {}
  uint32_t Next(uint32_t bound) {
    state_ = state_ * 1664525u + 1013904223u;
    return (state_ >> 8) % bound;
  }
  // Changes a few bytes after the first `keep`, and now and then cuts the file short.
  std::vector<uint8_t> Damage(const std::vector<uint8_t>& original, size_t keep);

 private:
  uint32_t state_;
};

class ByteWriter {
 public:
  ByteWriter& U8(uint32_t v);
  ByteWriter& U16(uint32_t v);
  ByteWriter& U32(uint32_t v);
  ByteWriter& Bytes(std::initializer_list<uint8_t> bytes);
  ByteWriter& Zeros(size_t count);
  void PutU32At(size_t offset, uint32_t v);
  size_t Size() const { return bytes_.size(); }
  const std::vector<uint8_t>& Data() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace decoder_test
