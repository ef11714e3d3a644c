#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "DecoderTestSupport.h"
#include "image/CxPngDecoder.h"

namespace {

using namespace decoder_test;

// What the test needs to know of a PNG file, read straight from its chunks.
struct PngFacts {
  int bitDepth = 0;
  int colorType = 0;
  bool interlaced = false;
  bool hasBackground = false;
  uint8_t background[3] = {0, 0, 0};  // red, green, blue scaled to 8 bits
  bool hasTransparency = false;
};

uint32_t Be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

PngFacts ReadFacts(const std::vector<uint8_t>& png) {
  PngFacts facts;
  std::vector<uint8_t> palette;
  size_t at = 8;
  while (at + 12 <= png.size()) {
    const uint32_t length = Be32(&png[at]);
    const std::string type(png.begin() + long(at) + 4, png.begin() + long(at) + 8);
    const uint8_t* data = &png[at + 8];
    if (at + 12 + length > png.size()) break;
    if (type == "IHDR") {
      facts.bitDepth = data[8];
      facts.colorType = data[9];
      facts.interlaced = data[12] != 0;
    } else if (type == "PLTE") {
      palette.assign(data, data + length);
    } else if (type == "tRNS") {
      facts.hasTransparency = true;
    } else if (type == "bKGD") {
      facts.hasBackground = true;
      const int maxSample = (1 << facts.bitDepth) - 1;
      auto scale = [&](uint32_t v) {
        return facts.bitDepth == 16 ? uint8_t(v >> 8) : uint8_t(v * 255 / maxSample);
      };
      if (facts.colorType == 3) {
        const size_t index = data[0];
        for (int c = 0; c < 3; ++c) facts.background[c] = palette[3 * index + c];
      } else if ((facts.colorType & 2) == 0) {
        facts.background[0] = facts.background[1] = facts.background[2] =
            scale((uint32_t(data[0]) << 8) | data[1]);
      } else {
        for (int c = 0; c < 3; ++c) {
          facts.background[c] = scale((uint32_t(data[2 * c]) << 8) | data[2 * c + 1]);
        }
      }
    }
    at += 12 + length;
  }
  return facts;
}

int PixelDepth(const PngFacts& facts) {
  static const int channels[] = {1, 0, 3, 1, 2, 0, 4};
  return facts.bitDepth * channels[facts.colorType];
}

// The brightness our decoder should deliver, computed from libpng's simplified decode: palette
// pictures keep their palette colours (transparency goes into the palette's alpha), 8-bit colour
// with alpha keeps its colours (transparency goes into the alpha mask), and every other picture
// with transparency is composited over the file's background colour, or without one over black
// (gray pictures) or light gray 192 (colour pictures).
GrayPlane ExpectedGray(const std::vector<uint8_t>& png, const PngFacts& facts) {
  const RgbaPicture reference = ReferencePng(png);
  GrayPlane plane;
  if (!reference.error.empty()) return plane;
  plane.width = reference.width;
  plane.height = reference.height;
  const bool composited = facts.colorType != 3 && PixelDepth(facts) != 32;
  // Without a background chunk: gray pictures go on black, colour pictures on light gray 192.
  const uint8_t fallback = (facts.colorType & 2) == 0 ? 0 : 192;
  const uint8_t fallbackRgb[3] = {fallback, fallback, fallback};
  const uint8_t* background = facts.hasBackground ? facts.background : fallbackRgb;
  for (uint32_t y = 0; y < plane.height; ++y) {
    for (uint32_t x = 0; x < plane.width; ++x) {
      const uint8_t* p = reference.At(x, y);
      uint8_t rgb[3] = {p[0], p[1], p[2]};
      if (composited) {
        for (int c = 0; c < 3; ++c) rgb[c] = Composite(p[c], p[3], background[c]);
      }
      plane.values.push_back(uint8_t(CxImage::GrayOf(rgb[0], rgb[1], rgb[2])));
    }
  }
  return plane;
}

bool IsCorruptOnPurpose(const std::string& name) {
  return name[0] == 'x';
}

// libpng 1.6.39's simplified reader returns wrong rows for interlaced 16-bit pictures (rows of
// the later passes land in the wrong place), so those are checked against the simplified decode
// of their non-interlaced twin, which the suite makes from the same pixel data.
std::string ReferenceFileFor(const std::string& path, const PngFacts& facts) {
  if (!facts.interlaced || facts.bitDepth != 16) return path;
  const std::string name = BaseName(path);
  const std::string folder = path.substr(0, path.size() - name.size());
  if (name.rfind("basi", 0) == 0 || name.rfind("bgai", 0) == 0)
    return folder + "basn" + name.substr(4);
  if (name[0] == 'i') return folder + name.substr(1);
  return path;
}

void CheckAgainstReference(const std::string& path) {
  SCOPED_TRACE(path);
  const std::vector<uint8_t> bytes = ReadFileBytes(path);
  const PngFacts facts = ReadFacts(bytes);
  CxPngDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, bytes)) << decoder.LastErrorText();
  const GrayPlane expected = ExpectedGray(ReadFileBytes(ReferenceFileFor(path, facts)), facts);
  ASSERT_EQ(expected.values.size(), size_t(expected.width) * expected.height);
  const GrayPlane actual = GrayOf(decoder);
  ASSERT_EQ(actual.width, expected.width);
  ASSERT_EQ(actual.height, expected.height);
  // 16-bit samples: we drop the low byte, the reference rounds.
  const int tolerance = facts.bitDepth == 16 ? 1 : 0;
  const PlaneDifference difference = Compare(actual, expected, tolerance);
  EXPECT_EQ(difference.beyondTolerance, 0u) << "largest difference " << difference.largest;
}

