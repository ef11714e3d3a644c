// Photographs from current cameras: a 96-megapixel colour JPEG is too large for the 24-bit
// picture under the memory guard, but its gray picture is not, and gray is all the setup
// dialog keeps.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "JpegTestSupport.h"
#include "TempDir.h"
#include "image/CxImage.h"
#include "image/EngraveImage.h"

namespace {

// Gradients with a triangle wave across them: smooth like a photograph, yet every row and
// column differs, so a misplaced row or a swapped channel shows.
void PhotoRow(int y, int width, int height, uint8_t* rgb) {
  for (int x = 0; x < width; ++x) {
    const int t = (3 * x + 5 * y) % 512;
    rgb[3 * x] = uint8_t(int64_t(x) * 255 / width);
    rgb[3 * x + 1] = uint8_t(int64_t(y) * 255 / height);
    rgb[3 * x + 2] = uint8_t(t < 256 ? t : 511 - t);
  }
}

constexpr int kPhotoWidth = 12000;  // 96 megapixels: 288 MB at 24 bits, 96 MB gray
constexpr int kPhotoHeight = 8000;

}  // namespace

TEST(LargePhoto, DialogLoadsAPhotographTooLargeFor24BitsAsExactGray) {
  const int width = kPhotoWidth;
  const int height = kPhotoHeight;
  TempDir dir;
  const std::string path = dir.File("camera.jpg");
  ASSERT_TRUE(WriteRgbJpeg(path, width, height,
                           [&](int y, uint8_t* rgb) { PhotoRow(y, width, height, rgb); }));

  EngraveImage holder;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(holder.LoadPictureGray(path)) << "the dialog would say \"Image load error!\"";
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  const CxImage& picture = *holder.Picture();
  ASSERT_EQ(picture.ImageWidth(), uint32_t(width));
  ASSERT_EQ(picture.ImageHeight(), uint32_t(height));
  ASSERT_EQ(picture.BitsPerPixel(), 8);
  ASSERT_EQ(picture.PaletteSize(), 256u);
  EXPECT_EQ(picture.Header().biSizeImage, uint32_t(width) * uint32_t(height));
  EXPECT_LT(took.count(), 10.0);  // about half a second in the plain build

  // Every pixel is the gray of what plain libjpeg decodes; scanline y is stored row h-1-y.
  int64_t wrong = 0;
  ASSERT_TRUE(ReadRgbJpeg(path, width, height, [&](int y, const uint8_t* rgb) {
    const uint8_t* stored = picture.RowAddress(uint32_t(height - 1 - y));
    for (int x = 0; x < width; ++x) {
      const int expected = ExpectedGray(rgb[3 * x], rgb[3 * x + 1], rgb[3 * x + 2]);
      if (stored[x] != expected) ++wrong;
    }
  }));
  EXPECT_EQ(wrong, 0);
}

TEST(LargePhoto, LoadsThatMakeThe24BitPictureKeepTheir24BitBound) {
  const int width = kPhotoWidth;
  const int height = kPhotoHeight;
  TempDir dir;
  const std::string path = dir.File("camera.jpg");
  // Content does not matter here: the picture is refused before a row is decoded.
  ASSERT_TRUE(WriteRgbJpeg(
      path, width, height, [](int, uint8_t*) {}, 10));

  CxImage library;
  EXPECT_FALSE(library.LoadFile(path.c_str(), kCxFormatJpeg));
  EXPECT_STREQ(library.LastErrorText(), "CXIMAGE_MAX_MEMORY exceeded");
  EXPECT_FALSE(library.IsLoaded());

  EngraveImage holder;
  EXPECT_FALSE(holder.LoadPicture(path));
  EXPECT_EQ(holder.Picture(), nullptr);
}

namespace {

// A small colour JPEG whose frame header claims width x height: libjpeg fills in the rows the
// file lacks, so the load makes a picture of the claimed size from a few hundred bytes.
std::vector<uint8_t> ClaimingJpeg(uint16_t width, uint16_t height, uint16_t orientation = 0) {
  JpegRecipe recipe;
  recipe.width = 32;
  recipe.height = 16;
  if (orientation != 0) {
    recipe.markers.push_back(
        {JPEG_APP0 + 1, ExifBuilder(false).Short(0x0112, orientation).Build()});
  }
  std::vector<uint8_t> file = CompressJpeg(recipe);
  for (size_t i = 0; i + 8 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] == 0xC0) {
      file[i + 5] = uint8_t(height >> 8);
      file[i + 6] = uint8_t(height);
      file[i + 7] = uint8_t(width >> 8);
      file[i + 8] = uint8_t(width);
      return file;
    }
  }
  return {};
}

}  // namespace

// The guard allows 256,000,000 bytes of pixels: a gray picture of 16000 x 16000 exactly. A
// small file that claims it loads (libjpeg fills in what the file lacks); one column more is
// refused (hardening tests).
TEST(LargePhoto, TheDialogsGrayLoadReachesTheWholeGuard) {
  const std::vector<uint8_t> file = ClaimingJpeg(16000, 16000);
  ASSERT_FALSE(file.empty());
  TempDir dir;
  const std::string path = dir.File("claims-256-megapixels.jpg");
  WriteWholeFile(path, file);

  EngraveImage holder;
  ASSERT_TRUE(holder.LoadPictureGray(path));
  EXPECT_EQ(holder.Picture()->ImageWidth(), 16000u);
  EXPECT_EQ(holder.Picture()->ImageHeight(), 16000u);
  EXPECT_EQ(uint64_t(holder.Picture()->Header().biSizeImage), kCxImageMaxMemory);
}

// Rows are padded to 4 bytes, so a quarter turn can take a picture just inside the guard past
// it: 20001 x 12797 has rows of 20004 bytes, turned 12800. Such a photo is refused rather than
// engraved on its side; turned half round, in place, it loads.
TEST(LargePhoto, APhotoWhoseTurnedPictureIsPastTheGuardIsRefused) {
  TempDir dir;
  const std::string sideways = dir.File("sideways.jpg");
  WriteWholeFile(sideways, ClaimingJpeg(20001, 12797, 6));
  const std::string upsideDown = dir.File("upside-down.jpg");
  WriteWholeFile(upsideDown, ClaimingJpeg(20001, 12797, 3));

  EngraveImage holder;
  EXPECT_FALSE(holder.LoadPictureGray(sideways));
  EXPECT_EQ(holder.Picture(), nullptr);
  ASSERT_TRUE(holder.LoadPictureGray(upsideDown));
  EXPECT_EQ(holder.Picture()->ImageWidth(), 20001u);
}
