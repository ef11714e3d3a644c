#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "image/CxImage.h"

namespace {

CxRgbQuad Rgb(uint8_t red, uint8_t green, uint8_t blue) {
  return CxRgbQuad{blue, green, red, 0};
}

void SetBgr(CxImage& image, int x, int y, uint8_t red, uint8_t green, uint8_t blue) {
  uint8_t* pixel = image.RowAddress(uint32_t(y)) + 3 * x;
  pixel[0] = blue;
  pixel[1] = green;
  pixel[2] = red;
}

// A picture of the given depth whose pixel and palette bytes are random (fixed seed).
CxImage RandomImage(uint32_t width, uint32_t height, uint32_t bits, uint32_t seed) {
  CxImage image;
  EXPECT_NE(image.Create(width, height, bits, 0), nullptr);
  std::mt19937 random(seed);
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* row = image.RowAddress(y);
    for (uint32_t i = 0; i < image.RowStride(); ++i) row[i] = uint8_t(random());
  }
  for (uint32_t i = 0; i < image.PaletteSize(); ++i) {
    image.SetPaletteColor(uint8_t(i), uint8_t(random()), uint8_t(random()), uint8_t(random()));
  }
  return image;
}

int GrayOfColor(const CxRgbQuad& c) {
  return (306 * c.red + 601 * c.green + 117 * c.blue) >> 10;
}

}  // namespace

TEST(CxImageGray, PureColoursHaveTheirFixedBrightness) {
  CxImage image;
  ASSERT_NE(image.Create(5, 1, 24, 0), nullptr);
  SetBgr(image, 0, 0, 255, 0, 0);
  SetBgr(image, 1, 0, 0, 0, 255);
  SetBgr(image, 2, 0, 0, 255, 0);
  SetBgr(image, 3, 0, 255, 255, 255);
  SetBgr(image, 4, 0, 0, 0, 0);
  EXPECT_EQ(image.PixelGray(0, 0), 76);
  EXPECT_EQ(image.PixelGray(1, 0), 29);
  EXPECT_EQ(image.PixelGray(2, 0), 149);
  EXPECT_EQ(image.PixelGray(3, 0), 255);
  EXPECT_EQ(image.PixelGray(4, 0), 0);

  ASSERT_TRUE(image.ToGray());
  const uint8_t expected[5] = {76, 29, 149, 255, 0};
  EXPECT_EQ(std::memcmp(image.RowAddress(0), expected, 5), 0);
}

TEST(CxImageCreate, RefusesEmptySizesWithItsMessage) {
  CxImage image;
  EXPECT_EQ(image.Create(0, 10, 24, 0), nullptr);
  EXPECT_STREQ(image.LastErrorText(),
               "CxImage::Create : width and height must be greater than zero");
  EXPECT_EQ(image.Create(10, 0, 24, 0), nullptr);
  EXPECT_FALSE(image.IsLoaded());
}