TEST(PngSuite, EveryValidFileMatchesLibpngsOwnDecode) {
  int checked = 0;
  for (const char* folder :
       {"pngsuite/full", "pngsuite/libpng-contrib", "pngsuite/libpng-contrib/interlaced"}) {
    for (const std::string& path : ListFiles(TestData(folder), ".png")) {
      if (IsCorruptOnPurpose(BaseName(path))) continue;
      CheckAgainstReference(path);
      ++checked;
    }
  }
  EXPECT_GT(checked, 200);
}

TEST(PngSuite, CorruptFilesFailWithTheLibrarysMessage) {
  const std::vector<std::string> files = ListFiles(TestData("pngsuite/full"), ".png");
  int corrupt = 0;
  for (const std::string& path : files) {
    if (!IsCorruptOnPurpose(BaseName(path))) continue;
    SCOPED_TRACE(path);
    CxPngDecoder decoder;
    EXPECT_FALSE(DecodeBytes(decoder, ReadFileBytes(path)));
    EXPECT_STRNE(decoder.LastErrorText(), "");
    ++corrupt;
  }
  EXPECT_EQ(corrupt, 14);
}

std::vector<uint8_t> Suite(const char* name) {
  return ReadFileBytes(TestData(std::string("pngsuite/full/") + name));
}

TEST(PngDecoder, PixelFormatsOfTheLoadedPictures) {
  struct Case {
    const char* file;
    uint16_t bits;
    bool alpha;
  };
  // 16-bit channels become 8-bit; 2-bit pixels widen to 4 bits; 8-bit gray with alpha is
  // composited into plain 8-bit gray; 16-bit gray with alpha keeps an alpha mask.
  for (const Case& c : {Case{"basn2c16.png", 24, false}, Case{"basn0g16.png", 8, false},
                        Case{"basn0g02.png", 4, false}, Case{"basn3p02.png", 4, false},
                        Case{"basn4a08.png", 8, false}, Case{"basn4a16.png", 24, true},
                        Case{"basn6a16.png", 24, true}}) {
    SCOPED_TRACE(c.file);
    CxPngDecoder decoder;
    ASSERT_TRUE(DecodeBytes(decoder, Suite(c.file)));
    EXPECT_EQ(decoder.BitsPerPixel(), c.bits);
    EXPECT_EQ(decoder.HasAlpha(), c.alpha);
  }
  CxPngDecoder twoBit;
  ASSERT_TRUE(DecodeBytes(twoBit, Suite("basn0g02.png")));
  for (uint8_t i = 0; i < 4; ++i) EXPECT_EQ(twoBit.PaletteColor(i).green, 85 * i);
}

TEST(PngDecoder, EightBitColourWithAlphaKeepsItsAlphaMask) {
  const std::vector<uint8_t> bytes = Suite("basn6a08.png");
  CxPngDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, bytes));
  ASSERT_TRUE(decoder.HasAlpha());
  EXPECT_EQ(decoder.BitsPerPixel(), 24);
  const RgbaPicture reference = ReferencePng(bytes);
  ASSERT_EQ(reference.width, decoder.ImageWidth());
  for (uint32_t y = 0; y < reference.height; ++y) {
    for (uint32_t x = 0; x < reference.width; ++x) {
      const int32_t storedRow = int32_t(reference.height - 1 - y);
      ASSERT_EQ(decoder.AlphaGet(int32_t(x), storedRow), reference.At(x, y)[3]);
      const CxRgbQuad c = decoder.PixelColor(int32_t(x), storedRow, false);
      ASSERT_EQ(c.red, reference.At(x, y)[0]);
      ASSERT_EQ(c.blue, reference.At(x, y)[2]);
    }
  }
}

