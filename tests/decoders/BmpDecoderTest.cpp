#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "DecoderTestSupport.h"
#include "image/CxBmpDecoder.h"

namespace {

using namespace decoder_test;

// The suite's reference rendering of each picture, decoded by libpng.
GrayPlane ReferenceGray(const std::string& referenceName) {
  const RgbaPicture picture =
      ReferencePng(ReadFileBytes(TestData("bmpsuite/html/" + referenceName + ".png")));
  GrayPlane plane;
  plane.width = picture.width;
  plane.height = picture.height;
  for (size_t i = 0; i + 3 < picture.rgba.size(); i += 4) {
    const uint8_t* p = &picture.rgba[i];
    plane.values.push_back(uint8_t(CxImage::GrayOf(p[0], p[1], p[2])));
  }
  return plane;
}

GrayPlane DecodeToGray(const std::string& relative) {
  CxBmpDecoder decoder;
  if (!DecodeBytes(decoder, ReadFileBytes(TestData("bmpsuite/" + relative)))) {
    ADD_FAILURE() << relative << ": " << decoder.LastErrorText();
    return {};
  }
  return GrayOf(decoder);
}

struct SuiteCase {
  const char* file;
  const char* reference;  // html/<reference>.png
  int tolerance;
};

// Every good picture, and the questionable ones with a defined rendering, against the suite's
// own reference. The 16-bit pictures are within one 5-bit step: their channels are widened by
// shifting (0x1F gives 248), where the references scale (0x1F gives 255). Undefined pixels of
// the run-length pictures stay at index 0, which is what the "-0" references show.
const SuiteCase kSuiteCases[] = {
    {"g/pal1.bmp", "pal1", 0},
    {"g/pal1wb.bmp", "pal1", 0},
    {"g/pal1bg.bmp", "pal1bg", 0},
    {"g/pal4.bmp", "pal4", 0},
    {"g/pal4rle.bmp", "pal4", 0},
    {"g/pal4gs.bmp", "pal4gs", 0},
    {"g/pal8.bmp", "pal8", 0},
    {"g/pal8-0.bmp", "pal8", 0},
    {"g/pal8gs.bmp", "pal8gs", 0},
    {"g/pal8nonsquare.bmp", "pal8nonsquare-e", 0},
    {"g/pal8os2.bmp", "pal8", 0},
    {"g/pal8rle.bmp", "pal8", 0},
    {"g/pal8topdown.bmp", "pal8", 0},
    {"g/pal8v4.bmp", "pal8", 0},
    {"g/pal8v5.bmp", "pal8", 0},
    {"g/pal8w124.bmp", "pal8w124", 0},
    {"g/pal8w125.bmp", "pal8w125", 0},
    {"g/pal8w126.bmp", "pal8w126", 0},
    {"g/rgb16.bmp", "rgb16", 8},
    {"g/rgb16bfdef.bmp", "rgb16", 8},
    {"g/rgb16-565.bmp", "rgb16-565", 8},
    {"g/rgb16-565pal.bmp", "rgb16-565", 8},
    {"g/rgb24.bmp", "rgb24", 0},
    {"g/rgb24pal.bmp", "rgb24", 0},
    {"g/rgb32.bmp", "rgb24", 0},
    {"g/rgb32bf.bmp", "rgb24", 0},
    {"g/rgb32bfdef.bmp", "rgb24", 0},
    {"q/pal1p1.bmp", "pal1p1", 0},
    {"q/pal4rletrns.bmp", "pal4rletrns-0", 0},
    {"q/pal4rlecut.bmp", "pal4rlecut-0", 0},
    {"q/pal8rletrns.bmp", "pal8rletrns-0", 0},
    {"q/pal8rlecut.bmp", "pal8rlecut-0", 0},
    {"q/pal8offs.bmp", "pal8", 0},
    {"q/pal8oversizepal.bmp", "pal8", 0},
    {"q/pal8os2sp.bmp", "pal8", 0},
    {"q/pal8os2v2.bmp", "pal8", 0},
    {"q/rgb24largepal.bmp", "rgb24", 0},
    {"q/rgb32h52.bmp", "rgb24", 0},
    {"q/rgb32-xbgr.bmp", "rgb24", 0},
};

TEST(BmpSuite, PicturesMatchTheSuitesReferenceRenderings) {
  for (const SuiteCase& c : kSuiteCases) {
    SCOPED_TRACE(c.file);
    const GrayPlane actual = DecodeToGray(c.file);
    const GrayPlane expected = ReferenceGray(c.reference);
    ASSERT_EQ(actual.width, expected.width);
    ASSERT_EQ(actual.height, expected.height);
    const PlaneDifference difference = Compare(actual, expected, c.tolerance);
    EXPECT_EQ(difference.beyondTolerance, 0u) << "largest difference " << difference.largest;
  }
}

TEST(BmpSuite, EveryGoodPictureIsCovered) {
  std::map<std::string, bool> covered;
  for (const SuiteCase& c : kSuiteCases) covered[c.file] = true;
  for (const std::string& path : ListFiles(TestData("bmpsuite/g"), ".bmp")) {
    EXPECT_TRUE(covered["g/" + BaseName(path)]) << path;
  }
}

// Bad and questionable files: each either loads or fails with a reason; the sanitizer build
// checks that none of them reads or writes outside its buffers.
TEST(BmpSuite, BadAndQuestionableFilesAreHandledCleanly) {
  int files = 0;
  for (const char* folder : {"bmpsuite/b", "bmpsuite/q", "bmpsuite/x"}) {
    for (const std::string& path : ListFiles(TestData(folder), ".bmp")) {
      SCOPED_TRACE(path);
      CxBmpDecoder decoder;
      if (DecodeBytes(decoder, ReadFileBytes(path))) {
        EXPECT_TRUE(decoder.IsLoaded());
        GrayOf(decoder);
      } else {
        EXPECT_STRNE(decoder.LastErrorText(), "");
      }
      ++files;
    }
  }
  EXPECT_EQ(files, 20 + 43 + 1);
}

TEST(BmpSuite, ImpossibleDimensionsAreRefused) {
  for (const char* file : {"b/badwidth.bmp", "b/reallybig.bmp", "b/badheadersize.bmp"}) {
    CxBmpDecoder decoder;
    EXPECT_FALSE(DecodeBytes(decoder, ReadFileBytes(TestData(std::string("bmpsuite/") + file))))
        << file;
  }
}

// A hand-made bitmap: file header, 40-byte information header, optional masks, palette, data.
struct HandMadeBmp {
  int32_t width = 4;
  int32_t height = 2;
  uint16_t bitCount = 8;
  uint32_t compression = 0;
  std::vector<uint32_t> masks;
  std::vector<uint32_t> palette;  // 0x00RRGGBB
  uint32_t colorCount = 0;        // written as given; 0 means "all"
  std::vector<uint8_t> data;
  int32_t pelsPerMetre = 2835;
  bool fileHeader = true;
  bool zeroOffset = false;  // a file header whose pixel-data offset is 0
};

std::vector<uint8_t> MakeBmp(const HandMadeBmp& bmp) {
  ByteWriter w;
  const uint32_t offset = (bmp.fileHeader ? 14 : 0) + 40 + 4 * uint32_t(bmp.masks.size()) +
                          4 * uint32_t(bmp.palette.size());
  if (bmp.fileHeader) {
    w.Bytes({'B', 'M'}).U32(offset + uint32_t(bmp.data.size())).U32(0);
    w.U32(bmp.zeroOffset ? 0 : offset);
  }
  w.U32(40).U32(uint32_t(bmp.width)).U32(uint32_t(bmp.height)).U16(1).U16(bmp.bitCount);
  w.U32(bmp.compression).U32(uint32_t(bmp.data.size()));
  w.U32(uint32_t(bmp.pelsPerMetre)).U32(uint32_t(bmp.pelsPerMetre));
  w.U32(bmp.colorCount).U32(0);
  for (uint32_t mask : bmp.masks) w.U32(mask);
  for (uint32_t colour : bmp.palette) w.U32(colour);
  std::vector<uint8_t> bytes = w.Data();
  bytes.insert(bytes.end(), bmp.data.begin(), bmp.data.end());
  return bytes;
}

std::vector<uint32_t> GrayRamp(int entries) {
  std::vector<uint32_t> palette;
  for (int i = 0; i < entries; ++i) palette.push_back(0x010101u * uint32_t(i));
  return palette;
}

// Indices of an 8-bit or 4-bit picture, top row first.
std::vector<std::vector<int>> Indices(const CxImage& image) {
  std::vector<std::vector<int>> rows;
  for (uint32_t row = 0; row < image.ImageHeight(); ++row) {
    std::vector<int> values;
    for (uint32_t x = 0; x < image.ImageWidth(); ++x) {
      values.push_back(image.PixelIndex(int32_t(x), int32_t(image.ImageHeight() - 1 - row)));
    }
    rows.push_back(values);
  }
  return rows;
}

using Rows = std::vector<std::vector<int>>;

TEST(BmpDecoder, SixteenBitsWithoutMasksAreFiveFiveFive) {
  HandMadeBmp bmp;
  bmp.width = 2;
  bmp.height = 1;
  bmp.bitCount = 16;
  bmp.data = {0xFF, 0x7F, 0x00, 0x7C};  // white, then pure red
  CxBmpDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, MakeBmp(bmp)));
  EXPECT_EQ(decoder.BitsPerPixel(), 24);
  EXPECT_EQ(decoder.PixelColor(0, 0, false), (CxRgbQuad{248, 248, 248, 0}));
  EXPECT_EQ(decoder.PixelColor(1, 0, false), (CxRgbQuad{0, 0, 248, 0}));
}