TEST(CxImageCreate, NormalisesDepthAndSizesPaletteAndRows) {
  struct Case {
    uint32_t width, requestedBits, bits, palette, stride;
  };
  const Case cases[] = {
      {1, 24, 24, 0, 4},   {5, 1, 1, 2, 4},   {9, 4, 4, 16, 8},    {10, 0, 1, 2, 4},
      {10, 2, 4, 16, 8},   {10, 3, 4, 16, 8}, {10, 5, 8, 256, 12}, {10, 16, 24, 0, 32},
      {10, 32, 24, 0, 32}, {33, 1, 1, 2, 8},  {3, 8, 8, 256, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("width " + std::to_string(c.width) + " bits " + std::to_string(c.requestedBits));
    CxImage image;
    uint8_t* block = image.Create(c.width, 3, c.requestedBits, 4);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(image.BitsPerPixel(), c.bits);
    EXPECT_EQ(image.PaletteSize(), c.palette);
    EXPECT_EQ(image.RowStride(), c.stride);
    EXPECT_EQ(image.Header().biSizeImage, c.stride * 3);
    EXPECT_EQ(image.FormatCode(), 4u);
    EXPECT_EQ(image.RowAddress(0), block + 40 + 4 * c.palette);
    EXPECT_EQ(image.RowAddress(2), image.RowAddress(0) + 2 * c.stride);
    EXPECT_EQ(image.RowAddress(3), nullptr);
    // The block starts with a copy of the header.
    CxBitmapInfoHeader copy;
    std::memcpy(&copy, block, sizeof copy);
    EXPECT_EQ(copy.biWidth, int32_t(c.width));
    EXPECT_EQ(copy.biBitCount, c.bits);
    EXPECT_EQ(copy.biSize, 40u);
  }
}

TEST(CxImageCreate, StartsWithZeroPaletteAndZeroPixels) {
  CxImage image;
  // Reuse heap memory that held non-zero bytes, so that a missing clear would show.
  {
    std::vector<uint8_t> dirty(40 + 1024 + 64 * 64, 0xAB);
    (void)dirty;
  }
  ASSERT_NE(image.Create(61, 64, 8, 0), nullptr);
  for (uint32_t i = 0; i < 256; ++i) EXPECT_EQ(image.PaletteColor(uint8_t(i)), CxRgbQuad{});
  for (uint32_t y = 0; y < 64; ++y) {
    const uint8_t* row = image.RowAddress(y);
    for (uint32_t x = 0; x < image.RowStride(); ++x) ASSERT_EQ(row[x], 0) << x << "," << y;
  }
}

TEST(CxImageCreate, ForDecodingClearsHeaderPaletteAndRowEnds) {
  // The pixels a decoder will write may hold anything; whatever it never writes must not.
  for (const uint32_t bits : {1u, 4u, 8u, 24u}) {
    CxImage image;
    {
      std::vector<uint8_t> dirty(40 + 1024 + 64 * 64, 0xAB);
      (void)dirty;
    }
    ASSERT_NE(image.CreateForDecoding(61, 64, bits, 0), nullptr) << bits;
    EXPECT_EQ(image.ImageWidth(), 61u);
    EXPECT_EQ(image.Header().biSizeImage, image.RowStride() * 64);
    for (uint32_t i = 0; i < image.PaletteSize(); ++i) {
      EXPECT_EQ(image.PaletteColor(uint8_t(i)), CxRgbQuad{}) << bits;
    }
    const uint32_t written = (61 * bits + 7) / 8;
    for (uint32_t y = 0; y < 64; ++y) {
      const uint8_t* row = image.RowAddress(y);
      for (uint32_t x = written; x < image.RowStride(); ++x) {
        ASSERT_EQ(row[x], 0) << bits << " bits, " << x << "," << y;
      }
    }
  }
}

TEST(CxImageCreate, RefusesPixelAreasAboveTheBoundBeforeAllocating) {
  struct Case {
    uint32_t width, height, bits;
  };
  const Case refused[] = {
      {65536, 65536, 24},  // 32-bit products of these sizes wrap to 0
      {65535, 65535, 1},   // 512 MiB of 1-bit rows
      {70000, 70000, 8},
      {0xFFFFFFFFu, 1, 24},  // the row stride alone is over
      {0xFFFFFFFFu, 0xFFFFFFFFu, 24},
      {32000, 64001, 1},  // 4000-byte rows: one row over 256,000,000 bytes
  };
  for (const Case& c : refused) {
    CxImage image;
    EXPECT_EQ(image.Create(c.width, c.height, c.bits, 0), nullptr) << c.width << "x" << c.height;
    EXPECT_STREQ(image.LastErrorText(), "CXIMAGE_MAX_MEMORY exceeded");
    EXPECT_FALSE(image.IsLoaded());
    EXPECT_EQ(image.ImageWidth(), 0u);
  }
  CxImage atTheBound;  // exactly 256,000,000 bytes of rows
  ASSERT_NE(atTheBound.Create(32000, 64000, 1, 0), nullptr) << atTheBound.LastErrorText();
  EXPECT_EQ(atTheBound.Header().biSizeImage, 256000000u);
  CxImage photograph;
  EXPECT_NE(photograph.Create(6000, 4000, 24, 3), nullptr);
}

TEST(CxImageLifetime, BorrowedDataIsNeverReleased) {
  CxImage image;
  ASSERT_NE(image.Create(4, 4, 8, 0), nullptr);
  uint8_t* block = image.PixelBlock();
  int owner = 0;
  image.MutableInfo().borrowed = &owner;
  EXPECT_FALSE(image.Release());
  EXPECT_EQ(image.Create(2, 2, 8, 0), nullptr);
  CxImage other;
  ASSERT_NE(other.Create(2, 2, 8, 0), nullptr);
  EXPECT_FALSE(image.TakeOver(other));
  EXPECT_EQ(image.PixelBlock(), block);
  image.MutableInfo().borrowed = nullptr;  // hand it back so the test does not leak
}

TEST(CxImageLifetime, ResetInfoGivesTheDefaults) {
  CxImage image(3);
  EXPECT_EQ(image.FormatCode(), 3u);
  EXPECT_EQ(image.Info().quality, 90);
  EXPECT_EQ(image.Info().alphaMax, 255);
  EXPECT_EQ(image.Info().keyIndex, -1);
  EXPECT_TRUE(image.Info().enabled);
  EXPECT_EQ(image.Info().dpiX, 96);
  EXPECT_EQ(image.Info().dpiY, 96);
  EXPECT_EQ(image.Header().biXPelsPerMeter, 3780);
  EXPECT_EQ(image.Header().biYPelsPerMeter, 3780);
  EXPECT_FALSE(image.IsLoaded());
  EXPECT_STREQ(image.LastErrorText(), "");
}

TEST(CxImageLifetime, TakeOverLeavesTheSourceEmpty) {
  CxImage source;
  ASSERT_NE(source.Create(7, 5, 24, 3), nullptr);
  source.AlphaCreate();
  SetBgr(source, 6, 4, 1, 2, 3);
  uint8_t* block = source.PixelBlock();

  CxImage target;
  ASSERT_NE(target.Create(2, 2, 8, 0), nullptr);
  ASSERT_TRUE(target.TakeOver(source));
  EXPECT_EQ(target.PixelBlock(), block);
  EXPECT_EQ(target.ImageWidth(), 7u);
  EXPECT_EQ(target.PixelColor(6, 4, false), Rgb(1, 2, 3));
  EXPECT_TRUE(target.HasAlpha());

  EXPECT_FALSE(source.IsLoaded());
  EXPECT_EQ(source.ImageWidth(), 0u);
  EXPECT_EQ(source.ImageHeight(), 0u);
  EXPECT_FALSE(source.HasAlpha());
  EXPECT_EQ(source.PixelBlock(), nullptr);
}

TEST(CxImageLifetime, CopiesAreDeepAndIndependent) {
  CxImage original = RandomImage(9, 4, 8, 7);
  original.AlphaCreate();
  original.AlphaSet(2, 3, 17);
  original.MutableInfo().keyIndex = 12;
  CxImage copy(original);
  ASSERT_TRUE(copy.IsLoaded());
  EXPECT_NE(copy.PixelBlock(), original.PixelBlock());
  EXPECT_EQ(copy.Info().keyIndex, 12);
  EXPECT_EQ(copy.AlphaGet(2, 3), 17);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 9; ++x) ASSERT_EQ(copy.PixelColor(x, y), original.PixelColor(x, y));
  }
  copy.SetPixelIndex(0, 0, uint8_t(original.PixelIndex(0, 0) + 1));
  copy.SetPaletteColor(0, 1, 2, 3);
  copy.AlphaSet(2, 3, 99);
  EXPECT_NE(copy.PixelIndex(0, 0), original.PixelIndex(0, 0));
  EXPECT_NE(copy.PaletteColor(0), original.PaletteColor(0));
  EXPECT_EQ(original.AlphaGet(2, 3), 17);

  // Without pixels only the palette comes along.
  CxImage shape;
  shape.CopyFrom(original, false, false, false);
  EXPECT_EQ(shape.PaletteColor(5), original.PaletteColor(5));
  EXPECT_FALSE(shape.HasAlpha());
  EXPECT_EQ(shape.PixelIndex(3, 3), 0);
}

