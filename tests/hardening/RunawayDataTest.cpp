// Compressed data that would expand without end: run-length codes that run past their rows and
// rows past the picture, LZW streams that go on producing pixels long after the frame is full,
// a zlib stream far larger than its picture, and a progressive JPEG that repeats its scans.
// Each decode stays inside its picture, keeps its memory small and ends quickly.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

// clang-format off
#include <cstddef>  // jpeglib.h needs size_t and FILE declared first
#include <jpeglib.h>
// clang-format on

#include "AllocationProbe.h"
#include "GifCodeWriter.h"
#include "HardeningSupport.h"
#include "image/CxImage.h"
#include "image/CxMemFile.h"

namespace hardening {
namespace {

constexpr size_t kModestAllocation = 16u << 20;
constexpr double kQuick = 2.0;

Bytes Palette16() {
  Bytes palette;
  for (int i = 0; i < 16; ++i)
    Append(palette, {uint8_t(i * 17), uint8_t(i * 17), uint8_t(i * 17), 0});
  return palette;
}

Bytes Repeat(const Bytes& unit, size_t times) {
  Bytes out;
  out.reserve(unit.size() * times);
  for (size_t i = 0; i < times; ++i) Append(out, unit);
  return out;
}

void ExpectContained(const Bytes& file, uint32_t formatCode, const std::string& name) {
  AllocationProbe probe;
  const Outcome outcome = DecodeChecked(file, formatCode, name);
  EXPECT_LT(outcome.elapsed.count(), kQuick) << name;
  EXPECT_LT(probe.Largest(), kModestAllocation + file.size()) << name;
}

TEST(RunawayRunLength, RunsRowsAndDeltasNeverLeaveThePicture) {
  const struct {
    const char* name;
    Bytes data;
  } streams[] = {
      {"full-length runs without an end of row", Repeat({255, 7}, 200000)},
      {"end of row far more often than there are rows", Repeat({0, 0}, 200000)},
      {"deltas that climb past the top", Repeat({0, 2, 255, 255}, 100000)},
      {"deltas to the right, then runs", Repeat({0, 2, 250, 0, 9, 3}, 100000)},
      {"long literals", Repeat(Bytes{0, 255} + Bytes(256, 0x5A), 2000)},
      {"odd literals with padding", Repeat({0, 3, 1, 2, 3, 0}, 100000)},
  };
  for (const auto& stream : streams) {
    ExpectContained(MakeBmp(16, 16, 8, 1, Palette16() + Bytes(240 * 4, 0), stream.data),
                    kCxFormatBmp, std::string("rle8: ") + stream.name);
    ExpectContained(MakeBmp(15, 9, 4, 2, Palette16(), stream.data), kCxFormatBmp,
                    std::string("rle4: ") + stream.name);
    // Run-length data in a depth it was not made for fills bytes, not pixels.
    ExpectContained(MakeBmp(13, 5, 1, 1, Bytes(8, 0x80), stream.data), kCxFormatBmp,
                    std::string("rle8 in a 1-bit bitmap: ") + stream.name);
  }
}

// LZW codes for one endless string: after a clear, each code names the entry about to be made
// (so every string is one pixel longer than the last) until the table is full; then the
// longest entry again and again. The code width grows as a decoder expects it to.
Bytes GrowingLzw(size_t repeatsOfLongest) {
  constexpr int kMinimum = 2;
  GifCodeWriter writer(kMinimum);
  int width = kMinimum + 1;
  writer.Put(4, width);  // clear
  writer.Put(0, width);
  for (uint32_t next = 6; next < 4096; ++next) {
    writer.Put(next, width);
    if (next + 1 == (1u << width) && width < 12) ++width;
  }
  for (size_t i = 0; i < repeatsOfLongest; ++i) writer.Put(4095, width);
  return writer.FrameData();
}

Bytes GifWithData(uint16_t width, uint16_t height, const Bytes& lzw) {
  Bytes gif = MakeGif(width, height, width, height, {});
  // Replace the frame's data (after the 13-byte screen, 12-byte table, 10-byte descriptor).
  gif.resize(13 + 12 + 10);
  Append(gif, lzw);
  gif.push_back(';');
  return gif;
}

TEST(RunawayLzw, AFrameTakesNoMorePixelsThanItHas) {
  // About 8 million pixels' worth of codes for 16 pixels.
  ExpectContained(GifWithData(4, 4, GrowingLzw(2000)), kCxFormatGif, "growing strings");
  // Half a million literal codes, with clear codes between them, for 9 pixels.
  ExpectContained(GifWithData(3, 3, GifLzwData(Bytes(1 << 19, 1), 2)), kCxFormatGif,
                  "endless literals");
  ExpectContained(GifWithData(3, 3, GifLzwData(Bytes(1 << 19, 0), 2)), kCxFormatGif,
                  "endless zeros");
}

TEST(RunawayLzw, ThousandsOfFramesAreCountedNotKept) {
  Bytes gif = MakeGif(2, 2, 2, 2, {0, 1, 2, 3});
  gif.pop_back();  // the trailer
  const Bytes frame(gif.begin() + 25, gif.end());
  for (int i = 0; i < 20000; ++i) Append(gif, frame);
  gif.push_back(';');
  AllocationProbe probe;
  const Outcome outcome = DecodeChecked(gif, kCxFormatGif, "20001 frames");
  EXPECT_TRUE(outcome.decoded);
  EXPECT_LT(outcome.elapsed.count(), kQuick);
  EXPECT_LT(probe.Largest(), kModestAllocation);
}

TEST(RunawayZlib, ImageDataFarLargerThanThePictureStopsAtThePicture) {
  // 32 MB of zeros deflate to about 32 kB; the picture needs 8 rows of 9 bytes.
  const Bytes bomb = Deflate(Bytes(32u << 20, 0));
  ExpectContained(MakePng(8, 8, 8, 0, bomb), kCxFormatPng, "gray 8x8");
  ExpectContained(MakePng(8, 8, 8, 0, bomb, 1), kCxFormatPng, "interlaced gray 8x8");
}

// A 16-bit bitmap claiming 8000 x 8000 pixels with one row's worth of data: the expansion to
// 24 bits touches the rows the file supplied, not the 64 million pixels it claims.
TEST(ShortFile, A16BitBitmapClaimingAHugePictureCostsWhatItHolds) {
  const Bytes row = Le16(0x7FFF) + Le16(0x7C00) + Le16(0x001F);
  const Bytes bmp = MakeBmp(8000, 8000, 16, 0, {}, row);
  Bytes copy(bmp);
  CxImage image;
  CxMemFile stream(copy.data(), uint32_t(copy.size()));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(image.Decode(stream, kCxFormatBmp)) << image.LastErrorText();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed.count(), 0.2);
  EXPECT_EQ(image.PixelColor(0, 0), (CxRgbQuad{248, 248, 248, 0}));
  EXPECT_EQ(image.PixelColor(1, 0), (CxRgbQuad{0, 0, 248, 0}));
  EXPECT_EQ(image.PixelColor(2, 0), (CxRgbQuad{248, 0, 0, 0}));
  EXPECT_EQ(image.PixelColor(3, 0), (CxRgbQuad{0, 0, 0, 0}));
  EXPECT_EQ(image.PixelColor(0, 7999), (CxRgbQuad{0, 0, 0, 0}));
}

// A flat gray progressive JPEG of the given size, compressed by libjpeg.
Bytes ProgressiveGrayJpeg(int width, int height) {
  jpeg_compress_struct compressor{};
  jpeg_error_mgr errors{};
  compressor.err = jpeg_std_error(&errors);
  jpeg_create_compress(&compressor);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&compressor, &buffer, &size);
  compressor.image_width = JDIMENSION(width);
  compressor.image_height = JDIMENSION(height);
  compressor.input_components = 1;
  compressor.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&compressor);
  jpeg_simple_progression(&compressor);
  jpeg_start_compress(&compressor, TRUE);
  Bytes row(size_t(width), 128);
  for (int y = 0; y < height; ++y) {
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&compressor, rows, 1);
  }
  jpeg_finish_compress(&compressor);
  Bytes file(buffer, buffer + size);
  jpeg_destroy_compress(&compressor);
  std::free(buffer);
  return file;
}