TEST(BmpDecoder, SixteenBitMasksSelectTheLayout) {
  HandMadeBmp bmp;
  bmp.width = 3;
  bmp.height = 2;
  bmp.bitCount = 16;
  bmp.compression = 3;
  bmp.masks = {0xF800, 0x07E0, 0x001F};
  // Rows of 3 pixels padded to 8 bytes; bottom row first in the file.
  bmp.data = {0xFF, 0xFF, 0xE0, 0x07, 0x1F, 0x00, 0, 0,   // white, green, blue
              0x00, 0xF8, 0x00, 0x00, 0x20, 0x00, 0, 0};  // red, black, darkest green
  CxBmpDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, MakeBmp(bmp)));
  EXPECT_EQ(decoder.PixelColor(0, 0, false), (CxRgbQuad{248, 252, 248, 0}));
  EXPECT_EQ(decoder.PixelColor(1, 0, false), (CxRgbQuad{0, 252, 0, 0}));
  EXPECT_EQ(decoder.PixelColor(2, 0, false), (CxRgbQuad{248, 0, 0, 0}));
  EXPECT_EQ(decoder.PixelColor(0, 1, false), (CxRgbQuad{0, 0, 248, 0}));
  EXPECT_EQ(decoder.PixelColor(2, 1, false), (CxRgbQuad{0, 4, 0, 0}));
}