TEST(CxImagePixels, IndexReadsEveryPackedDepth) {
  CxImage one;
  ASSERT_NE(one.Create(10, 2, 1, 0), nullptr);
  one.RowAddress(1)[0] = 0b10100000;
  one.RowAddress(1)[1] = 0b01000000;
  EXPECT_EQ(one.PixelIndex(0, 1), 1);
  EXPECT_EQ(one.PixelIndex(1, 1), 0);
  EXPECT_EQ(one.PixelIndex(2, 1), 1);
  EXPECT_EQ(one.PixelIndex(9, 1), 1);

  CxImage four;
  ASSERT_NE(four.Create(3, 1, 4, 0), nullptr);
  four.RowAddress(0)[0] = 0xA5;
  four.RowAddress(0)[1] = 0x70;
  EXPECT_EQ(four.PixelIndex(0, 0), 0xA);
  EXPECT_EQ(four.PixelIndex(1, 0), 0x5);
  EXPECT_EQ(four.PixelIndex(2, 0), 0x7);

  for (CxImage* image : {&one, &four}) {
    for (int x = 0; x < int(image->ImageWidth()); ++x) {
      image->SetPixelIndex(x, 0, uint8_t(x % 2));
      EXPECT_EQ(image->PixelIndex(x, 0), x % 2);
    }
  }
  EXPECT_EQ(four.RowAddress(0)[0], 0x01);  // neighbours keep their nibble

  CxImage colour;
  ASSERT_NE(colour.Create(2, 2, 24, 0), nullptr);
  EXPECT_EQ(colour.PixelIndex(1, 1), 0);  // no palette
}

TEST(CxImagePixels, ReadsOutsideThePictureFollowTheKeyRules) {
  CxImage gray;
  ASSERT_NE(gray.Create(4, 3, 8, 0), nullptr);
  gray.FillGrayPalette();
  gray.RowAddress(0)[0] = 40;  // bottom-left pixel
  gray.RowAddress(2)[3] = 200;
  const int outside[][2] = {{-1, 0}, {0, -1}, {4, 0}, {0, 3}, {4, 3}, {-100000, 100000}};
  for (const auto& at : outside) {
    EXPECT_EQ(gray.PixelIndex(at[0], at[1]), 40);
    EXPECT_EQ(gray.PixelGray(at[0], at[1]), 40);
  }
  gray.MutableInfo().keyIndex = 0x17F;  // only the low byte counts
  EXPECT_EQ(gray.PixelIndex(4, 3), 0x7F);
  EXPECT_EQ(gray.PixelGray(-1, 2), 0x7F);

  CxImage colour;
  ASSERT_NE(colour.Create(2, 2, 24, 0), nullptr);
  SetBgr(colour, 0, 0, 255, 0, 0);
  EXPECT_EQ(colour.PixelGray(2, 0), 76);
  EXPECT_EQ(colour.PixelGray(0, 2), 76);  // (x, height): the bottom-left pixel
  colour.MutableInfo().keyIndex = 0;
  colour.SetKeyColor(Rgb(0, 0, 255));
  EXPECT_EQ(colour.PixelGray(0, 2), 29);
  EXPECT_EQ(colour.PixelColor(5, 5), Rgb(0, 0, 255));

  CxImage empty;
  empty.SetKeyColor(Rgb(0, 255, 0));
  EXPECT_EQ(empty.PixelColor(0, 0), Rgb(0, 255, 0));
  EXPECT_EQ(empty.PixelGray(0, 0), 149);
  EXPECT_EQ(empty.PixelIndex(0, 0), 0);
}