// The file with its last scan (start-of-scan header and entropy-coded data) repeated.
Bytes RepeatLastScan(const Bytes& jpeg, size_t times) {
  size_t lastScan = 0;
  for (size_t at = 0; at + 1 < jpeg.size(); ++at) {
    if (jpeg[at] == 0xFF && jpeg[at + 1] == 0xDA) lastScan = at;
  }
  const size_t end = jpeg.size() - 2;  // the end-of-image marker
  const Bytes scan(jpeg.begin() + long(lastScan), jpeg.begin() + long(end));
  Bytes out(jpeg.begin(), jpeg.begin() + long(end));
  for (size_t i = 0; i < times; ++i) Append(out, scan);
  Append(out, {0xFF, 0xD9});
  return out;
}

TEST(RunawayScans, AProgressiveJpegThatRepeatsItsScansEndsQuickly) {
  // Every repeated refinement scan walks all 16384 blocks again; 40000 of them would keep the
  // dialog thread busy for minutes.
  const Bytes bomb = RepeatLastScan(ProgressiveGrayJpeg(1024, 1024), 40000);
  ASSERT_LT(bomb.size(), 2u << 20);
  AllocationProbe probe;
  const Outcome outcome = DecodeChecked(bomb, kCxFormatJpeg, "repeated scans");
  EXPECT_LT(outcome.elapsed.count(), 5.0);
  EXPECT_LT(probe.Largest(), 64u << 20);
}

}  // namespace
}  // namespace hardening
