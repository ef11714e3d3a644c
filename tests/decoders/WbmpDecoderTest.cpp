#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DecoderTestSupport.h"
#include "image/CxGifDecoder.h"
#include "image/CxWbmpDecoder.h"

namespace {

using namespace decoder_test;

std::string DecodeFailure(const std::vector<uint8_t>& bytes) {
  CxWbmpDecoder decoder;
  EXPECT_FALSE(DecodeBytes(decoder, bytes));
  return decoder.LastErrorText();
}

TEST(WbmpDecoder, SuitePicturesAreTheirGifTwinsThresholdedAtHalfBrightness) {
  // The suite made these from the same sources as its GIFs; where the GIF has no dithering the
  // one-bit picture is the GIF cut at gray 128.
  const std::pair<const char*, const char*> twins[] = {
      {"wbmp/bricks-nodither.wbmp", "gif/wuffs/bricks-nodither.gif"},
      {"wbmp/muybridge-frame-000.wbmp", "gif/wuffs/muybridge.gif"},
  };
  for (const auto& [wbmpName, gifName] : twins) {
    SCOPED_TRACE(wbmpName);
    CxWbmpDecoder wbmp;
    ASSERT_TRUE(DecodeBytes(wbmp, ReadFileBytes(TestData(wbmpName))));
    EXPECT_EQ(wbmp.BitsPerPixel(), 1);
    CxGifDecoder gif;
    ASSERT_TRUE(DecodeBytes(gif, ReadFileBytes(TestData(gifName))));
    GrayPlane expected = GrayOf(gif);
    for (uint8_t& value : expected.values) value = value >= 128 ? 255 : 0;
    const GrayPlane actual = GrayOf(wbmp);
    ASSERT_EQ(actual.width, expected.width);
    ASSERT_EQ(actual.height, expected.height);
    EXPECT_EQ(actual.values, expected.values);
  }
  CxWbmpDecoder hat;
  ASSERT_TRUE(DecodeBytes(hat, ReadFileBytes(TestData("wbmp/hat.wbmp"))));
  EXPECT_EQ(hat.ImageWidth(), 90u);
  EXPECT_EQ(hat.ImageHeight(), 112u);
}

TEST(WbmpDecoder, FirstRowIsTheTopRowAndOneIsWhite) {
  const std::vector<uint8_t> bytes = {0, 0, 3, 2, 0b10100000, 0b01000000};
  CxWbmpDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, bytes));
  EXPECT_EQ(decoder.PixelGray(0, 1), 255);
  EXPECT_EQ(decoder.PixelGray(1, 1), 0);
  EXPECT_EQ(decoder.PixelGray(2, 1), 255);
  EXPECT_EQ(decoder.PixelGray(1, 0), 255);
  EXPECT_EQ(decoder.PixelGray(0, 0), 0);
}

TEST(WbmpDecoder, SizesOf128AndMoreUseMultiByteIntegers) {
  std::vector<uint8_t> bytes = {0, 0, 0x81, 0x20, 2};  // 160 x 2
  bytes.resize(bytes.size() + 2 * 20, 0xFF);
  CxWbmpDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, bytes));
  EXPECT_EQ(decoder.ImageWidth(), 160u);
  EXPECT_EQ(decoder.ImageHeight(), 2u);
  EXPECT_EQ(decoder.PixelGray(159, 0), 255);
}

TEST(WbmpDecoder, FailuresCarryTheirMessages) {
  EXPECT_EQ(DecodeFailure({0, 0, 4}), "Not a WBMP");
  EXPECT_EQ(DecodeFailure({1, 0, 4, 4, 0, 0, 0, 0}), "Unsupported WBMP type");
  EXPECT_EQ(DecodeFailure({0, 0, 0, 4, 0, 0, 0, 0}), "Corrupted WBMP");
  EXPECT_EQ(DecodeFailure({0, 0, 4, 0, 0, 0, 0, 0}), "Corrupted WBMP");
  EXPECT_EQ(DecodeFailure({0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 1}), "Corrupted WBMP");
  // 2^21 x 2^21 one-bit pixels are more than the picture class will hold.
  EXPECT_EQ(DecodeFailure({0, 0, 0x81, 0x80, 0x80, 0x00, 0x81, 0x80, 0x80, 0x00}),
            "WBMP Create failed");
}

TEST(WbmpDecoder, ShortDataLeavesTheMissingRowsBlack) {
  const std::vector<uint8_t> bytes = {0, 0, 8, 3, 0xFF};
  CxWbmpDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, bytes));
  EXPECT_EQ(decoder.PixelGray(0, 2), 255);
  EXPECT_EQ(decoder.PixelGray(0, 1), 0);
}

}  // namespace