TEST(BmpDecoder, UnusualSixteenBitMasksNeverShiftOutOfRange) {
  // Two red bits, three green, one blue: the classic shift formula would shift by negative
  // amounts here.
  HandMadeBmp bmp;
  bmp.width = 1;
  bmp.height = 1;
  bmp.bitCount = 16;
  bmp.compression = 3;
  bmp.masks = {0x30, 0x0E, 0x01};
  bmp.data = {0x3F, 0x00, 0, 0};
  CxBmpDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, MakeBmp(bmp)));
  EXPECT_EQ(decoder.PixelColor(0, 0, false), (CxRgbQuad{128, 224, 192, 0}));
}

TEST(BmpDecoder, ThirtyTwoBitMasksAreHonoured) {
  HandMadeBmp bmp;
  bmp.width = 1;
  bmp.height = 1;
  bmp.bitCount = 32;
  bmp.compression = 3;
  bmp.masks = {0x000000FF, 0x0000FF00, 0x00FF0000};  // red in the low byte
  bmp.data = {0x11, 0x22, 0x33, 0x00};
  CxBmpDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, MakeBmp(bmp)));
  EXPECT_EQ(decoder.PixelColor(0, 0, false), (CxRgbQuad{0x33, 0x22, 0x11, 0}));
}

