// Every format, cut short at many points and with bytes changed: each decode ends in a clean
// false with a reason or in a sound picture, quickly, and never touches memory it does not own.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "HardeningSupport.h"
#include "TempDir.h"
#include "image/CxImage.h"
#include "image/EngraveImage.h"

namespace hardening {
namespace {

constexpr double kSlowDecodeSeconds = 5.0;

struct Sample {
  const char* name;
  const char* path;  // below the public test pictures, or "src:" + a path in the repository
  uint32_t formatCode;
  const char* extension;
};

std::ostream& operator<<(std::ostream& out, const Sample& sample) {
  return out << sample.name;
}

Bytes SampleBytes(const Sample& sample) {
  const std::string path = sample.path;
  return ReadBytes(path.rfind("src:", 0) == 0 ? SourceFile(path.substr(4)) : TestData(path));
}

const Sample kSamples[] = {
    {"bmp_rle8", "bmpsuite/g/pal8rle.bmp", kCxFormatBmp, "bmp"},
    {"bmp_rle4", "bmpsuite/g/pal4rle.bmp", kCxFormatBmp, "bmp"},
    {"bmp_rle8_deltas", "bmpsuite/q/pal8rletrns.bmp", kCxFormatBmp, "bmp"},
    {"bmp_bitfields16", "bmpsuite/g/rgb16-565.bmp", kCxFormatBmp, "bmp"},
    {"bmp_bitfields32", "bmpsuite/g/rgb32bf.bmp", kCxFormatBmp, "bmp"},
    {"bmp_os2", "bmpsuite/g/pal8os2.bmp", kCxFormatBmp, "bmp"},
    {"bmp_topdown", "bmpsuite/g/pal8topdown.bmp", kCxFormatBmp, "bmp"},
    {"bmp_pal1", "bmpsuite/g/pal1.bmp", kCxFormatBmp, "bmp"},
    {"gif_interlaced", "gif/pygif-test-suite/interlace.gif", kCxFormatGif, "gif"},
    {"gif_animated", "gif/wuffs/animated-red-blue.gif", kCxFormatGif, "gif"},
    {"gif_photo", "gif/wuffs/hippopotamus.regular.gif", kCxFormatGif, "gif"},
    {"jpeg_baseline", "jpeg/historical/testimgcrop.jpg", kCxFormatJpeg, "jpg"},
    {"jpeg_progressive", "jpeg/historical/testprog.jpg", kCxFormatJpeg, "jpg"},
    {"jpeg_gray", "jpeg/historical/testimggray.jpg", kCxFormatJpeg, "jpg"},
    {"jpeg_arithmetic", "jpeg/testimgari.jpg", kCxFormatJpeg, "jpg"},
    {"jpeg_cmyk", "src:fuzz/corpus/fuzz_decode_jpeg/own-cmyk-9x7.jpg", kCxFormatJpeg, "jpg"},
    {"jpeg_exif", "src:fuzz/corpus/fuzz_decode_jpeg/own-exif-mm.jpg", kCxFormatJpeg, "jpg"},
    {"png_interlaced", "pngsuite/full/basi0g04.png", kCxFormatPng, "png"},
    {"png_rgba", "pngsuite/full/basn6a08.png", kCxFormatPng, "png"},
    {"png_palette_trns", "pngsuite/full/tbbn3p08.png", kCxFormatPng, "png"},
    {"png_16bit", "pngsuite/full/basn2c16.png", kCxFormatPng, "png"},
    {"wbmp", "wbmp/hat.wbmp", kCxFormatWbmp, "wbmp"},
    {"metafile", "src:fuzz/corpus/fuzz_decode_metafile/own-placeable-200x100.wmf",
     kCxFormatMetafile, "wmf"},
};

class DamagedPicture : public ::testing::TestWithParam<Sample> {};

TEST_P(DamagedPicture, TheIntactFileDecodes) {
  const Sample& sample = GetParam();
  const Bytes bytes = SampleBytes(sample);
  ASSERT_FALSE(bytes.empty()) << sample.path;
  const Outcome outcome = DecodeChecked(bytes, sample.formatCode, "intact");
  EXPECT_TRUE(outcome.decoded) << outcome.error;
}

TEST_P(DamagedPicture, EveryTruncationEndsCleanly) {
  const Sample& sample = GetParam();
  const Bytes bytes = SampleBytes(sample);
  ASSERT_FALSE(bytes.empty());
  for (const size_t length : CutPoints(bytes.size(), 160, 160)) {
    const Bytes cut(bytes.begin(), bytes.begin() + long(length));
    for (const uint32_t code : {sample.formatCode, uint32_t(kCxFormatUnknown)}) {
      const std::string context =
          "cut at " + std::to_string(length) + " with code " + std::to_string(code);
      const Outcome outcome = DecodeChecked(cut, code, context);
      EXPECT_LT(outcome.elapsed.count(), kSlowDecodeSeconds) << context;
      if (code == kCxFormatUnknown && !outcome.decoded) {
        EXPECT_EQ(outcome.error, "Decode: Unknown or wrong format") << context;
      }
    }
  }
}

TEST_P(DamagedPicture, ChangedBytesEndCleanly) {
  const Sample& sample = GetParam();
  const Bytes bytes = SampleBytes(sample);
  ASSERT_FALSE(bytes.empty());
  std::mt19937 random(0x5EED + sample.formatCode);
  for (int round = 0; round < 250; ++round) {
    const Bytes damaged = Damaged(bytes, random);
    for (const uint32_t code : {sample.formatCode, uint32_t(kCxFormatUnknown)}) {
      const std::string context =
          "damage round " + std::to_string(round) + " with code " + std::to_string(code);
      const Outcome outcome = DecodeChecked(damaged, code, context);
      EXPECT_LT(outcome.elapsed.count(), kSlowDecodeSeconds) << context;
    }
  }
}

TEST_P(DamagedPicture, TheDimensionsOnlyModeSurvivesTruncation) {
  const Sample& sample = GetParam();
  const Bytes bytes = SampleBytes(sample);
  for (const size_t length : CutPoints(bytes.size(), 96, 32)) {
    const Bytes cut(bytes.begin(), bytes.begin() + long(length));
    const Outcome outcome = DecodeChecked(cut, sample.formatCode, "dimensions only", -1);
    // What this mode reports as read must be a size; a failure must say why. The PNG decoder
    // has no such mode and stops at the request without a message, as GIF failures carry none.
    if (outcome.decoded) {
      EXPECT_GT(outcome.width, 0u) << length;
      EXPECT_GT(outcome.height, 0u) << length;
    } else if (sample.formatCode != kCxFormatGif && sample.formatCode != kCxFormatPng) {
      EXPECT_FALSE(outcome.error.empty()) << length;
    }
  }
}

// The plug-in's own road: a damaged file on disk, loaded through its extension and the fallback.
TEST_P(DamagedPicture, LoadPictureOfATruncatedFileFailsOrHoldsASoundPicture) {
  const Sample& sample = GetParam();
  const Bytes bytes = SampleBytes(sample);
  TempDir dir;
  const std::string path = dir.File(std::string("picture.") + sample.extension);
  EngraveImage holder;
  for (const size_t length : CutPoints(bytes.size(), 8, 24)) {
    WriteBytes(path, Bytes(bytes.begin(), bytes.begin() + long(length)));
    const bool loaded = holder.LoadPicture(path);
    const std::string context = "file cut at " + std::to_string(length);
    ASSERT_EQ(loaded, holder.Picture() != nullptr) << context;
    if (loaded) ExpectSound(*holder.Picture(), true, sample.formatCode, context);
  }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, DamagedPicture, ::testing::ValuesIn(kSamples),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------

struct EmptyCase {
  uint32_t formatCode;
  const char* message;  // null: no message promised (GIF)
};

TEST(ZeroBytes, EveryDecoderRefusesAnEmptyStreamWithItsReason) {
  const EmptyCase cases[] = {
      {kCxFormatUnknown, "Decode: Unknown or wrong format"},
      {kCxFormatBmp, "Not a BMP"},
      {kCxFormatGif, nullptr},
      {kCxFormatJpeg, "Empty input file"},
      {kCxFormatPng, "Read Error"},
      {kCxFormatWbmp, "Not a WBMP"},
      {kCxFormatMetafile, "corrupted WMF"},
      {7, "Decode: Unknown or wrong format"},
  };
  for (const EmptyCase& empty : cases) {
    const std::string context = "code " + std::to_string(empty.formatCode);
    const Outcome outcome = DecodeChecked({}, empty.formatCode, context);
    EXPECT_FALSE(outcome.decoded) << context;
    if (empty.message != nullptr) {
      EXPECT_EQ(outcome.error, empty.message) << context;
    }
  }
}

TEST(ZeroBytes, AnEmptyFileOfEveryExtensionLoadsNothing) {
  TempDir dir;
  EngraveImage holder;
  for (const char* extension :
       {"jpg", "jpeg", "bmp", "png", "gif", "wbmp", "wmf", "emf", "ico", "tga", "pcx", "txt"}) {
    const std::string path = dir.File(std::string("empty.") + extension);
    WriteBytes(path, {});
    EXPECT_FALSE(holder.LoadPicture(path)) << extension;
    EXPECT_EQ(holder.Picture(), nullptr) << extension;

    CxImage image(path.c_str(), EngraveImage::FormatFromExtension(extension));
    EXPECT_FALSE(image.IsLoaded()) << extension;
  }
}

}  // namespace
}  // namespace hardening
