// Headers that claim enormous pictures: the decode is refused by the memory guard before
// anything large is allocated, in well under a second, and the dimensions-only mode still
// reports the claimed size without allocating anything.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "AllocationProbe.h"
#include "HardeningSupport.h"
#include "TempDir.h"
#include "image/CxImage.h"
#include "image/CxJpegDecoder.h"
#include "image/CxMemFile.h"
#include "image/EngraveImage.h"

namespace hardening {
namespace {

// Far above any table, row buffer or decoder state, far below any picture the guard refuses.
constexpr size_t kLargeAllocation = 64u << 20;
constexpr const char* kGuardMessage = "CXIMAGE_MAX_MEMORY exceeded";

Bytes GrayPalette(int entries) {
  Bytes palette;
  for (int i = 0; i < entries; ++i) {
    const auto level = uint8_t(i * 255 / (entries - 1));
    Append(palette, {level, level, level, 0});
  }
  return palette;
}

struct HugeCase {
  std::string name;
  Bytes bytes;
  uint32_t formatCode;
  std::string message;  // the decoder's reason for a refused Create
};

std::vector<HugeCase> HugeCases() {
  const Bytes jpeg = ReadBytes(TestData("jpeg/historical/testimgcrop.jpg"));
  const Bytes progressive = ReadBytes(TestData("jpeg/historical/testprog.jpg"));
  const Bytes noRows = Deflate(Bytes(64, 0));
  std::vector<HugeCase> cases = {
      {"bmp 65535x65535 1 bit", MakeBmp(65535, 65535, 1, 0, GrayPalette(2), Bytes(64, 0)),
       kCxFormatBmp, "Can't allocate memory"},
      {"bmp 65535x65535 8 bit", MakeBmp(65535, 65535, 8, 0, GrayPalette(256), Bytes(64, 0)),
       kCxFormatBmp, "Can't allocate memory"},
      {"bmp 65535x65535 rle8", MakeBmp(65535, 65535, 8, 1, GrayPalette(256), {0, 1}), kCxFormatBmp,
       "Can't allocate memory"},
      {"bmp 65535x65535 24 bit top-down", MakeBmp(65535, -65535, 24, 0, {}, Bytes(64, 0)),
       kCxFormatBmp, "Can't allocate memory"},
      {"bmp 2147483647 square 32 bit", MakeBmp(INT32_MAX, INT32_MAX, 32, 0, {}, Bytes(64, 0)),
       kCxFormatBmp, "Can't allocate memory"},
      {"gif screen 65535x65535", MakeGif(65535, 65535, 1, 1, {1}), kCxFormatGif, kGuardMessage},
      {"gif screen and frame 65535x65535", MakeGif(65535, 65535, 65535, 65535, {1, 2, 3}),
       kCxFormatGif, kGuardMessage},
      // libjpeg refuses sides above 65500 itself; up to there the guard must do it.
      {"jpeg 65535x65535", WithJpegSize(jpeg, 65535, 65535), kCxFormatJpeg,
       "Maximum supported image dimension is 65500 pixels"},
      {"jpeg 65500x65500", WithJpegSize(jpeg, 65500, 65500), kCxFormatJpeg, kGuardMessage},
      {"progressive jpeg 65500x65500", WithJpegSize(progressive, 65500, 65500), kCxFormatJpeg,
       kGuardMessage},
      {"png 65535x65535 1 bit gray", MakePng(65535, 65535, 1, 0, noRows), kCxFormatPng,
       kGuardMessage},
      {"png 65535x65535 rgb", MakePng(65535, 65535, 8, 2, noRows), kCxFormatPng, kGuardMessage},
      {"wbmp 65535x65535", MakeWbmp(65535, 65535, Bytes(64, 0xAA)), kCxFormatWbmp,
       "WBMP Create failed"},
      {"wbmp 2^28-1 square", MakeWbmp((1u << 28) - 1, (1u << 28) - 1, Bytes(64, 0xAA)),
       kCxFormatWbmp, "WBMP Create failed"},
  };
  return cases;
}

TEST(HugeHeader, IsRefusedByTheGuardBeforeAnyLargeAllocation) {
  for (const HugeCase& huge : HugeCases()) {
    AllocationProbe probe;
    const Outcome outcome = DecodeChecked(huge.bytes, huge.formatCode, huge.name);
    EXPECT_FALSE(outcome.decoded) << huge.name;
    EXPECT_EQ(outcome.error, huge.message) << huge.name;
    EXPECT_LT(probe.Largest(), kLargeAllocation) << huge.name;
    EXPECT_LT(outcome.elapsed.count(), 1.0) << huge.name;
  }
}

TEST(HugeHeader, IsRefusedThroughTheFallbackToo) {
  for (const HugeCase& huge : HugeCases()) {
    AllocationProbe probe;
    const Outcome outcome = DecodeChecked(huge.bytes, kCxFormatUnknown, huge.name);
    EXPECT_FALSE(outcome.decoded) << huge.name;
    EXPECT_EQ(outcome.error, "Decode: Unknown or wrong format") << huge.name;
    EXPECT_LT(probe.Largest(), kLargeAllocation) << huge.name;
    EXPECT_LT(outcome.elapsed.count(), 3.0) << huge.name;
  }
}

TEST(HugeHeader, DimensionsOnlyReportsTheClaimWithoutAllocating) {
  const Bytes jpeg = ReadBytes(TestData("jpeg/historical/testimgcrop.jpg"));
  const struct {
    const char* name;
    Bytes bytes;
    uint32_t formatCode;
  } cases[] = {
      {"bmp", MakeBmp(65535, -65535, 8, 0, GrayPalette(256), {}), kCxFormatBmp},
      {"gif", MakeGif(65535, 65535, 1, 1, {1}), kCxFormatGif},
      {"jpeg", WithJpegSize(jpeg, 65500, 65500), kCxFormatJpeg},
  };
  for (const auto& huge : cases) {
    AllocationProbe probe;
    const Outcome outcome = DecodeChecked(huge.bytes, huge.formatCode, huge.name, -1);
    const uint32_t side = huge.formatCode == kCxFormatJpeg ? 65500 : 65535;
    EXPECT_TRUE(outcome.decoded) << huge.name << ": " << outcome.error;
    EXPECT_EQ(outcome.width, side) << huge.name;
    EXPECT_EQ(outcome.height, side) << huge.name;
    EXPECT_LT(probe.Largest(), kLargeAllocation) << huge.name;
  }
}

// The guard itself, below every decoder: sizes whose pixel area alone is out of all proportion
// to a picture the plug-in can engrave.
TEST(HugeHeader, CreateRefusesEveryDepthAt65535Square) {
  for (const uint32_t bits : {1u, 4u, 8u, 24u}) {
    AllocationProbe probe;
    CxImage image;
    EXPECT_EQ(image.Create(65535, 65535, bits, kCxFormatBmp), nullptr) << bits;
    EXPECT_STREQ(image.LastErrorText(), kGuardMessage) << bits;
    EXPECT_FALSE(image.IsLoaded());
    EXPECT_LT(probe.Largest(), kLargeAllocation) << bits;
  }
}

// A frame the dialog's load must refuse before anything large is asked for: by the decoder
// with the dialog's gray-rows option, and by the holder's file load.
void ExpectTheDialogsLoadRefuses(const Bytes& bytes, uint32_t formatCode, const char* message,
                                 const std::string& path) {
  AllocationProbe probe;
  Bytes copy(bytes);
  CxMemFile stream(copy.data(), uint32_t(copy.size()));
  CxImage image;
  image.SetCodecOption(kCxJpegGrayRows, kCxFormatJpeg);  // as the dialog's load sets it
  EXPECT_FALSE(image.Decode(stream, formatCode));
  EXPECT_STREQ(image.LastErrorText(), message);
  EXPECT_FALSE(image.IsLoaded());

  WriteBytes(path, bytes);
  EngraveImage holder;
  EXPECT_FALSE(holder.LoadPictureGray(path));
  EXPECT_EQ(holder.Picture(), nullptr);
  EXPECT_LT(probe.Largest(), kLargeAllocation);
}

// The dialog's load stores colour JPEGs as gray rows, so there the guard weighs the 8-bit
// picture: just past its bound, and far past it, a frame is still refused.
TEST(HugeHeader, TheDialogsGrayLoadIsRefusedPastTheGrayBound) {
  const Bytes jpeg = ReadBytes(TestData("jpeg/historical/testimgcrop.jpg"));
  const Bytes progressive = ReadBytes(TestData("jpeg/historical/testprog.jpg"));
  const struct {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"jpeg 16001x16000", WithJpegSize(jpeg, 16001, 16000)},  // rows of 16004 bytes
      {"jpeg 65500x65500", WithJpegSize(jpeg, 65500, 65500)},
      {"progressive jpeg 16001x16000", WithJpegSize(progressive, 16001, 16000)},
      {"progressive jpeg 65500x65500", WithJpegSize(progressive, 65500, 65500)},
  };
  TempDir dir;
  for (const auto& huge : cases) {
    SCOPED_TRACE(huge.name);
    ExpectTheDialogsLoadRefuses(huge.bytes, kCxFormatJpeg, kGuardMessage, dir.File("huge.jpg"));
  }
}

// Only the JPEG decoder stores gray rows; the others make the 24-bit picture first, and the
// dialog's load refuses it where the guard does, however small its gray picture would be.
TEST(HugeHeader, TheDialogsLoadOfOtherColourFormatsKeepsThe24BitBound) {
  const Bytes noRows = Deflate(Bytes(64, 0));
  const struct {
    const char* name;
    Bytes bytes;
    uint32_t formatCode;
    const char* message;
  } cases[] = {
      {"huge.png", MakePng(10000, 9000, 8, 2, noRows), kCxFormatPng, kGuardMessage},
      {"huge.bmp", MakeBmp(10000, 9000, 24, 0, {}, Bytes(64, 0)), kCxFormatBmp,
       "Can't allocate memory"},
  };
  TempDir dir;
  for (const auto& huge : cases) {
    SCOPED_TRACE(huge.name);
    ExpectTheDialogsLoadRefuses(huge.bytes, huge.formatCode, huge.message, dir.File(huge.name));
  }
}

TEST(HugeHeader, CreateStillMakesALargePhotograph) {
  CxImage image;
  ASSERT_NE(image.Create(6000, 4000, 24, kCxFormatJpeg), nullptr) << image.LastErrorText();
  EXPECT_EQ(image.ImageWidth(), 6000u);
}

// Ancillary chunks whose header claims a length far beyond the file: libpng would allocate the
// claimed length before reading a byte of it.
TEST(HugeChunk, AChunkClaimingAGigabyteIsNotAllocated) {
  const Bytes pixels = Deflate({0, 0x80});
  for (const char* type : {"tEXt", "zTXt", "iTXt", "sPLT", "eXIf", "pCAL", "sCAL"}) {
    Bytes png = MakePng(1, 1, 8, 0, pixels);
    Bytes chunk = PngChunk(type, Bytes(16, 'x'));
    chunk[0] = 0x47;  // length 0x470D0A1A, as a fuzzer found it
    chunk[1] = 0x0D;
    chunk[2] = 0x0A;
    chunk[3] = 0x1A;
    png.insert(png.begin() + 33, chunk.begin(), chunk.end());  // right after IHDR
    AllocationProbe probe;
    const Outcome outcome = DecodeChecked(png, kCxFormatPng, type);
    EXPECT_FALSE(outcome.decoded) << type;
    EXPECT_LT(probe.Largest(), kLargeAllocation) << type;
  }
}

TEST(HugeChunk, SkippedChunksLeaveThePixelsAlone) {
  const Bytes rows = {0, 10, 20, 30, 0, 40, 50, 60};
  const Bytes plain = MakePng(3, 2, 8, 0, Deflate(rows));
  const Bytes text =
      PngChunk("tEXt", Bytes{'C', 'o', 'm', 'm', 'e', 'n', 't', 0} + Bytes(9 << 20, 'a'));
  const Bytes withText =
      MakePng(3, 2, 8, 0, Deflate(rows), 0, text + PngChunk("eXIf", {'M', 'M', 0, 42}));
  for (const Bytes* file : {&plain, &withText}) {
    Bytes copy(*file);
    CxImage image;
    CxMemFile stream(copy.data(), uint32_t(copy.size()));
    ASSERT_TRUE(image.Decode(stream, kCxFormatPng)) << image.LastErrorText();
    EXPECT_EQ(image.PixelGray(0, 1), 10);
    EXPECT_EQ(image.PixelGray(2, 1), 30);
    EXPECT_EQ(image.PixelGray(1, 0), 50);
  }
}

// libwmf sizes its record buffer from the header's largest-record field.
TEST(HugeRecordField, AMetafileClaimingAHugeRecordStillRendersAsItShould) {
  const Bytes original =
      ReadBytes(SourceFile("fuzz/corpus/fuzz_decode_metafile/own-placeable-200x100.wmf"));
  ASSERT_GT(original.size(), 40u);
  Bytes damaged(original);
  constexpr size_t kLargestRecordField = 22 + 12;
  for (size_t i = 0; i < 4; ++i) damaged[kLargestRecordField + i] = i == 3 ? 0x7F : 0xFF;

  CxImage expected;
  CxImage rendered;
  Bytes a(original);
  Bytes b(damaged);
  CxMemFile first(a.data(), uint32_t(a.size()));
  CxMemFile second(b.data(), uint32_t(b.size()));
  ASSERT_TRUE(expected.Decode(first, kCxFormatMetafile)) << expected.LastErrorText();
  ASSERT_TRUE(rendered.Decode(second, kCxFormatMetafile)) << rendered.LastErrorText();
  ASSERT_EQ(rendered.ImageWidth(), expected.ImageWidth());
  ASSERT_EQ(rendered.ImageHeight(), expected.ImageHeight());
  for (int32_t y = 0; y < int32_t(expected.ImageHeight()); y += 7) {
    for (int32_t x = 0; x < int32_t(expected.ImageWidth()); x += 7) {
      ASSERT_EQ(rendered.PixelGray(x, y), expected.PixelGray(x, y)) << x << "," << y;
    }
  }
}

}  // namespace
}  // namespace hardening
