// Photos taken upright on a phone or camera are mostly stored sideways, with an EXIF orientation
// that says how to turn them. The plug-in's holder turns them upright, so that the preview, the
// pixel counts and the engraving all read them as they were taken; the library's own loads keep
// the stored pixels.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "JpegTestSupport.h"
#include "TempDir.h"
#include "image/CxImage.h"
#include "image/EngraveImage.h"

namespace {

constexpr uint16_t kOrientationTag = 0x0112;
// Whole 16-pixel blocks per quadrant, so that the quadrant edges stay sharp.
constexpr int kWidth = 64;
constexpr int kHeight = 32;

// The picture as seen, in quadrants of distinct brightness.
enum Quadrant { kTopLeft, kTopRight, kBottomLeft, kBottomRight };
constexpr int kLevel[4] = {20, 90, 160, 230};

JpegRecipe QuadrantPhoto(bool colour, std::vector<uint8_t> exif) {
  JpegRecipe recipe;
  recipe.width = kWidth;
  recipe.height = kHeight;
  recipe.quality = 100;
  recipe.inputSpace = colour ? JCS_RGB : JCS_GRAYSCALE;
  recipe.sample = [](int x, int y, int c) {
    const int level = kLevel[(y >= kHeight / 2 ? 2 : 0) + (x >= kWidth / 2 ? 1 : 0)];
    return uint8_t(level + (c == 0 ? 6 : c == 2 ? -6 : 0));  // a tint, for a colour file
  };
  if (!exif.empty()) recipe.markers.push_back({JPEG_APP0 + 1, std::move(exif)});
  return recipe;
}

std::vector<uint8_t> OrientationExif(bool bigEndian, uint16_t orientation) {
  return ExifBuilder(bigEndian)
      .Ascii(0x010F, "Phone")
      .Short(kOrientationTag, orientation)
      .Rational(0x011A, 72, 1)
      .Build();
}

// Gray of pixel (u, v) as seen, v = 0 the top row.
int SeenGray(const CxImage& picture, int u, int v) {
  return picture.PixelGray(u, int(picture.ImageHeight()) - 1 - v);
}

// Where seen pixel (u, v) of the upright picture lies in the stored picture as seen, by the
// EXIF definitions of the eight values (stored width w, height h).
std::pair<int, int> StoredPixelOf(int orientation, int u, int v, int w, int h) {
  switch (orientation) {
    case 2:
      return {w - 1 - u, v};  // mirrored left to right
    case 3:
      return {w - 1 - u, h - 1 - v};  // half turn
    case 4:
      return {u, h - 1 - v};  // mirrored top to bottom
    case 5:
      return {v, u};  // mirrored about the main diagonal
    case 6:
      return {v, h - 1 - u};  // to be turned a quarter clockwise
    case 7:
      return {w - 1 - v, h - 1 - u};  // mirrored about the other diagonal
    case 8:
      return {w - 1 - v, u};  // to be turned a quarter anticlockwise
    default:
      return {u, v};
  }
}

// Which stored quadrant shows at the upright top-left, top-right and bottom-left.
struct Corners {
  Quadrant topLeft, topRight, bottomLeft;
};
constexpr Corners kUprightCorners[9] = {
    {kTopLeft, kTopRight, kBottomLeft},      // (unused)
    {kTopLeft, kTopRight, kBottomLeft},      // 1
    {kTopRight, kTopLeft, kBottomRight},     // 2
    {kBottomRight, kBottomLeft, kTopRight},  // 3
    {kBottomLeft, kBottomRight, kTopLeft},   // 4
    {kTopLeft, kBottomLeft, kTopRight},      // 5
    {kBottomLeft, kTopLeft, kBottomRight},   // 6
    {kBottomRight, kTopRight, kBottomLeft},  // 7
    {kTopRight, kBottomRight, kTopLeft},     // 8
};

class OrientationTest : public testing::Test {
 protected:
  std::string Write(const std::vector<uint8_t>& file, const std::string& name = "photo.jpg") {
    const std::string path = dir_.File(name);
    WriteWholeFile(path, file);
    return path;
  }
  // The stored picture as the library's own load gives it, converted to gray.
  static CxImage Stored(const std::string& path) {
    CxImage stored;
    EXPECT_TRUE(stored.LoadFile(path.c_str(), kCxFormatJpeg)) << stored.LastErrorText();
    stored.ToGray();
    return stored;
  }

  // The holder's picture is the stored one turned as `orientation` says, pixel for pixel.
  static void ExpectTurned(const CxImage& upright, const CxImage& stored, int orientation) {
    const int w = int(stored.ImageWidth());
    const int h = int(stored.ImageHeight());
    const bool quarter = orientation >= 5 && orientation <= 8;
    ASSERT_EQ(int(upright.ImageWidth()), quarter ? h : w);
    ASSERT_EQ(int(upright.ImageHeight()), quarter ? w : h);
    for (int v = 0; v < int(upright.ImageHeight()); ++v) {
      for (int u = 0; u < int(upright.ImageWidth()); ++u) {
        const auto [x, y] = StoredPixelOf(orientation, u, v, w, h);
        ASSERT_EQ(SeenGray(upright, u, v), SeenGray(stored, x, y)) << u << "," << v;
      }
    }
  }

