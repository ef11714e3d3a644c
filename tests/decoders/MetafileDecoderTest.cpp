#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DecoderTestSupport.h"
#include "image/CxMetafileDecoder.h"

namespace {

using namespace decoder_test;

struct Frame {
  int16_t left = 0;
  int16_t top = 0;
  int16_t right = 1000;
  int16_t bottom = 500;
  uint16_t unitsPerInch = 1000;
};

// A placeable Windows metafile that fills the left half of its frame with black, without an
// outline.
std::vector<uint8_t> MakeMetafile(const Frame& frame) {
  ByteWriter records;
  auto record = [&records](uint16_t function, std::initializer_list<uint16_t> parameters) {
    records.U32(3 + uint32_t(parameters.size())).U16(function);
    for (uint16_t p : parameters) records.U16(p);
  };
  const auto width = uint16_t(frame.right - frame.left);
  const auto height = uint16_t(frame.bottom - frame.top);
  record(0x020B, {uint16_t(frame.top), uint16_t(frame.left)});  // SetWindowOrg(y, x)
  record(0x020C, {height, width});                              // SetWindowExt(y, x)
  record(0x02FC, {0, 0x0000, 0x0000, 0});                       // CreateBrushIndirect: black
  record(0x012D, {0});                                          // SelectObject
  record(0x02FA, {5, 0, 0, 0, 0});                              // CreatePenIndirect: null pen
  record(0x012D, {1});
  record(0x041B, {uint16_t(frame.bottom), uint16_t(frame.left + width / 2), uint16_t(frame.top),
                  uint16_t(frame.left)});  // Rectangle(bottom, right, top, left)
  record(0x0000, {});                      // end of file

  ByteWriter placeable;
  placeable.U32(0x9AC6CDD7).U16(0);
  placeable.U16(uint16_t(frame.left)).U16(uint16_t(frame.top));
  placeable.U16(uint16_t(frame.right)).U16(uint16_t(frame.bottom));
  placeable.U16(frame.unitsPerInch).U32(0);
  uint16_t checksum = 0;
  for (size_t i = 0; i < 20; i += 2) {
    checksum ^= uint16_t(placeable.Data()[i] | (placeable.Data()[i + 1] << 8));
  }
  placeable.U16(checksum);

  const uint32_t words = uint32_t(18 + records.Size()) / 2;
  ByteWriter file;
  for (uint8_t b : placeable.Data()) file.U8(b);
  file.U16(1).U16(9).U16(0x0300).U32(words).U16(2).U32(8).U16(0);
  for (uint8_t b : records.Data()) file.U8(b);
  return file.Data();
}

std::string DecodeFailure(const std::vector<uint8_t>& bytes, int32_t escape = 0) {
  CxMetafileDecoder decoder;
  decoder.MutableInfo().escape = escape;
  EXPECT_FALSE(DecodeBytes(decoder, bytes));
  return decoder.LastErrorText();
}

TEST(MetafileDecoder, RendersThePictureAtScreenResolutionOnWhite) {
  CxMetafileDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, MakeMetafile(Frame{}))) << decoder.LastErrorText();
  // 1000 x 500 units at 1000 units per inch, shown at 96 dots per inch.
  EXPECT_EQ(decoder.ImageWidth(), 96u);
  EXPECT_EQ(decoder.ImageHeight(), 48u);
  EXPECT_EQ(decoder.BitsPerPixel(), 24);
  EXPECT_EQ(decoder.FormatCode(), uint32_t(kCxFormatMetafile));
  EXPECT_EQ(decoder.PixelGray(10, 24), 0);    // inside the black half
  EXPECT_EQ(decoder.PixelGray(85, 24), 255);  // the white page
  EXPECT_EQ(decoder.PixelGray(10, 2), 0);
  EXPECT_EQ(decoder.PixelGray(85, 45), 255);
}

TEST(MetafileDecoder, LargePicturesAreLimitedTo4000PixelsKeepingTheirShape) {
  Frame frame;
  frame.right = 8000;
  frame.bottom = 2000;
  frame.unitsPerInch = 96;
  CxMetafileDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, MakeMetafile(frame))) << decoder.LastErrorText();
  EXPECT_EQ(decoder.ImageWidth(), 4000u);
  EXPECT_EQ(decoder.ImageHeight(), 1000u);
  EXPECT_EQ(decoder.PixelGray(1000, 500), 0);
  EXPECT_EQ(decoder.PixelGray(3000, 500), 255);
}

TEST(MetafileDecoder, SizeLimitKeepsTheAspectRatioAndAtLeastOnePixel) {
  auto limited = [](uint32_t width, uint32_t height) {
    CxMetafileDecoder::LimitSize(width, height);
    return std::pair{width, height};
  };
  EXPECT_EQ(limited(8000, 2000), (std::pair{4000u, 1000u}));
  EXPECT_EQ(limited(2000, 8000), (std::pair{1000u, 4000u}));
  EXPECT_EQ(limited(10000, 9000), (std::pair{4000u, 3600u}));
  EXPECT_EQ(limited(4000, 4000), (std::pair{4000u, 4000u}));
  EXPECT_EQ(limited(1000000, 1), (std::pair{4000u, 1u}));
}

TEST(MetafileDecoder, PlaceableHeaderIsValidatedBeforeRendering) {
  std::vector<uint8_t> badChecksum = MakeMetafile(Frame{});
  badChecksum[20] ^= 1;
  EXPECT_EQ(DecodeFailure(badChecksum), "corrupted WMF");

  Frame noUnits;
  noUnits.unitsPerInch = 0;
  EXPECT_EQ(DecodeFailure(MakeMetafile(noUnits)), "corrupted WMF");
  Frame tooFine;
  tooFine.unitsPerInch = 2541;
  EXPECT_EQ(DecodeFailure(MakeMetafile(tooFine)), "corrupted WMF");

  std::vector<uint8_t> badType = MakeMetafile(Frame{});
  badType[22] = 3;
  EXPECT_EQ(DecodeFailure(badType), "corrupted WMF");

  std::vector<uint8_t> longerThanTheFile = MakeMetafile(Frame{});
  longerThanTheFile.resize(longerThanTheFile.size() - 6);
  EXPECT_EQ(DecodeFailure(longerThanTheFile), "corrupted WMF");
}

TEST(MetafileDecoder, EnhancedAndPlainMetafilesHaveNoRendererHere) {
  ByteWriter enhanced;
  enhanced.U32(1).U32(88).Zeros(32).Bytes({' ', 'E', 'M', 'F'}).Zeros(48);
  EXPECT_EQ(DecodeFailure(enhanced.Data()), "corrupted WMF");
  std::vector<uint8_t> plain = MakeMetafile(Frame{});
  plain.erase(plain.begin(), plain.begin() + 22);
  EXPECT_EQ(DecodeFailure(plain), "corrupted WMF");
  EXPECT_EQ(DecodeFailure({}), "corrupted WMF");
}

TEST(MetafileDecoder, EmptyFramesAndCancellation) {
  Frame empty;
  empty.right = 0;
  EXPECT_EQ(DecodeFailure(MakeMetafile(empty)), "empty WMF");
  Frame tiny;
  tiny.right = 5;  // 5 units at 1000 per inch: less than a pixel
  EXPECT_EQ(DecodeFailure(MakeMetafile(tiny)), "empty WMF");
  EXPECT_EQ(DecodeFailure(MakeMetafile(Frame{}), 1), "Cancelled");
}

}  // namespace