TEST(CxImagePixels, FastGrayReadsEqualTheColourRuleAtEveryDepth) {
  for (const uint32_t bits : {1u, 4u, 8u, 24u}) {
    for (const int key : {-1, 3}) {
      SCOPED_TRACE("bits " + std::to_string(bits) + " key " + std::to_string(key));
      CxImage image = RandomImage(13, 6, bits, bits * 31 + uint32_t(key + 1));
      image.MutableInfo().keyIndex = key;
      image.SetKeyColor(Rgb(10, 200, 30));
      if (bits == 8) image.MutableHeader().biClrUsed = 100;  // some indices past the palette
      for (int y = -2; y < 8; ++y) {
        for (int x = -2; x < 15; ++x) {
          ASSERT_EQ(image.PixelGray(x, y), GrayOfColor(image.PixelColor(x, y, true)))
              << x << "," << y;
        }
      }
    }
  }
}

TEST(CxImagePixels, ColourReadsUsePaletteOrStoredBytesAndAlpha) {
  CxImage image;
  ASSERT_NE(image.Create(2, 1, 4, 0), nullptr);
  image.SetPaletteColor(3, 10, 20, 30, 7);
  image.SetPixelIndex(1, 0, 3);
  EXPECT_EQ(image.PixelColor(1, 0, false), (CxRgbQuad{30, 20, 10, 7}));
  image.AlphaCreate();
  image.AlphaSet(1, 0, 128);
  EXPECT_EQ(image.PixelColor(1, 0, true).reserved, 128);
  EXPECT_EQ(image.PixelColor(1, 0, false).reserved, 7);

  CxImage colour;
  ASSERT_NE(colour.Create(1, 1, 24, 0), nullptr);
  colour.SetKeyColor(CxRgbQuad{0, 0, 0, 99});
  EXPECT_EQ(colour.Info().keyColor.reserved, 0);  // the key never carries alpha
  colour.SetPixelColor(0, 0, Rgb(1, 2, 3));
  EXPECT_EQ(colour.PixelColor(0, 0), Rgb(1, 2, 3));
}

TEST(CxImagePalette, CopiesAreBoundedByTheImagePalette) {
  CxImage image;
  ASSERT_NE(image.Create(2, 2, 1, 0), nullptr);
  const CxRgbTriple triples[3] = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
  image.SetPaletteRgb(triples, 3);
  EXPECT_EQ(image.PaletteColor(0), Rgb(1, 2, 3));
  EXPECT_EQ(image.PaletteColor(1), Rgb(4, 5, 6));
  EXPECT_EQ(image.PaletteColor(2), CxRgbQuad{});  // index past the palette

  const uint8_t red[2] = {11, 12};
  image.SetPaletteChannels(2, red, nullptr, nullptr);
  EXPECT_EQ(image.PaletteColor(1), Rgb(12, 12, 12));
  const uint8_t green[2] = {21, 22};
  image.SetPaletteChannels(2, red, green, nullptr);
  EXPECT_EQ(image.PaletteColor(0), Rgb(11, 21, 21));

  image.SetPaletteColor(5, 1, 1, 1);  // ignored
  EXPECT_EQ(image.PaletteColor(5), CxRgbQuad{});

  // A used count raised past the block never reaches beyond the two allocated entries.
  image.MutableHeader().biClrUsed = 300;
  std::vector<CxRgbTriple> many(300, CxRgbTriple{9, 9, 9});
  image.SetPaletteRgb(many.data(), 300);
  image.SetPaletteColor(200, 1, 1, 1);
  EXPECT_EQ(image.PaletteColor(1), Rgb(9, 9, 9));
  EXPECT_EQ(image.PaletteColor(2), CxRgbQuad{});
  EXPECT_EQ(image.PaletteColor(200), CxRgbQuad{});
  EXPECT_EQ(image.NearestIndex(Rgb(9, 9, 9)), 0);
  image.MutableHeader().biClrImportant = 50;
  EXPECT_EQ(image.NearestIndex(Rgb(0, 0, 0)), 0);
}

TEST(CxImagePalette, GrayPaletteSpreadsLevelsOverTheEntries) {
  CxImage eight, four, one, colour;
  ASSERT_NE(eight.Create(1, 1, 8, 0), nullptr);
  ASSERT_NE(four.Create(1, 1, 4, 0), nullptr);
  ASSERT_NE(one.Create(1, 1, 1, 0), nullptr);
  ASSERT_NE(colour.Create(1, 1, 24, 0), nullptr);
  eight.FillGrayPalette();
  four.FillGrayPalette();
  one.FillGrayPalette();
  colour.FillGrayPalette();
  for (int i = 0; i < 256; ++i) EXPECT_EQ(eight.PaletteColor(uint8_t(i)), Rgb(i, i, i));
  for (int i = 0; i < 16; ++i)
    EXPECT_EQ(four.PaletteColor(uint8_t(i)), Rgb(17 * i, 17 * i, 17 * i));
  EXPECT_EQ(one.PaletteColor(0), Rgb(0, 0, 0));
  EXPECT_EQ(one.PaletteColor(1), Rgb(255, 255, 255));

  one.MutableHeader().biClrUsed = 1;  // a palette of one entry has nothing to divide by
  one.SetPaletteColor(0, 9, 9, 9);
  one.FillGrayPalette();
  EXPECT_EQ(one.PaletteColor(0), Rgb(0, 0, 0));
}

