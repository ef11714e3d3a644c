#include "HardeningSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "GifCodeWriter.h"
#include "image/CxMemFile.h"

namespace hardening {
namespace {

constexpr uint64_t kGrayCheckPixels = 4u << 20;

// Reads every pixel (sampled on big pictures) including the ring just outside the picture;
// the sanitizer builds catch any read that leaves the pixel block.
bool PixelsReadInRange(const CxImage& image) {
  const int32_t width = int32_t(image.ImageWidth());
  const int32_t height = int32_t(image.ImageHeight());
  const int32_t stepX = std::max(1, width / 256);
  const int32_t stepY = std::max(1, height / 256);
  for (int32_t y = -1; y <= height; y += (y < 0 || y >= height - 1) ? 1 : stepY) {
    for (int32_t x = -1; x <= width; x += (x < 0 || x >= width - 1) ? 1 : stepX) {
      const int gray = image.PixelGray(x, y);
      if (gray < 0 || gray > 255) return false;
    }
  }
  return true;
}

}  // namespace

std::string TestData(const std::string& relative) {
  return std::string(ENGRAVING_TESTDATA_DIR) + "/" + relative;
}

std::string SourceFile(const std::string& relative) {
  return std::string(ENGRAVING_SOURCE_DIR) + "/" + relative;
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void ExpectSound(CxImage& image, bool decoded, uint32_t formatCode, const std::string& context) {
  SCOPED_TRACE(context);
  const char* error = image.LastErrorText();
  ASSERT_NE(std::memchr(error, '\0', 256), nullptr) << "lastError is not terminated";
  if (!decoded) {
    EXPECT_FALSE(image.IsLoaded()) << "a failed decode left a picture";
    if (formatCode != kCxFormatGif) {
      EXPECT_STRNE(error, "") << "a failure without a reason";
    }
    return;
  }
  ASSERT_TRUE(image.IsLoaded());
  const uint32_t width = image.ImageWidth();
  const uint32_t height = image.ImageHeight();
  const uint32_t bits = image.BitsPerPixel();
  ASSERT_GT(width, 0u);
  ASSERT_GT(height, 0u);
  ASSERT_TRUE(bits == 1 || bits == 4 || bits == 8 || bits == 24) << bits;
  ASSERT_EQ(uint64_t(image.RowStride()), (uint64_t(width) * bits + 31) / 32 * 4);
  ASSERT_NE(image.RowAddress(height - 1), nullptr);
  EXPECT_TRUE(PixelsReadInRange(image));
  PixelSurface surface(23, 17);
  EXPECT_EQ(image.PaintStretched(&surface, -5, 3, 31, 19), 1);
  // Pictures this large are legal; converting them only makes the damage rounds slow.
  if (uint64_t(width) * height > kGrayCheckPixels) return;
  ASSERT_TRUE(image.ToGray());
  EXPECT_EQ(image.BitsPerPixel(), 8);
  EXPECT_TRUE(PixelsReadInRange(image));
}

Outcome DecodeChecked(const Bytes& bytes, uint32_t formatCode, const std::string& context,
                      int32_t escape) {
  // An exact-size private copy: a read past the end is caught at the byte by the sanitizer.
  Bytes copy(bytes);
  CxImage image;
  image.MutableInfo().escape = escape;
  CxMemFile stream(copy.empty() ? nullptr : copy.data(), uint32_t(copy.size()));
  Outcome outcome;
  const auto start = std::chrono::steady_clock::now();
  outcome.decoded = image.Decode(stream, formatCode);
  outcome.elapsed = std::chrono::steady_clock::now() - start;
  outcome.error = image.LastErrorText();
  outcome.width = image.ImageWidth();
  outcome.height = image.ImageHeight();
  if (escape == 0) ExpectSound(image, outcome.decoded, formatCode, context);
  return outcome;
}

std::vector<size_t> CutPoints(size_t size, size_t dense, size_t spread) {
  std::vector<size_t> points;
  for (size_t n = 0; n < std::min(size, dense); ++n) points.push_back(n);
  if (size > dense) {
    for (size_t i = 0; i < spread; ++i) points.push_back(dense + (size - dense) * i / spread);
  }
  points.erase(std::unique(points.begin(), points.end()), points.end());
  return points;
}

Bytes Damaged(const Bytes& bytes, std::mt19937& random) {
  Bytes copy(bytes);
  if (copy.empty()) return copy;
  const int changes = 1 + int(random() % 4);
  for (int i = 0; i < changes; ++i) {
    const size_t span = (random() % 2 == 0) ? std::min<size_t>(64, copy.size()) : copy.size();
    const size_t at = random() % span;
    // Half of the changes flip one bit, the others put an extreme byte in place.
    static constexpr uint8_t kExtremes[] = {0x00, 0xFF, 0x7F, 0x80};
    if (random() % 2 == 0) {
      copy[at] ^= uint8_t(1u << (random() % 8));
    } else {
      copy[at] = kExtremes[random() % 4];
    }
  }
  return copy;
}

Bytes Le16(uint32_t value) {
  return {uint8_t(value), uint8_t(value >> 8)};
}

Bytes Le32(uint32_t value) {
  return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

void Append(Bytes& to, const Bytes& more) {
  to.insert(to.end(), more.begin(), more.end());
}

Bytes operator+(Bytes first, const Bytes& second) {
  Append(first, second);
  return first;
}

Bytes MakeBmp(int32_t width, int32_t height, uint16_t bits, uint32_t compression,
              const Bytes& palette, const Bytes& pixels) {
  Bytes info;
  Append(info, Le32(40));
  Append(info, Le32(uint32_t(width)));
  Append(info, Le32(uint32_t(height)));
  Append(info, Le16(1));
  Append(info, Le16(bits));
  Append(info, Le32(compression));
  Append(info, Le32(uint32_t(pixels.size())));
  Append(info, Le32(2835));
  Append(info, Le32(2835));
  Append(info, Le32(uint32_t(palette.size() / 4)));
  Append(info, Le32(0));
  const uint32_t offset = uint32_t(14 + info.size() + palette.size());
  Bytes file = {'B', 'M'};
  Append(file, Le32(uint32_t(offset + pixels.size())));
  Append(file, Le32(0));
  Append(file, Le32(offset));
  Append(file, info);
  Append(file, palette);
  Append(file, pixels);
  return file;
}

Bytes PngChunk(const char* type, const Bytes& data) {
  Bytes chunk;
  const uint32_t length = uint32_t(data.size());
  chunk = {uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)};
  Bytes body(type, type + 4);
  Append(body, data);
  const uLong crc = crc32(0L, body.data(), uInt(body.size()));
  Append(chunk, body);
  Append(chunk, {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)});
  return chunk;
}

Bytes Deflate(const Bytes& raw) {
  uLongf size = compressBound(uLong(raw.size()));
  Bytes out(size);
  compress2(out.data(), &size, raw.data(), uLong(raw.size()), 9);
  out.resize(size);
  return out;
}

Bytes MakePng(uint32_t width, uint32_t height, uint8_t depth, uint8_t colourType, const Bytes& idat,
              uint8_t interlace, const Bytes& extraChunks) {
  Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  const Bytes header = {uint8_t(width >> 24),
                        uint8_t(width >> 16),
                        uint8_t(width >> 8),
                        uint8_t(width),
                        uint8_t(height >> 24),
                        uint8_t(height >> 16),
                        uint8_t(height >> 8),
                        uint8_t(height),
                        depth,
                        colourType,
                        0,
                        0,
                        interlace};
  Append(file, PngChunk("IHDR", header));
  Append(file, extraChunks);
  Append(file, PngChunk("IDAT", idat));
  Append(file, PngChunk("IEND", {}));
  return file;
}

Bytes GifLzwData(const Bytes& indices, int minimumCodeSize) {
  // Literal codes only, with a clear code before the table would widen the codes.
  const uint32_t clear = 1u << minimumCodeSize;
  const uint32_t endOfInformation = clear + 1;
  const int width = minimumCodeSize + 1;
  const size_t perClear = std::max<size_t>(1, clear - 2);
  std::vector<uint32_t> codes;
  for (size_t i = 0; i < indices.size(); ++i) {
    if (i % perClear == 0) codes.push_back(clear);
    codes.push_back(indices[i]);
  }
  codes.push_back(endOfInformation);
  GifCodeWriter writer(minimumCodeSize);
  for (const uint32_t code : codes) writer.Put(code, width);
  return writer.FrameData();
}

Bytes MakeGif(uint16_t screenWidth, uint16_t screenHeight, uint16_t frameWidth,
              uint16_t frameHeight, const Bytes& indices) {
  Bytes file = {'G', 'I', 'F', '8', '9', 'a'};
  Append(file, Le16(screenWidth));
  Append(file, Le16(screenHeight));
  Append(file, {0x81, 0, 0});  // global table of 4 entries
  Append(file, {0, 0, 0, 255, 255, 255, 255, 0, 0, 0, 0, 255});
  file.push_back(',');
  Append(file, Le16(0));
  Append(file, Le16(0));
  Append(file, Le16(frameWidth));
  Append(file, Le16(frameHeight));
  file.push_back(0);
  Append(file, GifLzwData(indices, 2));
  file.push_back(';');
  return file;
}

Bytes MakeWbmp(uint32_t width, uint32_t height, const Bytes& rows) {
  Bytes file = {0, 0};
  for (const uint32_t value : {width, height}) {
    Bytes groups;
    uint32_t rest = value;
    do {
      groups.insert(groups.begin(), uint8_t(rest & 0x7F));
      rest >>= 7;
    } while (rest != 0);
    for (size_t i = 0; i + 1 < groups.size(); ++i) groups[i] |= 0x80;
    Append(file, groups);
  }
  Append(file, rows);
  return file;
}

Bytes WithJpegSize(Bytes jpeg, uint16_t width, uint16_t height) {
  for (size_t at = 2; at + 9 < jpeg.size();) {
    if (jpeg[at] != 0xFF) return jpeg;
    const uint8_t marker = jpeg[at + 1];
    const size_t length = size_t(jpeg[at + 2] << 8 | jpeg[at + 3]);
    const bool frame =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      jpeg[at + 5] = uint8_t(height >> 8);
      jpeg[at + 6] = uint8_t(height);
      jpeg[at + 7] = uint8_t(width >> 8);
      jpeg[at + 8] = uint8_t(width);
      return jpeg;
    }
    at += 2 + length;
  }
  return jpeg;
}

}  // namespace hardening