TEST(PngDecoder, WithoutABackgroundChunkGrayGoesOnBlackAndColourOnLightGray) {
  struct Case {
    const char* file;
    uint8_t background;
  };
  for (const Case& c : {Case{"tbbn0g04.png", 0}, Case{"tbwn0g16.png", 0}, Case{"basn4a08.png", 0},
                        Case{"tbrn2c08.png", 192}, Case{"basn6a16.png", 192}}) {
    SCOPED_TRACE(c.file);
    const std::vector<uint8_t> bytes = WithoutChunks(Suite(c.file), {"bKGD"});
    const RgbaPicture reference = ReferencePng(bytes);
    ASSERT_EQ(reference.error, "");
    CxPngDecoder decoder;
    ASSERT_TRUE(DecodeBytes(decoder, bytes)) << decoder.LastErrorText();
    int transparent = 0;
    for (uint32_t y = 0; y < reference.height; ++y) {
      for (uint32_t x = 0; x < reference.width; ++x) {
        if (reference.At(x, y)[3] != 0) continue;
        const CxRgbQuad colour =
            decoder.PixelColor(int32_t(x), int32_t(reference.height - 1 - y), false);
        ASSERT_EQ(colour, (CxRgbQuad{c.background, c.background, c.background, 0}))
            << x << ", " << y;
        ++transparent;
      }
    }
    EXPECT_GT(transparent, 0);
  }
}

TEST(PngDecoder, PaletteWithOneTransparentEntryZeroGetsKeyIndexZero) {
  CxPngDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, Suite("tbbn3p08.png")));
  EXPECT_EQ(decoder.Info().keyIndex, 0);
  EXPECT_FALSE(decoder.Info().alphaPaletteEnabled);
}

TEST(PngDecoder, SeveralTransparencyEntriesBecomePaletteAlpha) {
  CxPngDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, Suite("tm3n3p02.png")));
  EXPECT_EQ(decoder.Info().keyIndex, -1);
  EXPECT_TRUE(decoder.Info().alphaPaletteEnabled);
  EXPECT_EQ(decoder.PaletteColor(0).reserved, 0);
  EXPECT_EQ(decoder.PaletteColor(1).reserved, 85);
  EXPECT_EQ(decoder.PaletteColor(2).reserved, 170);
  EXPECT_EQ(decoder.PaletteColor(3).reserved, 255);
}

TEST(PngDecoder, GrayTransparencyDoesNotTouchThePalettesAlpha) {
  // The chunk of a gray picture holds a sample value, not alpha values per entry.
  CxPngDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, ReadFileBytes(TestData("pngsuite/full/tbbn0g04.png"))));
  EXPECT_EQ(decoder.Info().keyIndex, -1);
  EXPECT_FALSE(decoder.Info().alphaPaletteEnabled);
}

TEST(PngDecoder, ResolutionComesFromThePhysicalSizeChunk) {
  CxPngDecoder perMetre;
  ASSERT_TRUE(DecodeBytes(perMetre, Suite("cdun2c08.png")));  // 1000 per metre
  EXPECT_EQ(perMetre.Info().dpiX, 25);
  EXPECT_EQ(perMetre.Info().dpiY, 25);
  CxPngDecoder aspectOnly;
  ASSERT_TRUE(DecodeBytes(aspectOnly, Suite("cdhn2c08.png")));  // 4 : 1, no unit
  EXPECT_EQ(aspectOnly.Info().dpiX, 4);
  EXPECT_EQ(aspectOnly.Info().dpiY, 1);
  CxPngDecoder none;
  ASSERT_TRUE(DecodeBytes(none, Suite("basn2c08.png")));
  EXPECT_EQ(none.Info().dpiX, 96);
}

TEST(PngDecoder, InterlacedFilesAreMarkedInTheCodecOption) {
  CxPngDecoder interlaced;
  ASSERT_TRUE(DecodeBytes(interlaced, Suite("basi2c08.png")));
  EXPECT_EQ(interlaced.CodecOption(), 1u);
  CxPngDecoder plain;
  ASSERT_TRUE(DecodeBytes(plain, Suite("basn2c08.png")));
  EXPECT_EQ(plain.CodecOption(), 0u);
}

TEST(PngDecoder, TruncatedDataFailsWithReadError) {
  std::vector<uint8_t> bytes = Suite("basn2c08.png");
  bytes.resize(bytes.size() / 2);
  CxPngDecoder decoder;
  EXPECT_FALSE(DecodeBytes(decoder, bytes));
  EXPECT_STREQ(decoder.LastErrorText(), "Read Error");
}

TEST(PngDecoder, DamageInsideThePixelDataFailsCleanly) {
  // A bad checksum in the image data stops libpng between rows, with the row buffer allocated.
  for (const char* name : {"basn2c08.png", "basi6a08.png", "basn0g02.png"}) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> bytes = Suite(name);
    const auto idat =
        std::search(bytes.begin(), bytes.end(), std::begin("IDAT"), std::begin("IDAT") + 4);
    ASSERT_NE(idat, bytes.end());
    idat[40] ^= 0x55;
    CxPngDecoder decoder;
    EXPECT_FALSE(DecodeBytes(decoder, bytes));
    EXPECT_STRNE(decoder.LastErrorText(), "");
  }
}

TEST(PngDecoder, NonZeroEscapeStopsBeforeTheRows) {
  CxPngDecoder decoder;
  decoder.MutableInfo().escape = 1;
  EXPECT_FALSE(DecodeBytes(decoder, Suite("basn2c08.png")));
}

}  // namespace