TEST(CxImagePalette, NearestIndexFindsTheClosestEntryAndCachesIt) {
  CxImage image;
  ASSERT_NE(image.Create(2, 2, 4, 0), nullptr);
  for (int i = 0; i < 16; ++i) image.SetPaletteColor(uint8_t(i), 0, 0, 0);
  image.SetPaletteColor(2, 100, 100, 100);
  image.SetPaletteColor(5, 110, 100, 100);
  image.SetPaletteColor(9, 250, 0, 0);
  EXPECT_EQ(image.NearestIndex(Rgb(104, 100, 100)), 2);  // nearer to entry 2
  EXPECT_EQ(image.NearestIndex(Rgb(105, 100, 100)), 2);  // a tie keeps the lower index
  EXPECT_EQ(image.NearestIndex(Rgb(110, 100, 100)), 5);  // exact
  EXPECT_EQ(image.NearestIndex(Rgb(255, 0, 0)), 9);
  image.SetPaletteColor(9, 0, 0, 250);  // a palette change invalidates the cached answer
  image.SetPaletteColor(12, 255, 0, 0);
  EXPECT_EQ(image.NearestIndex(Rgb(255, 0, 0)), 12);
  image.MutableHeader().biClrImportant = 10;  // only the important entries are searched
  EXPECT_EQ(image.NearestIndex(Rgb(255, 1, 0)), 5);

  image.SetPixelColor(1, 1, Rgb(100, 101, 99));
  EXPECT_EQ(image.PixelIndex(1, 1), 2);

  CxImage colour;
  EXPECT_EQ(colour.NearestIndex(Rgb(1, 2, 3)), 0);
}

TEST(CxImageToGray, TwentyFourBitPicturesBecomeGrayLevels) {
  CxImage image = RandomImage(37, 11, 24, 5);
  image.AlphaCreate();
  image.AlphaSet(36, 10, 42);
  std::vector<int> expected;
  for (int y = 0; y < 11; ++y) {
    for (int x = 0; x < 37; ++x) expected.push_back(GrayOfColor(image.PixelColor(x, y)));
  }
  ASSERT_TRUE(image.ToGray());
  EXPECT_EQ(image.BitsPerPixel(), 8);
  EXPECT_EQ(image.PaletteSize(), 256u);
  EXPECT_EQ(image.RowStride(), 40u);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(image.PaletteColor(uint8_t(i)), Rgb(i, i, i));
  for (int y = 0, i = 0; y < 11; ++y) {
    for (int x = 0; x < 37; ++x, ++i) {
      ASSERT_EQ(image.RowAddress(uint32_t(y))[x], expected[size_t(i)]) << x << "," << y;
      ASSERT_EQ(image.PixelGray(x, y), expected[size_t(i)]);
    }
  }
  EXPECT_EQ(image.AlphaGet(36, 10), 42);
}

TEST(CxImageToGray, FastRowConversionEqualsThePlainRuleForEveryColour) {
  // All 2^24 colours, 4096 per row, through both the plain rule and the path ToGray takes.
  constexpr uint32_t kWidth = 4096;
  std::vector<uint8_t> row(kWidth * 3);
  std::vector<uint8_t> plain(kWidth), fast(kWidth);
  for (uint32_t line = 0; line < 4096; ++line) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      const uint32_t colour = line * kWidth + x;
      row[3 * x] = uint8_t(colour);
      row[3 * x + 1] = uint8_t(colour >> 8);
      row[3 * x + 2] = uint8_t(colour >> 16);
    }
    CxImage::GrayRowForTesting(row.data(), plain.data(), kWidth, true);
    CxImage::GrayRowForTesting(row.data(), fast.data(), kWidth, false);
    ASSERT_EQ(plain, fast) << "line " << line;
  }
  // Widths with no whole step, one step and a tail, two steps and a tail.
  for (uint32_t width = 0; width < 100; ++width) {
    CxImage::GrayRowForTesting(row.data() + 5, plain.data(), width, true);
    CxImage::GrayRowForTesting(row.data() + 5, fast.data(), width, false);
    ASSERT_TRUE(std::equal(plain.begin(), plain.begin() + width, fast.begin())) << width;
  }
}

TEST(CxImageToGray, WidePicturesConvertInPlaceToTheSameBytesAsANewImage) {
  for (const uint32_t width : {514u, 600u, 1001u, 300u}) {
    SCOPED_TRACE("width " + std::to_string(width));
    CxImage image = RandomImage(width, 7, 24, width);
    image.SetResolutionX(300);
    image.AlphaCreate();
    image.AlphaSet(3, 6, 1);
    CxImage expected;
    ASSERT_NE(expected.Create(width, 7, 8, 0), nullptr);
    expected.FillGrayPalette();
    for (uint32_t y = 0; y < 7; ++y) {
      CxImage::GrayRowForTesting(image.RowAddress(y), expected.RowAddress(y), width, true);
    }
    ASSERT_TRUE(image.ToGray());
    EXPECT_EQ(image.RowStride(), expected.RowStride());
    EXPECT_EQ(image.Header().biSizeImage, expected.Header().biSizeImage);
    EXPECT_EQ(image.Header().biXPelsPerMeter, 11811);  // the resolution stays
    EXPECT_EQ(image.Info().dpiX, 300);
    EXPECT_EQ(image.AlphaGet(3, 6), 1);
    const size_t blockSize = 40 + 1024 + expected.Header().biSizeImage;
    CxBitmapInfoHeader header = image.Header();
    EXPECT_EQ(std::memcmp(image.PixelBlock(), &header, 40), 0);  // header copy in step
    EXPECT_EQ(std::memcmp(image.PixelBlock() + 40, expected.PixelBlock() + 40, blockSize - 40), 0);
  }
}