  // A colour photo carrying this EXIF block loads in the dialog turned as `orientation` says.
  void ExpectDialogLoadTurned(const std::vector<uint8_t>& exifBlock, int orientation) {
    const std::string path = Write(CompressJpeg(QuadrantPhoto(true, exifBlock)));
    EngraveImage holder;
    ASSERT_TRUE(holder.LoadPictureGray(path));
    ExpectTurned(*holder.Picture(), Stored(path), orientation);
  }

  static bool IsTurned(const CxImage& upright, const CxImage& stored, int orientation) {
    const int w = int(stored.ImageWidth());
    const int h = int(stored.ImageHeight());
    const bool quarter = orientation >= 5;
    if (int(upright.ImageWidth()) != (quarter ? h : w)) return false;
    if (int(upright.ImageHeight()) != (quarter ? w : h)) return false;
    for (int v = 0; v < int(upright.ImageHeight()); ++v) {
      for (int u = 0; u < int(upright.ImageWidth()); ++u) {
        const auto [x, y] = StoredPixelOf(orientation, u, v, w, h);
        if (SeenGray(upright, u, v) != SeenGray(stored, x, y)) return false;
      }
    }
    return true;
  }

  static void ExpectCorners(const CxImage& upright, const Corners& corners) {
    const int w = int(upright.ImageWidth());
    const int h = int(upright.ImageHeight());
    EXPECT_NEAR(SeenGray(upright, w / 4, h / 4), kLevel[corners.topLeft], 3);
    EXPECT_NEAR(SeenGray(upright, 3 * w / 4, h / 4), kLevel[corners.topRight], 3);
    EXPECT_NEAR(SeenGray(upright, w / 4, 3 * h / 4), kLevel[corners.bottomLeft], 3);
  }

  TempDir dir_;
};

}  // namespace

TEST_F(OrientationTest, EveryValueTurnsThePhotoUprightInBothByteOrders) {
  for (const bool bigEndian : {false, true}) {
    for (uint16_t orientation = 1; orientation <= 8; ++orientation) {
      SCOPED_TRACE((bigEndian ? "MM, orientation " : "II, orientation ") +
                   std::to_string(orientation));
      const std::string path =
          Write(CompressJpeg(QuadrantPhoto(true, OrientationExif(bigEndian, orientation))));
      EngraveImage holder;
      ASSERT_TRUE(holder.LoadPictureGray(path));
      const CxImage& upright = *holder.Picture();
      EXPECT_EQ(upright.BitsPerPixel(), 8);
      ExpectCorners(upright, kUprightCorners[orientation]);
      ExpectTurned(upright, Stored(path), orientation);
    }
  }
}

TEST_F(OrientationTest, GrayFilesAndTheColourLoadAreTurnedToo) {
  const std::string gray = Write(CompressJpeg(QuadrantPhoto(false, OrientationExif(true, 6))));
  EngraveImage holder;
  ASSERT_TRUE(holder.LoadPictureGray(gray));
  ExpectTurned(*holder.Picture(), Stored(gray), 6);

  // LoadPicture keeps the colours, turned; ToGray then gives what the dialog's load gives.
  const std::string colour =
      Write(CompressJpeg(QuadrantPhoto(true, OrientationExif(false, 8))), "colour.jpg");
  ASSERT_TRUE(holder.LoadPicture(colour));
  CxImage& turned = *holder.Picture();
  EXPECT_EQ(turned.BitsPerPixel(), 24);
  EXPECT_EQ(turned.ImageWidth(), uint32_t(kHeight));
  turned.ToGray();
  ExpectTurned(turned, Stored(colour), 8);
}

TEST_F(OrientationTest, TheLibrarysOwnLoadKeepsTheStoredPixels) {
  const std::string path = Write(CompressJpeg(QuadrantPhoto(true, OrientationExif(false, 6))));
  const CxImage stored = Stored(path);
  EXPECT_EQ(stored.ImageWidth(), uint32_t(kWidth));
  EXPECT_EQ(stored.ImageHeight(), uint32_t(kHeight));
  ExpectCorners(stored, kUprightCorners[1]);
}

TEST_F(OrientationTest, ValuesThatNameNoOrientationLeaveThePhotoAsStored) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> blocks = {
      {"no EXIF block", {}},
      {"no orientation tag", ExifBuilder(false).Rational(0x011A, 72, 1).Build()},
  };
  for (const uint16_t value : {0, 9, 65535}) {
    for (const bool bigEndian : {false, true}) {
      blocks.emplace_back("value " + std::to_string(value), OrientationExif(bigEndian, value));
    }
  }
  for (const auto& [name, block] : blocks) {
    SCOPED_TRACE(name);
    ExpectDialogLoadTurned(block, 1);
  }
}