TEST(BmpDecoder, BitfieldPixelsFollowTheMasksWhenNoOffsetLeadsToThem) {
  // A 5-6-5 and an 8-8-8 layout with red in the low bits, each in a file without header, and
  // in one whose header gives no pixel offset: the pixels start right after the three masks.
  HandMadeBmp sixteen;
  sixteen.width = 2;
  sixteen.height = 1;
  sixteen.bitCount = 16;
  sixteen.compression = 3;
  sixteen.masks = {0xF800, 0x07E0, 0x001F};
  sixteen.data = {0x00, 0xF8, 0x1F, 0x00};  // red, blue
  HandMadeBmp thirtyTwo;
  thirtyTwo.width = 2;
  thirtyTwo.height = 1;
  thirtyTwo.bitCount = 32;
  thirtyTwo.compression = 3;
  thirtyTwo.masks = {0x000000FF, 0x0000FF00, 0x00FF0000};
  thirtyTwo.data = {0x11, 0x22, 0x33, 0x00, 0x44, 0x55, 0x66, 0x00};
  for (bool fileHeader : {false, true}) {
    SCOPED_TRACE(fileHeader ? "file header, offset 0" : "no file header");
    sixteen.fileHeader = thirtyTwo.fileHeader = fileHeader;
    sixteen.zeroOffset = thirtyTwo.zeroOffset = fileHeader;
    CxBmpDecoder decoder16;
    ASSERT_TRUE(DecodeBytes(decoder16, MakeBmp(sixteen)));
    EXPECT_EQ(decoder16.PixelColor(0, 0, false), (CxRgbQuad{0, 0, 248, 0}));
    EXPECT_EQ(decoder16.PixelColor(1, 0, false), (CxRgbQuad{248, 0, 0, 0}));
    CxBmpDecoder decoder32;
    ASSERT_TRUE(DecodeBytes(decoder32, MakeBmp(thirtyTwo)));
    EXPECT_EQ(decoder32.PixelColor(0, 0, false), (CxRgbQuad{0x33, 0x22, 0x11, 0}));
    EXPECT_EQ(decoder32.PixelColor(1, 0, false), (CxRgbQuad{0x66, 0x55, 0x44, 0}));
  }
}

TEST(BmpDecoder, RunLength8HandlesRunsLiteralsRowEndsAndDeltas) {
  HandMadeBmp bmp;
  bmp.width = 6;
  bmp.height = 3;
  bmp.compression = 1;
  bmp.palette = GrayRamp(16);
  bmp.data = {
      2, 5, 0, 3, 7, 8, 9, 0,  // bottom row: run of two 5s, literal 7 8 9 with its padding byte
      0, 0,                    // end of row
      0, 2, 1, 1,              // delta: one right, one up (to the top row)
      3, 4,                    // run of three 4s from x = 1
      0, 1,                    // end of bitmap
      9, 9,                    // never read
  };
  CxBmpDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, MakeBmp(bmp)));
  EXPECT_EQ(Indices(decoder), (Rows{{0, 4, 4, 4, 0, 0}, {0, 0, 0, 0, 0, 0}, {5, 5, 7, 8, 9, 0}}));
}

TEST(BmpDecoder, RunLength4CountsDeltasAndLiteralsInPixels) {
  HandMadeBmp bmp;
  bmp.width = 8;
  bmp.height = 2;
  bmp.bitCount = 4;
  bmp.compression = 2;
  bmp.palette = GrayRamp(16);
  bmp.data = {
      5, 0x12,              // 1 2 1 2 1
      0, 0,                 // end of row
      0, 2,    3,    0,     // delta three pixels right
      0, 3,    0xAB, 0xC0,  // literal A B C: two bytes, no padding needed
      0, 1,
  };
  CxBmpDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, MakeBmp(bmp)));
  EXPECT_EQ(Indices(decoder), (Rows{{0, 0, 0, 10, 11, 12, 0, 0}, {1, 2, 1, 2, 1, 0, 0, 0}}));
}

TEST(BmpDecoder, RunLengthDataNeverWritesOutsideThePicture) {
  HandMadeBmp bmp;
  bmp.width = 3;
  bmp.height = 2;
  bmp.compression = 1;
  bmp.palette = GrayRamp(16);
  bmp.data = {
      0, 5, 1,   2, 3, 4, 5, 0,  // literal of five into a row of three: the rest is dropped
      0, 2, 200, 0,              // delta far beyond the row end
      1, 9,                      // runs there are dropped
      2, 7,
  };
  CxBmpDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, MakeBmp(bmp)));
  EXPECT_EQ(Indices(decoder), (Rows{{0, 0, 0}, {1, 2, 3}}));

  // Deltas that climb past the last row, and runs longer than a row, write nothing.
  bmp.bitCount = 4;
  bmp.compression = 2;
  bmp.data = {255, 0x77, 0, 2, 0, 200, 4, 0x11, 0, 0, 0, 0, 0, 0, 3, 0x22};
  CxBmpDecoder rle4;
  ASSERT_TRUE(DecodeBytes(rle4, MakeBmp(bmp)));
  EXPECT_EQ(Indices(rle4), (Rows{{0, 0, 0}, {7, 7, 7}}));
}