TEST(CxImageToGray, PalettePicturesOfEveryDepthBecomeTheirEntriesGray) {
  for (const uint32_t bits : {1u, 4u, 8u}) {
    SCOPED_TRACE("bits " + std::to_string(bits));
    CxImage image = RandomImage(21, 9, bits, 100 + bits);
    std::vector<int> expected;
    for (int y = 0; y < 9; ++y) {
      for (int x = 0; x < 21; ++x) expected.push_back(GrayOfColor(image.PixelColor(x, y)));
    }
    ASSERT_TRUE(image.ToGray());
    EXPECT_EQ(image.BitsPerPixel(), 8);
    EXPECT_EQ(image.PaletteSize(), 256u);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(image.PaletteColor(uint8_t(i)), Rgb(i, i, i));
    for (int y = 0, i = 0; y < 9; ++y) {
      for (int x = 0; x < 21; ++x, ++i) ASSERT_EQ(image.PixelGray(x, y), expected[size_t(i)]);
    }
  }
}

TEST(CxImageToGray, KeyIndexBecomesTheGrayOfItsEntry) {
  CxImage image;
  ASSERT_NE(image.Create(3, 3, 8, 0), nullptr);
  image.SetPaletteColor(5, 255, 0, 0);
  image.MutableInfo().keyIndex = 5;
  ASSERT_TRUE(image.ToGray());
  EXPECT_EQ(image.Info().keyIndex, 76);
  EXPECT_EQ(image.PixelGray(-1, 0), 76);
  EXPECT_EQ(image.PixelGray(3, 3), 76);

  CxImage one;
  ASSERT_NE(one.Create(3, 3, 1, 0), nullptr);
  one.SetPaletteColor(1, 0, 255, 0);
  one.MutableInfo().keyIndex = 1;
  ASSERT_TRUE(one.ToGray());
  EXPECT_EQ(one.Info().keyIndex, 149);
  EXPECT_EQ(one.PixelGray(5, 5), 149);

  // A key index past the palette read as black before and still does.
  CxImage four;
  ASSERT_NE(four.Create(3, 3, 4, 0), nullptr);
  four.MutableInfo().keyIndex = 40;
  EXPECT_EQ(four.PixelGray(-1, -1), 0);
  ASSERT_TRUE(four.ToGray());
  EXPECT_EQ(four.Info().keyIndex, 0);
  EXPECT_EQ(four.PixelGray(-1, -1), 0);
}

TEST(CxImageToGray, EightBitPicturesWithAShortPaletteKeepTheirBrightLevels) {
  // A decoder may use fewer than 256 entries; gray levels above that count must not read black.
  CxImage image;
  ASSERT_NE(image.Create(2, 1, 8, 0), nullptr);
  image.MutableHeader().biClrUsed = 4;
  image.SetPaletteColor(3, 255, 255, 255);
  image.SetPixelIndex(0, 0, 3);
  image.SetPixelIndex(1, 0, 200);  // past the used entries: black before and after
  EXPECT_EQ(image.PixelGray(1, 0), 0);
  ASSERT_TRUE(image.ToGray());
  EXPECT_EQ(image.PaletteSize(), 256u);
  EXPECT_EQ(image.PixelGray(0, 0), 255);
  EXPECT_EQ(image.PixelGray(1, 0), 0);
}

TEST(CxImageToGray, EmptyOrBorrowedPicturesAreLeftAlone) {
  CxImage empty;
  EXPECT_FALSE(empty.ToGray());
  CxImage image;
  ASSERT_NE(image.Create(2, 2, 24, 0), nullptr);
  int owner = 0;
  image.MutableInfo().borrowed = &owner;
  EXPECT_FALSE(image.ToGray());
  EXPECT_EQ(image.BitsPerPixel(), 24);
  image.MutableInfo().borrowed = nullptr;
}

TEST(CxImageAlpha, MaskFollowsThePictureSize) {
  CxImage image;
  ASSERT_NE(image.Create(3, 2, 24, 0), nullptr);
  EXPECT_EQ(image.AlphaGet(0, 0), 0);
  image.AlphaSet(0, 0, 5);  // no mask yet: ignored
  image.AlphaCreate();
  EXPECT_EQ(image.AlphaGet(2, 1), 255);
  image.AlphaSet(2, 1, 9);
  image.AlphaSet(3, 1, 9);  // outside: ignored
  EXPECT_EQ(image.AlphaGet(2, 1), 9);
  EXPECT_EQ(image.AlphaGet(3, 1), 0);
  image.AlphaCreate();  // an existing mask stays
  EXPECT_EQ(image.AlphaGet(2, 1), 9);

  CxImage same, smaller;
  ASSERT_NE(same.Create(3, 2, 8, 0), nullptr);
  ASSERT_NE(smaller.Create(2, 2, 8, 0), nullptr);
  image.MutableInfo().alphaMax = 77;
  EXPECT_TRUE(same.AlphaCopy(image));
  EXPECT_EQ(same.AlphaGet(2, 1), 9);
  EXPECT_EQ(same.Info().alphaMax, 77);
  EXPECT_FALSE(smaller.AlphaCopy(image));
  EXPECT_FALSE(image.AlphaCopy(smaller));
}