// The thumbnail's directory may give an orientation of its own; the photograph follows the
// main directory only.
TEST_F(OrientationTest, OnlyTheMainDirectoryTurnsThePhoto) {
  const std::vector<uint8_t> mainSix =
      ExifBuilder(true).Short(kOrientationTag, 6).Thumbnail().Short(kOrientationTag, 1).Build();
  const std::vector<uint8_t> thumbnailSix =
      ExifBuilder(false).Rational(0x011A, 72, 1).Thumbnail().Short(kOrientationTag, 6).Build();
  const std::vector<uint8_t> thumbnailGarbage =
      ExifBuilder(false).Short(kOrientationTag, 3).Thumbnail().Short(kOrientationTag, 9).Build();
  const std::pair<const std::vector<uint8_t>*, int> cases[] = {
      {&mainSix, 6}, {&thumbnailSix, 1}, {&thumbnailGarbage, 3}};
  for (const auto& [block, expected] : cases) {
    SCOPED_TRACE(expected);
    ExpectDialogLoadTurned(*block, expected);
  }
}

TEST_F(OrientationTest, DamagedExifLeavesThePhotoAsStored) {
  const std::vector<std::pair<std::string, std::vector<uint8_t>>> blocks = {
      {"illegal format after the orientation",
       ExifBuilder(false).Short(kOrientationTag, 6).Raw(0x011B, 13, 1, 0).Build()},
      {"value outside the block",
       ExifBuilder(true).Short(kOrientationTag, 6).Raw(0x010F, 2, 100, 60000).Build()},
      {"sub-directory linking to itself",
       ExifBuilder(false).Short(kOrientationTag, 6).Raw(0x8769, 4, 1, 8).Build()},
      {"directory count past the end",
       [] {
         std::vector<uint8_t> block = OrientationExif(false, 6);
         block[14] = 0xFF;  // entry count, little-endian, right after the 8-byte TIFF header
         return block;
       }()},
      {"byte order mark IM",
       [] {
         std::vector<uint8_t> block = OrientationExif(false, 6);
         block[7] = 'M';
         return block;
       }()},
  };
  for (const auto& [name, block] : blocks) {
    SCOPED_TRACE(name);
    ExpectDialogLoadTurned(block, 1);
  }
}

// A block cut short: the orientation counts only once the whole main directory is there
// ("Exif\0\0", the 8-byte TIFF header, the entry count and the one 12-byte entry).
TEST_F(OrientationTest, ABlockCutShortCountsOnlyWithItsWholeDirectory) {
  const std::vector<uint8_t> whole = ExifBuilder(true).Short(kOrientationTag, 6).Build();
  constexpr size_t kWholeDirectory = 6 + 8 + 2 + 12;
  ASSERT_GT(whole.size(), kWholeDirectory);
  for (size_t length = 6; length <= whole.size(); ++length) {
    SCOPED_TRACE(length);
    const std::vector<uint8_t> cut(whole.begin(), whole.begin() + long(length));
    ExpectDialogLoadTurned(cut, length >= kWholeDirectory ? 6 : 1);
  }
}

// Random damage anywhere in the block: the photo always loads, as one of the eight ways of
// turning the stored picture, and the damage never reaches outside the block.
TEST_F(OrientationTest, RandomlyDamagedBlocksStillLoadTheStoredPictureTurnedSomeWay) {
  const std::vector<uint8_t> whole = ExifBuilder(false)
                                         .Ascii(0x010F, "Camera maker")
                                         .Short(kOrientationTag, 6)
                                         .Rational(0x011A, 300, 1)
                                         .Raw(0x8769, 4, 1, 60)
                                         .Thumbnail()
                                         .Short(kOrientationTag, 8)
                                         .Build();
  std::mt19937 random(20240612);
  for (int round = 0; round < 150; ++round) {
    std::vector<uint8_t> block = whole;
    for (int i = 0; i < 3; ++i) block[6 + random() % (block.size() - 6)] = uint8_t(random());
    const std::string path = Write(CompressJpeg(QuadrantPhoto(true, block)));
    EngraveImage holder;
    ASSERT_TRUE(holder.LoadPictureGray(path)) << round;
    const CxImage stored = Stored(path);
    int ways = 0;
    for (int orientation = 1; orientation <= 8; ++orientation) {
      ways += IsTurned(*holder.Picture(), stored, orientation) ? 1 : 0;
    }
    EXPECT_EQ(ways, 1) << round;
  }
}

// Quarter turns copy in tiles: a picture of many tiles, with partial ones at both edges.
TEST_F(OrientationTest, QuarterTurnsOfLargerPicturesAreExactAcrossTiles) {
  for (uint16_t orientation = 5; orientation <= 8; ++orientation) {
    SCOPED_TRACE(orientation);
    JpegRecipe recipe;
    recipe.width = 333;
    recipe.height = 201;
    recipe.markers.push_back({JPEG_APP0 + 1, OrientationExif(orientation % 2 == 0, orientation)});
    const std::string path = Write(CompressJpeg(recipe));
    EngraveImage holder;
    ASSERT_TRUE(holder.LoadPictureGray(path));
    ExpectTurned(*holder.Picture(), Stored(path), orientation);
  }
}