TEST(BmpDecoder, RunsPastTheRowEndLoseTheirExcessAndDecodingCarriesOn) {
  // Rows of 5 pixels padded to 8, as image programs write them: every row ends with a run or a
  // literal that covers the padding too.
  HandMadeBmp bmp;
  bmp.width = 5;
  bmp.height = 3;
  bmp.compression = 1;
  bmp.palette = GrayRamp(16);
  bmp.data = {
      5, 1, 3, 0, 0, 0,                    // bottom row: five 1s, then a run over the padding
      2, 2, 8, 3, 0, 0,                    // two 2s, then a run of eight crossing the row end
      0, 7, 4, 5, 6, 7, 8, 9, 10, 0, 0, 1  // top row: a literal of seven pixels
  };
  CxBmpDecoder rle8;
  ASSERT_TRUE(DecodeBytes(rle8, MakeBmp(bmp)));
  EXPECT_EQ(Indices(rle8), (Rows{{4, 5, 6, 7, 8}, {2, 2, 3, 3, 3}, {1, 1, 1, 1, 1}}));

  bmp.bitCount = 4;
  bmp.compression = 2;
  bmp.data = {
      8, 0x12, 0,    0,                      // 1 2 1 2 1, the rest of the run in the padding
      2, 0x34, 9,    0x56, 0,    0,          // 3 4, then 5 6 5 crossing the row end
      0, 7,    0xAB, 0xCD, 0xEF, 0x10, 0, 1  // literal A B C D E F 1: the last two dropped
  };
  CxBmpDecoder rle4;
  ASSERT_TRUE(DecodeBytes(rle4, MakeBmp(bmp)));
  EXPECT_EQ(Indices(rle4), (Rows{{10, 11, 12, 13, 14}, {3, 4, 5, 6, 5}, {1, 2, 1, 2, 1}}));
}

TEST(BmpDecoder, TwoBitPicturesLoadAsBlankFourBitPictures) {
  HandMadeBmp bmp;
  bmp.bitCount = 2;
  bmp.palette = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};
  bmp.data = {0x1B, 0, 0, 0, 0xE4, 0, 0, 0};
  CxBmpDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, MakeBmp(bmp)));
  EXPECT_EQ(decoder.BitsPerPixel(), 4);
  EXPECT_EQ(Indices(decoder), (Rows{{0, 0, 0, 0}, {0, 0, 0, 0}}));
  EXPECT_EQ(decoder.PaletteColor(3), (CxRgbQuad{255, 255, 255, 0}));
}

TEST(BmpDecoder, BitCountsWithoutAPixelLayoutAreRefusedRatherThanLoadedBlank) {
  for (uint16_t bitCount : {0, 3, 64, 30000}) {
    HandMadeBmp bmp;
    bmp.bitCount = bitCount;
    bmp.data = std::vector<uint8_t>(64, 0xAB);
    CxBmpDecoder decoder;
    EXPECT_FALSE(DecodeBytes(decoder, MakeBmp(bmp))) << bitCount;
    EXPECT_STREQ(decoder.LastErrorText(), "Error reading BMP info") << bitCount;
  }
  // The suite's bitmaps that wrap a JPEG or a PNG picture have bit count 0.
  CxImage wrapped;
  EXPECT_FALSE(wrapped.LoadFile(ENGRAVING_TESTDATA_DIR "/bmpsuite/q/rgb24jpeg.bmp", 1));
}

TEST(BmpDecoder, DataWithoutFileHeaderIsReadAsABitmap) {
  HandMadeBmp bmp;
  bmp.fileHeader = false;
  bmp.palette = GrayRamp(256);
  bmp.colorCount = 256;
  bmp.data = {1, 2, 3, 4, 5, 6, 7, 8};
  CxBmpDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, MakeBmp(bmp)));
  EXPECT_EQ(Indices(decoder), (Rows{{5, 6, 7, 8}, {1, 2, 3, 4}}));
}

TEST(BmpDecoder, ColourCountBeyondThePaletteSkipsTheExtraEntries) {
  HandMadeBmp bmp;
  bmp.fileHeader = false;  // pixels follow the palette directly, so the skip must be exact
  bmp.width = 8;
  bmp.height = 1;
  bmp.bitCount = 1;
  bmp.palette = {0x000000, 0xFFFFFF, 0x123456, 0x654321, 0xABCDEF};
  bmp.colorCount = 5;
  bmp.data = {0xF0, 0, 0, 0};
  CxBmpDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, MakeBmp(bmp)));
  EXPECT_EQ(decoder.PaletteSize(), 2u);
  EXPECT_EQ(decoder.PaletteColor(1), (CxRgbQuad{255, 255, 255, 0}));
  EXPECT_EQ(Indices(decoder), (Rows{{1, 1, 1, 1, 0, 0, 0, 0}}));
}