TEST(CxImageFlip, ReversesRowsAndAlphaRows) {
  CxImage image = RandomImage(5, 3, 24, 9);
  image.AlphaCreate();
  image.AlphaSet(1, 0, 10);
  image.AlphaSet(1, 2, 30);
  CxImage before(image);
  ASSERT_TRUE(image.Flip());
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 5; ++x) {
      ASSERT_EQ(image.PixelColor(x, y, false), before.PixelColor(x, 2 - y, false));
    }
  }
  EXPECT_EQ(image.AlphaGet(1, 0), 30);
  EXPECT_EQ(image.AlphaGet(1, 2), 10);
  CxImage empty;
  EXPECT_FALSE(empty.Flip());
}

// Seen pixel (u, v) of the upright picture, v = 0 the top row, is seen pixel StoredSeen(...)
// of the stored picture: the EXIF definitions of orientations 1 to 8.
std::pair<int, int> StoredSeen(int orientation, int u, int v, int w, int h) {
  const std::pair<int, int> sources[9] = {
      {u, v}, {u, v},         {w - 1 - u, v},         {w - 1 - u, h - 1 - v}, {u, h - 1 - v},
      {v, u}, {v, h - 1 - u}, {w - 1 - v, h - 1 - u}, {w - 1 - v, u},
  };
  return sources[orientation];
}

TEST(CxImageOrientation, EveryValueMovesPixelsAlphaAndResolutionTogether) {
  for (const uint32_t bits : {8u, 24u}) {
    for (int orientation = 1; orientation <= 8; ++orientation) {
      SCOPED_TRACE(std::to_string(bits) + " bits, orientation " + std::to_string(orientation));
      CxImage image = RandomImage(5, 3, bits, 40 + orientation);  // rows with padding
      image.SetResolutionX(300);
      image.SetResolutionY(150);
      image.AlphaCreate();
      for (int i = 0; i < 15; ++i) image.AlphaSet(i % 5, i / 5, uint8_t(i * 17));
      const CxImage before(image);
      ASSERT_TRUE(image.ApplyOrientation(orientation));

      const bool quarter = orientation >= 5;
      ASSERT_EQ(image.ImageWidth(), quarter ? 3u : 5u);
      ASSERT_EQ(image.ImageHeight(), quarter ? 5u : 3u);
      EXPECT_EQ(image.BitsPerPixel(), bits);
      EXPECT_EQ(image.Info().dpiX, quarter ? 150 : 300);
      EXPECT_EQ(image.Info().dpiY, quarter ? 300 : 150);
      EXPECT_EQ(image.Header().biXPelsPerMeter, quarter ? 5906 : 11811);
      CxBitmapInfoHeader copy;  // the block's own header describes the turned rows too
      std::memcpy(&copy, image.PixelBlock(), sizeof copy);
      EXPECT_EQ(copy.biWidth, image.Header().biWidth);
      EXPECT_EQ(copy.biHeight, image.Header().biHeight);
      EXPECT_EQ(copy.biSizeImage, image.Header().biSizeImage);
      for (uint32_t i = 0; i < image.PaletteSize(); ++i) {
        ASSERT_EQ(image.PaletteColor(uint8_t(i)), before.PaletteColor(uint8_t(i)));
      }
      const int h = int(image.ImageHeight());
      for (int v = 0; v < h; ++v) {
        for (int u = 0; u < int(image.ImageWidth()); ++u) {
          const auto [x, r] = StoredSeen(orientation, u, v, 5, 3);
          ASSERT_EQ(image.PixelColor(u, h - 1 - v, false), before.PixelColor(x, 2 - r, false))
              << u << "," << v;
          ASSERT_EQ(image.AlphaGet(u, h - 1 - v), before.AlphaGet(x, 2 - r)) << u << "," << v;
        }
      }
    }
  }
}

TEST(CxImageOrientation, OtherValuesAndOtherDepthsLeaveThePictureAlone) {
  CxImage colour = RandomImage(4, 2, 24, 3);
  const CxImage before(colour);
  for (const int value : {0, 1, 9, -6, 65535}) {
    EXPECT_TRUE(colour.ApplyOrientation(value)) << value;
    ASSERT_EQ(colour.ImageWidth(), 4u);
    EXPECT_EQ(std::memcmp(colour.RowAddress(0), before.RowAddress(0), 2 * colour.RowStride()), 0);
  }
  for (const uint32_t bits : {1u, 4u}) {
    CxImage packed = RandomImage(4, 2, bits, 5);
    EXPECT_FALSE(packed.ApplyOrientation(6)) << bits;
    EXPECT_EQ(packed.ImageWidth(), 4u);
  }
  CxImage empty;
  EXPECT_FALSE(empty.ApplyOrientation(6));
  EXPECT_FALSE(empty.IsLoaded());
}

TEST(CxImageSettings, ResolutionIsKeptInPelsPerMetre) {
  CxImage image;
  image.SetResolutionX(300);
  image.SetResolutionY(72);
  EXPECT_EQ(image.Header().biXPelsPerMeter, 11811);
  EXPECT_EQ(image.Header().biYPelsPerMeter, 2835);
  image.SetResolutionX(0);
  image.SetResolutionY(-4);
  EXPECT_EQ(image.Info().dpiX, 96);
  EXPECT_EQ(image.Info().dpiY, 96);
  EXPECT_EQ(image.Header().biXPelsPerMeter, 3780);
  image.SetResolutionX(2000000000);  // beyond what pels per metre can hold
  EXPECT_EQ(image.Header().biXPelsPerMeter, 2147483647);
}

TEST(CxImageSettings, CodecOptionsAreKeptPerFormat) {
  CxImage image(3);
  EXPECT_TRUE(image.SetCodecOption(0x80));
  EXPECT_EQ(image.CodecOption(3), 0x80u);
  EXPECT_EQ(image.CodecOption(), 0x80u);
  EXPECT_TRUE(image.SetCodecOption(5, 6));
  EXPECT_EQ(image.CodecOption(6), 5u);
  EXPECT_FALSE(image.SetCodecOption(1, 7));
  EXPECT_EQ(image.CodecOption(7), 0u);
  CxImage unknown(9);
  EXPECT_FALSE(unknown.SetCodecOption(1));
  EXPECT_EQ(unknown.CodecOption(), 0u);
}

TEST(CxImageLastError, KeepsAtMost255Characters) {
  CxImage image;
  image.SetLastError(std::string(400, 'x').c_str());
  EXPECT_EQ(std::strlen(image.LastErrorText()), 255u);
}

// ---------------------------------------------------------------------------------------------

namespace {

// The stretch written the plain way: every destination pixel looks up the source pixel under
// its centre through PixelColor.
PixelSurface ExpectedPaint(const CxImage& image, int surfaceWidth, int surfaceHeight, int left,
                           int top, int width, int height) {
  PixelSurface surface(surfaceWidth, surfaceHeight);
  for (int y = 0; y < surfaceHeight; ++y) {
    for (int x = 0; x < surfaceWidth; ++x) {
      if (x < left || x >= left + width || y < top || y >= top + height) continue;
      const int64_t sx = ((2 * int64_t(x - left) + 1) * image.ImageWidth()) / (2 * width);
      const int64_t fromTop = ((2 * int64_t(y - top) + 1) * image.ImageHeight()) / (2 * height);
      const CxRgbQuad c = image.PixelColor(int(sx), int(image.ImageHeight() - 1 - fromTop));
      uint8_t* out = surface.Row(y) + 3 * x;
      out[0] = c.red;
      out[1] = c.green;
      out[2] = c.blue;
    }
  }
  return surface;
}

}  // namespace

TEST(CxImagePaint, NothingIsPaintedWithoutPictureOrSurface) {
  CxImage empty;
  PixelSurface surface(4, 4);
  EXPECT_EQ(empty.PaintStretched(&surface, 0, 0, 4, 4), 0);
  CxImage image;
  ASSERT_NE(image.Create(2, 2, 24, 0), nullptr);
  EXPECT_EQ(image.PaintStretched(nullptr, 0, 0, 4, 4), 0);
}

TEST(CxImagePaint, EnlargesUprightWithWholePixels) {
  CxImage image;
  ASSERT_NE(image.Create(2, 2, 24, 0), nullptr);
  SetBgr(image, 0, 1, 255, 0, 0);  // top-left as seen
  SetBgr(image, 1, 1, 0, 255, 0);
  SetBgr(image, 0, 0, 0, 0, 255);  // bottom-left
  SetBgr(image, 1, 0, 255, 255, 255);
  PixelSurface surface(4, 4);
  ASSERT_EQ(image.PaintStretched(&surface, PaintRect{0, 0, 4, 4}), 1);
  const uint8_t expectedRows[4][12] = {
      {255, 0, 0, 255, 0, 0, 0, 255, 0, 0, 255, 0},
      {255, 0, 0, 255, 0, 0, 0, 255, 0, 0, 255, 0},
      {0, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255, 255},
      {0, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255, 255},
  };
  for (int y = 0; y < 4; ++y) EXPECT_EQ(std::memcmp(surface.Row(y), expectedRows[y], 12), 0) << y;
}

TEST(CxImagePaint, EveryDepthMatchesTheStraightforwardStretchAndClips) {
  struct Rect {
    int left, top, width, height;
  };
  const Rect rects[] = {{0, 0, 40, 30},   {5, 3, 17, 11}, {-7, -5, 60, 50},
                        {30, 20, 25, 25}, {0, 0, 3, 2},   {-100, 0, 10, 10}};
  for (const uint32_t bits : {1u, 4u, 8u, 24u}) {
    CxImage image = RandomImage(23, 19, bits, 40 + bits);
    for (const Rect& r : rects) {
      SCOPED_TRACE("bits " + std::to_string(bits) + " rect " + std::to_string(r.left) + "," +
                   std::to_string(r.top) + " " + std::to_string(r.width) + "x" +
                   std::to_string(r.height));
      PixelSurface surface(40, 30);
      ASSERT_EQ(image.PaintStretched(&surface, r.left, r.top, r.width, r.height), 1);
      const PixelSurface expected = ExpectedPaint(image, 40, 30, r.left, r.top, r.width, r.height);
      ASSERT_EQ(surface.pixels, expected.pixels);
    }
  }
}