TEST(BmpDecoder, Os2HeaderUsesThreeBytePaletteEntries) {
  ByteWriter w;
  w.Bytes({'B', 'M'}).U32(0).U32(0).U32(14 + 12 + 6);
  w.U32(12).U16(2).U16(1).U16(1).U16(1);
  w.Bytes({0x10, 0x20, 0x30, 0x40, 0x50, 0x60});  // blue, green, red; twice
  w.Bytes({0x40, 0, 0, 0});                       // pixel 0 = 0, pixel 1 = 1
  CxBmpDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, w.Data()));
  EXPECT_EQ(decoder.PaletteColor(1), (CxRgbQuad{0x40, 0x50, 0x60, 0}));
  EXPECT_EQ(decoder.PixelIndex(1, 0), 1);
}

TEST(BmpDecoder, ResolutionComesFromPelsPerMetre) {
  CxBmpDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, ReadFileBytes(TestData("bmpsuite/g/pal8.bmp"))));
  EXPECT_EQ(decoder.Header().biXPelsPerMeter, 2835);
  EXPECT_EQ(decoder.Info().dpiX, 72);
}

TEST(BmpDecoder, DimensionsOnlyModeReportsTheSizeWithoutPixels) {
  HandMadeBmp bmp;
  bmp.height = -7;
  bmp.palette = GrayRamp(256);
  CxBmpDecoder decoder;
  decoder.MutableInfo().escape = -1;
  ASSERT_TRUE(DecodeBytes(decoder, MakeBmp(bmp)));
  EXPECT_STREQ(decoder.LastErrorText(), "output dimensions returned");
  EXPECT_EQ(decoder.ImageWidth(), 4u);
  EXPECT_EQ(decoder.ImageHeight(), 7u);
  EXPECT_FALSE(decoder.IsLoaded());

  // A file whose header cannot be read has no dimensions to report.
  CxBmpDecoder broken;
  broken.MutableInfo().escape = -1;
  EXPECT_FALSE(DecodeBytes(broken, std::vector<uint8_t>(10, 0)));
  EXPECT_STREQ(broken.LastErrorText(), "Not a BMP");
}

TEST(BmpDecoder, FailuresCarryTheirMessages) {
  auto failure = [](const std::vector<uint8_t>& bytes, int32_t escape = 0) {
    CxBmpDecoder decoder;
    decoder.MutableInfo().escape = escape;
    EXPECT_FALSE(DecodeBytes(decoder, bytes));
    return std::string(decoder.LastErrorText());
  };
  HandMadeBmp bmp;
  bmp.palette = GrayRamp(256);
  bmp.data.assign(8, 0);
  EXPECT_EQ(failure(std::vector<uint8_t>(13, 'B')), "Not a BMP");
  EXPECT_EQ(failure(MakeBmp(bmp), 1), "Cancelled");

  std::vector<uint8_t> oddHeader = MakeBmp(bmp);
  oddHeader[14] = 30;
  EXPECT_EQ(failure(oddHeader), "Error reading BMP info");

  HandMadeBmp huffman = bmp;
  huffman.compression = 3;
  EXPECT_EQ(failure(MakeBmp(huffman)), "compression type not supported");

  HandMadeBmp rle24 = bmp;
  rle24.bitCount = 24;
  rle24.palette.clear();
  rle24.compression = 1;
  EXPECT_EQ(failure(MakeBmp(rle24)), "unknown compression");
  rle24.bitCount = 32;
  rle24.compression = 4;
  EXPECT_EQ(failure(MakeBmp(rle24)), "unknown compression");

  HandMadeBmp empty = bmp;
  empty.width = 0;
  EXPECT_EQ(failure(MakeBmp(empty)), "Can't allocate memory");
}

TEST(BmpDecoder, ShortPixelDataLeavesTheRestBlack) {
  HandMadeBmp bmp;
  bmp.bitCount = 32;
  bmp.data = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8};  // one pixel and a half of eight
  CxBmpDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, MakeBmp(bmp)));
  EXPECT_EQ(decoder.PixelColor(1, 0, false), (CxRgbQuad{4, 5, 6, 0}));
  EXPECT_EQ(decoder.PixelColor(2, 0, false), (CxRgbQuad{0, 0, 0, 0}));
  EXPECT_EQ(decoder.PixelColor(0, 1, false), (CxRgbQuad{0, 0, 0, 0}));
}

}  // namespace
