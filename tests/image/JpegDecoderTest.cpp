#include <dirent.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "JpegTestSupport.h"
#include "TempDir.h"
#include "image/CxExifReader.h"
#include "image/CxJpegDecoder.h"
#include "image/CxMemFile.h"
#include "image/EngraveImage.h"

namespace {

bool DecodeBytes(CxImage& image, const std::vector<uint8_t>& bytes, uint32_t code = 3) {
  CxMemFile stream(const_cast<uint8_t*>(bytes.data()), uint32_t(bytes.size()));
  return image.Decode(stream, code);
}

// Stored row of the libjpeg scanline y (top first).
const uint8_t* StoredPixel(const CxImage& image, int x, int scanline) {
  const uint32_t bytes = image.BitsPerPixel() / 8;
  return image.RowAddress(image.ImageHeight() - 1 - uint32_t(scanline)) + size_t(x) * bytes;
}

void ExpectColourMatches(const CxImage& image, const IndependentDecode& reference) {
  ASSERT_TRUE(reference.ok) << reference.error;
  ASSERT_EQ(reference.components, 3);
  ASSERT_EQ(image.ImageWidth(), uint32_t(reference.width));
  ASSERT_EQ(image.ImageHeight(), uint32_t(reference.height));
  ASSERT_EQ(image.BitsPerPixel(), 24);
  for (int y = 0; y < reference.height; ++y) {
    for (int x = 0; x < reference.width; ++x) {
      const uint8_t* rgb = reference.Pixel(x, y);
      const uint8_t* bgr = StoredPixel(image, x, y);
      ASSERT_TRUE(bgr[0] == rgb[2] && bgr[1] == rgb[1] && bgr[2] == rgb[0])
          << "pixel " << x << "," << y;
    }
  }
}

// After ToGray, every pixel must equal the gray of the independent decode (or, for gray
// files, the decoded sample itself).
void ExpectGrayMatches(const CxImage& image, const IndependentDecode& reference) {
  ASSERT_EQ(image.BitsPerPixel(), 8);
  ASSERT_EQ(image.ImageWidth(), uint32_t(reference.width));
  ASSERT_EQ(image.ImageHeight(), uint32_t(reference.height));
  for (int y = 0; y < reference.height; ++y) {
    for (int x = 0; x < reference.width; ++x) {
      const uint8_t* p = reference.Pixel(x, y);
      const int expected = reference.components == 1 ? p[0] : ExpectedGray(p[0], p[1], p[2]);
      ASSERT_EQ(*StoredPixel(image, x, y), expected) << "pixel " << x << "," << y;
      ASSERT_EQ(image.PixelGray(x, reference.height - 1 - y), expected);
    }
  }
}

JpegRecipe ColourRecipe(int width = 37, int height = 23) {
  JpegRecipe recipe;
  recipe.width = width;
  recipe.height = height;
  return recipe;
}

}  // namespace

TEST(JpegDecoder, ColourFilesGiveBlueGreenRedRowsTopScanlineInTheTopStoredRow) {
  const std::vector<uint8_t> file = CompressJpeg(ColourRecipe());
  CxImage image;
  ASSERT_TRUE(DecodeBytes(image, file)) << image.LastErrorText();
  EXPECT_EQ(image.FormatCode(), 3u);
  EXPECT_EQ(image.PaletteSize(), 0u);
  const IndependentDecode reference = DecodeIndependently(file, JCS_RGB);
  ExpectColourMatches(image, reference);
  ASSERT_TRUE(image.ToGray());
  ExpectGrayMatches(image, reference);
}

TEST(JpegDecoder, FirstScanlineLandsInTheTopStoredRow) {
  JpegRecipe recipe;
  recipe.inputSpace = JCS_GRAYSCALE;
  recipe.width = 16;
  recipe.height = 32;
  recipe.quality = 100;
  recipe.sample = [](int, int y, int) { return uint8_t(y < 8 ? 255 : 0); };
  CxImage image;
  ASSERT_TRUE(DecodeBytes(image, CompressJpeg(recipe)));
  EXPECT_GE(image.RowAddress(31)[0], 250);
  EXPECT_LE(image.RowAddress(0)[0], 5);
  EXPECT_GE(image.PixelGray(3, 31), 250);
}

TEST(JpegDecoder, GrayFilesGiveEightBitsWithAGrayPaletteAndTheirOwnSamples) {
  JpegRecipe recipe = ColourRecipe(45, 17);
  recipe.inputSpace = JCS_GRAYSCALE;
  const std::vector<uint8_t> file = CompressJpeg(recipe);
  CxImage image;
  ASSERT_TRUE(DecodeBytes(image, file));
  EXPECT_EQ(image.BitsPerPixel(), 8);
  EXPECT_EQ(image.PaletteSize(), 256u);
  for (int i = 0; i < 256; ++i) {
    ASSERT_EQ(image.PaletteColor(uint8_t(i)), (CxRgbQuad{uint8_t(i), uint8_t(i), uint8_t(i), 0}));
  }
  const IndependentDecode reference = DecodeIndependently(file);
  ASSERT_EQ(reference.components, 1);
  ExpectGrayMatches(image, reference);
  ASSERT_TRUE(image.ToGray());  // samples read back exactly after the conversion
  ExpectGrayMatches(image, reference);
}

TEST(JpegDecoder, CmykAndYcckFilesAreScaledByTheirBlackChannel) {
  for (const J_COLOR_SPACE fileSpace : {JCS_CMYK, JCS_YCCK}) {
    SCOPED_TRACE(fileSpace == JCS_CMYK ? "CMYK" : "YCCK");
    JpegRecipe recipe = ColourRecipe(21, 13);
    recipe.inputSpace = JCS_CMYK;
    recipe.fileSpace = fileSpace;
    recipe.sample = [](int x, int y, int c) {
      return uint8_t(c == 3 ? 255 - 9 * y : 12 * x + 40 * c);
    };
    const std::vector<uint8_t> file = CompressJpeg(recipe);
    CxImage image;
    ASSERT_TRUE(DecodeBytes(image, file)) << image.LastErrorText();
    ASSERT_EQ(image.BitsPerPixel(), 24);
    const IndependentDecode reference = DecodeIndependently(file, JCS_CMYK);
    ASSERT_EQ(reference.components, 4);
    for (int y = 0; y < reference.height; ++y) {
      for (int x = 0; x < reference.width; ++x) {
        const uint8_t* cmyk = reference.Pixel(x, y);
        const uint8_t* bgr = StoredPixel(image, x, y);
        const int k = cmyk[3];
        ASSERT_EQ(bgr[0], cmyk[2] * k / 255) << x << "," << y;
        ASSERT_EQ(bgr[1], cmyk[1] * k / 255);
        ASSERT_EQ(bgr[2], cmyk[0] * k / 255);
      }
    }
  }
}

TEST(JpegDecoder, ProgressiveFilesDecodeLikeLibjpeg) {
  JpegRecipe recipe = ColourRecipe(50, 40);
  recipe.progressive = true;
  const std::vector<uint8_t> file = CompressJpeg(recipe);
  CxImage image;
  ASSERT_TRUE(DecodeBytes(image, file));
  ExpectColourMatches(image, DecodeIndependently(file, JCS_RGB));
}

TEST(JpegDecoder, TruncatedFilesLoadWithASuppliedEndOfImage) {
  const std::vector<uint8_t> whole = CompressJpeg(ColourRecipe(64, 64));
  for (const double share : {0.5, 0.9}) {
    const std::vector<uint8_t> file(whole.begin(), whole.begin() + long(whole.size() * share));
    CxImage image;
    ASSERT_TRUE(DecodeBytes(image, file)) << image.LastErrorText();
    ExpectColourMatches(image, DecodeIndependently(file, JCS_RGB));
  }
}

TEST(JpegDecoder, FailuresReturnFalseWithLibjpegsMessage) {
  CxImage image;
  EXPECT_FALSE(DecodeBytes(image, {}));
  EXPECT_STREQ(image.LastErrorText(), "Empty input file");
  EXPECT_FALSE(image.IsLoaded());

  const std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o'};
  EXPECT_FALSE(DecodeBytes(image, text));
  EXPECT_EQ(std::string(image.LastErrorText()).rfind("Not a JPEG file", 0), 0u)
      << image.LastErrorText();

  // Cut inside the headers: the supplied end-of-image comes before any scan.
  const std::vector<uint8_t> whole = CompressJpeg(ColourRecipe());
  const std::vector<uint8_t> header(whole.begin(), whole.begin() + 30);
  EXPECT_FALSE(DecodeBytes(image, header));
  EXPECT_STRNE(image.LastErrorText(), "");
  EXPECT_FALSE(image.IsLoaded());
}

TEST(JpegDecoder, AFrameBeyondTheMemoryGuardIsRefusedBeforeDecoding) {
  JpegRecipe recipe = ColourRecipe(16, 16);
  recipe.progressive = true;
  std::vector<uint8_t> file = CompressJpeg(recipe);
  // Patch the frame header (SOF2) to claim 60000 x 60000 pixels.
  for (size_t i = 0; i + 8 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] == 0xC2) {
      file[i + 5] = 0xEA;
      file[i + 6] = 0x60;
      file[i + 7] = 0xEA;
      file[i + 8] = 0x60;
      break;
    }
  }
  CxImage image;
  EXPECT_FALSE(DecodeBytes(image, file));
  EXPECT_STREQ(image.LastErrorText(), "CXIMAGE_MAX_MEMORY exceeded");
}

TEST(JpegDecoder, AFileThatRepeatsItsScansIsRefusedQuickly) {
  JpegRecipe recipe = ColourRecipe(64, 64);
  recipe.inputSpace = JCS_GRAYSCALE;
  recipe.progressive = true;
  const std::vector<uint8_t> file = CompressJpeg(recipe);
  size_t lastScan = 0;
  for (size_t i = 0; i + 1 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] == 0xDA) lastScan = i;
  }
  ASSERT_GT(lastScan, 0u);
  const std::vector<uint8_t> scan(file.begin() + long(lastScan), file.end() - 2);
  std::vector<uint8_t> repeated(file.begin(), file.end() - 2);
  for (int i = 0; i < 300; ++i) repeated.insert(repeated.end(), scan.begin(), scan.end());
  repeated.insert(repeated.end(), {0xFF, 0xD9});

  CxImage image;
  EXPECT_FALSE(DecodeBytes(image, repeated));
  EXPECT_STREQ(image.LastErrorText(), "JPEG file has more than 200 scans");
  ASSERT_TRUE(DecodeBytes(image, file));  // its ordinary handful of scans is fine
}

TEST(JpegDecoder, FailureKeepsAPreviouslyLoadedPicture) {
  CxImage image;
  ASSERT_TRUE(DecodeBytes(image, CompressJpeg(ColourRecipe(8, 8))));
  EXPECT_FALSE(DecodeBytes(image, {1, 2, 3}));
  EXPECT_TRUE(image.IsLoaded());
  EXPECT_EQ(image.ImageWidth(), 8u);
}

TEST(JpegDecoder, DimensionsOnlyModeReadsNoPixels) {
  CxImage image;
  image.MutableInfo().escape = -1;
  ASSERT_TRUE(DecodeBytes(image, CompressJpeg(ColourRecipe(33, 7))));
  EXPECT_FALSE(image.IsLoaded());
  EXPECT_EQ(image.ImageWidth(), 33u);
  EXPECT_EQ(image.ImageHeight(), 7u);
}

TEST(JpegDecoder, EscapeStopsTheDecodeAndKeepsTheLastError) {
  CxImage image;
  image.SetLastError("earlier");
  image.MutableInfo().escape = 1;
  EXPECT_FALSE(DecodeBytes(image, CompressJpeg(ColourRecipe())));
  EXPECT_STREQ(image.LastErrorText(), "earlier");
  EXPECT_FALSE(image.IsLoaded());
}

TEST(JpegDecoder, GrayOptionDecodesColourFilesToGraySamples) {
  const std::vector<uint8_t> file = CompressJpeg(ColourRecipe());
  CxImage image(3);
  image.SetCodecOption(kCxJpegGrayscale);
  ASSERT_TRUE(DecodeBytes(image, file));
  EXPECT_EQ(image.BitsPerPixel(), 8);
  ExpectGrayMatches(image, DecodeIndependently(file, JCS_GRAYSCALE));
}

TEST(JpegDecoder, QuantiseOptionUsesLibjpegsColourMapAsThePalette) {
  const std::vector<uint8_t> file = CompressJpeg(ColourRecipe());
  CxImage image(3);
  image.SetCodecOption(kCxJpegQuantize);
  image.MutableInfo().quality = 24;  // the wanted number of colours
  ASSERT_TRUE(DecodeBytes(image, file)) << image.LastErrorText();
  const IndependentDecode reference = DecodeIndependently(file, JCS_RGB, 24);
  ASSERT_TRUE(reference.ok);
  ASSERT_EQ(reference.colormap.size(), 3u);
  const auto colours = uint32_t(reference.colormap[0].size());
  EXPECT_EQ(image.BitsPerPixel(), 8);
  EXPECT_EQ(image.PaletteSize(), colours);
  for (int y = 0; y < reference.height; ++y) {
    for (int x = 0; x < reference.width; ++x) {
      const uint8_t index = *reference.Pixel(x, y);
      const CxRgbQuad c = image.PixelColor(x, reference.height - 1 - y, false);
      ASSERT_EQ(c.red, reference.colormap[0][index]);
      ASSERT_EQ(c.green, reference.colormap[1][index]);
      ASSERT_EQ(c.blue, reference.colormap[2][index]);
    }
  }
  ASSERT_TRUE(image.ToGray());
  EXPECT_EQ(image.PaletteSize(), 256u);
}

TEST(JpegDecoder, ScaleDenominatorShrinksTheOutput) {
  CxImage image;
  image.MutableInfo().jpegScale = 2;
  ASSERT_TRUE(DecodeBytes(image, CompressJpeg(ColourRecipe(37, 23))));
  EXPECT_EQ(image.ImageWidth(), 19u);
  EXPECT_EQ(image.ImageHeight(), 12u);
}

TEST(JpegResolution, ComesFromJfifDensity) {
  struct Case {
    int unit, x, y, dpiX, dpiY;
  };
  const Case cases[] = {{2, 118, 40, 300, 102}, {1, 200, 150, 200, 150}, {1, 0, 0, 96, 96}};
  for (const Case& c : cases) {
    JpegRecipe recipe = ColourRecipe(8, 8);
    recipe.densityUnit = c.unit;
    recipe.xDensity = c.x;
    recipe.yDensity = c.y;
    CxImage image;
    ASSERT_TRUE(DecodeBytes(image, CompressJpeg(recipe)));
    EXPECT_EQ(image.Info().dpiX, c.dpiX);
    EXPECT_EQ(image.Info().dpiY, c.dpiY);
  }
}

TEST(JpegResolution, ExifResolutionWinsOverJfif) {
  struct Case {
    bool bigEndian;
    uint32_t x, y;
    int unit;  // 0: no unit tag
    int dpiX, dpiY;
  };
  const Case cases[] = {
      {false, 72, 72, 2, 72, 72},         {true, 600, 300, 2, 600, 300},
      {true, 118, 118, 3, 299, 299},       // per centimetre, truncated
      {false, 72, 72, 0, 96, 96},          // no unit: the resolution is not used
      {false, 4000000000u, 0, 2, 96, 96},  // beyond int, or zero: the default stays
  };
  for (const Case& c : cases) {
    ExifBuilder exif(c.bigEndian);
    exif.Rational(0x011A, c.x, 1).Rational(0x011B, c.y, 1);
    if (c.unit != 0) exif.Short(0x0128, uint16_t(c.unit));
    JpegRecipe recipe = ColourRecipe(8, 8);
    recipe.densityUnit = 1;
    recipe.xDensity = 150;
    recipe.yDensity = 150;
    recipe.markers.push_back({JPEG_APP0 + 1, exif.Build()});
    CxImage image;
    ASSERT_TRUE(DecodeBytes(image, CompressJpeg(recipe)));
    EXPECT_EQ(image.Info().dpiX, c.dpiX) << c.x;
    EXPECT_EQ(image.Info().dpiY, c.dpiY) << c.y;
  }
}

TEST(JpegResolution, BrokenExifFallsBackToJfifAndStillDecodes) {
  JpegRecipe recipe = ColourRecipe(8, 8);
  recipe.densityUnit = 1;
  recipe.xDensity = 150;
  recipe.yDensity = 150;
  ExifBuilder exif(false);
  exif.Raw(0x011A, 5, 1, 0xFFFFFF00);  // rational far outside the block
  recipe.markers.push_back({JPEG_APP0 + 1, exif.Build()});
  const std::vector<uint8_t> file = CompressJpeg(recipe);
  CxJpegDecoder decoder;
  CxMemFile stream(const_cast<uint8_t*>(file.data()), uint32_t(file.size()));
  ASSERT_TRUE(decoder.Read(stream));
  EXPECT_FALSE(decoder.ExifInfo().isExif);
  EXPECT_EQ(decoder.Info().dpiX, 150);
}

TEST(JpegResolution, OrientationIsRecordedButThePictureStaysAsStored) {
  JpegRecipe recipe = ColourRecipe(24, 10);
  ExifBuilder exif(false);
  exif.Short(0x0112, 6).Ascii(0x010F, "Maker").Ascii(0x0110, "Model X");
  recipe.markers.push_back({JPEG_APP0 + 1, exif.Build()});
  recipe.markers.push_back({JPEG_COM, {'h', 'i'}});
  const std::vector<uint8_t> file = CompressJpeg(recipe);
  CxJpegDecoder decoder;
  CxMemFile stream(const_cast<uint8_t*>(file.data()), uint32_t(file.size()));
  ASSERT_TRUE(decoder.Read(stream));
  EXPECT_EQ(decoder.ExifInfo().orientation, 6);
  EXPECT_STREQ(decoder.ExifInfo().cameraMake, "Maker");
  EXPECT_STREQ(decoder.ExifInfo().cameraModel, "Model X");
  EXPECT_EQ(decoder.ExifInfo().comment, "hi");
  ExpectColourMatches(decoder, DecodeIndependently(file, JCS_RGB));
}

// ---------------------------------------------------------------------------------------------

namespace {

struct ExifResult {
  bool ok;
  std::string message;
  CxExifInfo info;
};

ExifResult ParseExif(const std::vector<uint8_t>& block) {
  ExifResult result{false, "", CxExifInfo{}};
  CxExifReader reader(&result.info);
  result.ok = reader.ProcessExif(block.data(), uint32_t(block.size()));
  result.message = reader.LastMessage();
  return result;
}

}  // namespace

TEST(CxExifReader, RejectsMalformedBlocksWithItsMessages) {
  EXPECT_EQ(ParseExif({'E', 'x', 'i', 'f', 0, 1, 'I', 'I', 42, 0, 8, 0, 0, 0}).message,
            "Incorrect Exif header");
  EXPECT_EQ(ParseExif({'E', 'x', 'i', 'f', 0, 0, 'I', 'M', 42, 0, 8, 0, 0, 0}).message,
            "Invalid Exif alignment marker.");
  EXPECT_EQ(ParseExif({'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 43, 0, 8, 0, 0, 0}).message,
            "Invalid Exif start (1)");
  EXPECT_EQ(ParseExif(ExifBuilder(false).Raw(0x0112, 13, 1, 0).Build()).message,
            "Illegal format code in EXIF dir");
  EXPECT_EQ(ParseExif(ExifBuilder(true).Raw(0x010F, 2, 100, 4000).Build()).message,
            "Illegal pointer offset value in EXIF.");
  EXPECT_EQ(ParseExif(ExifBuilder(false).Raw(0x8769, 4, 1, 5000).Build()).message,
            "Illegal subdirectory link");
  // A count whose byte size overflows 32 bits is outside the block too.
  EXPECT_EQ(ParseExif(ExifBuilder(false).Raw(0x011A, 5, 0x20000001, 8).Build()).message,
            "Illegal pointer offset value in EXIF.");

  const ExifResult rotation = ParseExif(ExifBuilder(false).Short(0x0112, 9).Build());
  EXPECT_TRUE(rotation.ok);
  EXPECT_EQ(rotation.message, "Undefined rotation value");
  EXPECT_EQ(rotation.info.orientation, 0);
}

TEST(CxExifReader, DirectoriesThatLinkInLoopsEndTheParse) {
  // The EXIF sub-directory link points back at the directory itself (offset 8).
  const ExifResult loop = ParseExif(ExifBuilder(false).Raw(0x8769, 4, 1, 8).Build());
  EXPECT_FALSE(loop.ok);
  EXPECT_EQ(loop.message, "Illegal subdirectory link");
}

TEST(CxExifReader, ReadsUnitsAndFocalPlaneSensorWidth) {
  const ExifResult result = ParseExif(ExifBuilder(true)
                                          .Short(0x0128, 4)
                                          .Short(0xA002, 4000)
                                          .Rational(0xA20E, 2000, 1)
                                          .Short(0xA210, 3)
                                          .Build());
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_TRUE(result.info.isExif);
  EXPECT_FLOAT_EQ(result.info.resolutionUnit, 0.03937007874f);
  EXPECT_EQ(result.info.exifImageWidth, 4000);
  EXPECT_FLOAT_EQ(result.info.sensorWidth, 4000 * 0.3937007874f / 2000);
}

TEST(CxExifReader, SectionWalkStopsAtTheScanOrFailsOnOddStreams) {
  CxExifInfo info{};
  CxExifReader reader(&info);
  {
    const std::vector<uint8_t> file = CompressJpeg(ColourRecipe());
    CxMemFile stream(const_cast<uint8_t*>(file.data()), uint32_t(file.size()));
    EXPECT_TRUE(reader.DecodeExif(stream));
    EXPECT_EQ(info.frameWidth, 37);
    EXPECT_EQ(info.frameHeight, 23);
    EXPECT_EQ(info.process, 0xC0);
    EXPECT_FALSE(info.isExif);
  }
  {
    std::vector<uint8_t> file = {0xFF, 0xD8};
    for (int i = 0; i < 21; ++i) file.insert(file.end(), {0xFF, 0xE2, 0x00, 0x03, 0x00});
    CxMemFile stream(file.data(), uint32_t(file.size()));
    EXPECT_FALSE(reader.DecodeExif(stream));
    EXPECT_EQ(reader.LastMessage(), "Too many sections in jpg file");
  }
  {
    std::vector<uint8_t> file = {0xFF, 0xD8, 0xFF, 0xE2, 0x00, 0x01};
    CxMemFile stream(file.data(), uint32_t(file.size()));
    EXPECT_FALSE(reader.DecodeExif(stream));
    EXPECT_EQ(reader.LastMessage(), "invalid marker");
  }
  {
    std::vector<uint8_t> file = {0xFF, 0xD8, 0xFF, 0xE2, 0x00, 0x10, 0x01};
    CxMemFile stream(file.data(), uint32_t(file.size()));
    EXPECT_FALSE(reader.DecodeExif(stream));
    EXPECT_EQ(reader.LastMessage(), "Premature end of file?");
  }
  {
    std::vector<uint8_t> file = {0x89, 'P', 'N', 'G'};
    CxMemFile stream(file.data(), uint32_t(file.size()));
    EXPECT_FALSE(reader.DecodeExif(stream));
  }
}

TEST(CxExifReader, ImageModeKeepsTheCompressedDataAsOneMoreSection) {
  const std::vector<uint8_t> file = CompressJpeg(ColourRecipe());
  CxExifInfo info{};
  CxExifReader reader(&info);
  CxMemFile stream(const_cast<uint8_t*>(file.data()), uint32_t(file.size()));
  ASSERT_TRUE(reader.DecodeExif(stream, CxExifReader::kReadExif | CxExifReader::kReadImage));
  EXPECT_TRUE(stream.Eof());
  EXPECT_GE(reader.SectionCount(), 2u);
}

// ---------------------------------------------------------------------------------------------

namespace {

std::vector<std::string> TestdataJpegs(const std::string& directory) {
  std::vector<std::string> files;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return files;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = directory + "/" + name;
    if (entry->d_type == DT_DIR) {
      for (const std::string& inner : TestdataJpegs(path)) files.push_back(inner);
    } else if (name.size() > 4 && name.substr(name.size() - 4) == ".jpg") {
      files.push_back(path);
    }
  }
  closedir(dir);
  return files;
}

}  // namespace

TEST(JpegTestdata, EveryFileLibjpegDecodesLoadsPixelForPixel) {
  const std::vector<std::string> files = TestdataJpegs(ENGRAVING_TESTDATA_DIR "/jpeg");
  ASSERT_GE(files.size(), 9u) << "test pictures missing from " ENGRAVING_TESTDATA_DIR;
  int decoded = 0;
  int rejected = 0;
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    const std::vector<uint8_t> bytes = ReadWholeFile(path);
    const IndependentDecode reference = DecodeIndependently(bytes);
    EngraveImage holder;
    const bool loaded = holder.LoadPicture(path);
    if (!reference.ok) {
      // 12-bit files: libjpeg refuses them, and so must the picture loader, cleanly.
      EXPECT_FALSE(loaded);
      EXPECT_EQ(holder.Picture(), nullptr);
      CxImage direct;
      EXPECT_FALSE(DecodeBytes(direct, bytes));
      EXPECT_STREQ(direct.LastErrorText(), reference.error.c_str());
      ++rejected;
      continue;
    }
    ASSERT_TRUE(loaded);
    CxImage& picture = *holder.Picture();
    if (reference.components == 3) ExpectColourMatches(picture, reference);
    ASSERT_TRUE(picture.ToGray());
    ExpectGrayMatches(picture, reference);
    ++decoded;
  }
  EXPECT_EQ(decoded, 7);
  EXPECT_EQ(rejected, 2);
}

// LoadPictureGray replaces the dialog's LoadPicture + ToGray: the two must not differ in one
// byte of the picture, nor in whether the load succeeds (but for colour JPEGs too large at
// 24 bits, which only the gray load can take: LargePhotoTest).
namespace {

void ExpectSamePicture(const CxImage& fused, const CxImage& twoStep) {
  ASSERT_EQ(std::memcmp(&fused.Header(), &twoStep.Header(), sizeof(CxBitmapInfoHeader)), 0);
  ASSERT_EQ(fused.RowAddress(0) - fused.PixelBlock(), twoStep.RowAddress(0) - twoStep.PixelBlock());
  // Header copy, palette with its reserved bytes, every row with its padding.
  const size_t blockSize =
      size_t(fused.RowAddress(0) - fused.PixelBlock()) + fused.Header().biSizeImage;
  ASSERT_EQ(std::memcmp(fused.PixelBlock(), twoStep.PixelBlock(), blockSize), 0);

  const CxImageInfo& a = fused.Info();
  const CxImageInfo& b = twoStep.Info();
  EXPECT_EQ(a.rowStride, b.rowStride);
  EXPECT_EQ(a.formatCode, b.formatCode);
  EXPECT_STREQ(a.lastError, b.lastError);
  EXPECT_EQ(a.escape, b.escape);
  EXPECT_EQ(a.keyIndex, b.keyIndex);
  EXPECT_EQ(a.keyColor, b.keyColor);
  EXPECT_EQ(a.quality, b.quality);
  EXPECT_EQ(a.jpegScale, b.jpegScale);
  EXPECT_EQ(a.frameIndex, b.frameIndex);
  EXPECT_EQ(a.frameCount, b.frameCount);
  EXPECT_EQ(a.dpiX, b.dpiX);
  EXPECT_EQ(a.dpiY, b.dpiY);
  EXPECT_EQ(a.alphaMax, b.alphaMax);
  EXPECT_EQ(a.enabled, b.enabled);
  EXPECT_EQ(std::memcmp(a.codecOptions, b.codecOptions, sizeof(a.codecOptions)), 0);
  EXPECT_EQ(a.nearestValid, b.nearestValid);
  EXPECT_EQ(fused.HasAlpha(), twoStep.HasAlpha());
}

// Both fail, or both succeed with the same picture.
void ExpectBothWaysAlike(const std::string& path) {
  SCOPED_TRACE(path);
  EngraveImage twoStep;
  const bool loaded = twoStep.LoadPicture(path);
  if (loaded) twoStep.Picture()->ToGray();
  EngraveImage fused;
  ASSERT_EQ(fused.LoadPictureGray(path), loaded);
  if (!loaded) {
    EXPECT_EQ(fused.Picture(), nullptr);
    return;
  }
  ExpectSamePicture(*fused.Picture(), *twoStep.Picture());
}

class LoadPictureGrayTest : public testing::Test {
 protected:
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir_.File(name);
    WriteWholeFile(path, bytes);
    return path;
  }

  TempDir dir_;
};

}  // namespace

TEST_F(LoadPictureGrayTest, TestdataPicturesLoadAsTheTwoStepLoadLeavesThem) {
  std::vector<std::string> files = TestdataJpegs(ENGRAVING_TESTDATA_DIR "/jpeg");
  ASSERT_GE(files.size(), 9u);
  // Other formats take the two-step route; a few palette and colour BMPs show that they do.
  for (const char* name : {"pal1.bmp", "pal4.bmp", "pal8.bmp", "pal8gs.bmp", "rgb24.bmp"}) {
    files.push_back(ENGRAVING_TESTDATA_DIR "/bmpsuite/g/" + std::string(name));
  }
  for (const std::string& path : files) ExpectBothWaysAlike(path);
}

TEST_F(LoadPictureGrayTest, GeneratedJpegsLoadAsTheTwoStepLoadLeavesThem) {
  struct Case {
    const char* name;
    JpegRecipe recipe;
    bool grayRows;  // whether the decoder itself should store gray rows
  };
  JpegRecipe narrow = ColourRecipe(37, 23);  // ToGray converts through a temporary image
  narrow.densityUnit = 2;
  narrow.xDensity = 118;
  narrow.yDensity = 40;
  JpegRecipe wide = ColourRecipe(1203, 17);  // ToGray converts in place; rows carry padding
  JpegRecipe large = ColourRecipe(3001, 2001);
  large.sample = [](int x, int y, int c) { return uint8_t((x * (c + 1) + y * (3 - c)) / 7); };
  JpegRecipe progressive = ColourRecipe(50, 40);
  progressive.progressive = true;
  JpegRecipe gray = ColourRecipe(41, 19);
  gray.inputSpace = JCS_GRAYSCALE;
  JpegRecipe cmyk = ColourRecipe(21, 13);
  cmyk.inputSpace = JCS_CMYK;
  cmyk.fileSpace = JCS_YCCK;
  const Case cases[] = {
      {"narrow.jpg", narrow, true}, {"wide.JPG", wide, true},
      {"large.jpeg", large, true},  {"progressive.jpg", progressive, true},
      {"gray.jpg", gray, false},    {"cmyk.jpg", cmyk, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> file = CompressJpeg(c.recipe);
    CxImage direct;
    direct.SetCodecOption(kCxJpegGrayRows, kCxFormatJpeg);
    ASSERT_TRUE(DecodeBytes(direct, file));
    EXPECT_EQ(direct.BitsPerPixel() == 8 && c.recipe.inputSpace != JCS_GRAYSCALE, c.grayRows);

    ExpectBothWaysAlike(Write(c.name, file));
  }

  // Photos stored sideways are turned upright by both loads, the colour one before its
  // conversion and the gray one after it; rows of odd lengths on either side of the turn.
  const std::pair<int, uint16_t> turns[] = {{6, 3}, {8, 6}, {5, 7}, {7, 2}};
  for (const auto& [orientation, pad] : turns) {
    JpegRecipe sideways = ColourRecipe(40 + pad, 21 + pad);
    sideways.markers.push_back(
        {JPEG_APP0 + 1, ExifBuilder(pad % 2 == 0).Short(0x0112, uint16_t(orientation)).Build()});
    ExpectBothWaysAlike(
        Write("sideways" + std::to_string(orientation) + ".jpg", CompressJpeg(sideways)));
  }
  JpegRecipe mirrored = gray;
  mirrored.markers.push_back({JPEG_APP0 + 1, ExifBuilder(true).Short(0x0112, 2).Build()});
  ExpectBothWaysAlike(Write("mirrored.jpg", CompressJpeg(mirrored)));

  // Through the fallback, and with the key colour a ".bmp" name brings; and cut short.
  const std::vector<uint8_t> file = CompressJpeg(wide);
  ExpectBothWaysAlike(Write("named.bmp", file));
  ExpectBothWaysAlike(Write("named.png", file));
  ExpectBothWaysAlike(
      Write("cut.jpg", std::vector<uint8_t>(file.begin(), file.begin() + long(file.size() / 2))));
}

TEST_F(LoadPictureGrayTest, FailsWhereTheTwoStepLoadFails) {
  const std::vector<uint8_t> whole = CompressJpeg(ColourRecipe());
  ExpectBothWaysAlike(Write("empty.jpg", {}));
  ExpectBothWaysAlike(Write("text.jpg", {'h', 'e', 'l', 'l', 'o'}));
  ExpectBothWaysAlike(
      Write("headers.jpg", std::vector<uint8_t>(whole.begin(), whole.begin() + 30)));
  ExpectBothWaysAlike(Write("photo", whole));
  ExpectBothWaysAlike(dir_.File("missing.jpg"));

  // 16001 x 16000 is past the memory guard even as gray bytes (rows of 16004).
  std::vector<uint8_t> huge = whole;
  for (size_t i = 0; i + 8 < huge.size(); ++i) {
    if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
      huge[i + 5] = 0x3E;  // height 16000
      huge[i + 6] = 0x80;
      huge[i + 7] = 0x3E;  // width 16001
      huge[i + 8] = 0x81;
      break;
    }
  }
  ExpectBothWaysAlike(Write("huge.jpg", huge));
  CxImage direct;
  direct.SetCodecOption(kCxJpegGrayRows, kCxFormatJpeg);
  EXPECT_FALSE(DecodeBytes(direct, huge));
  EXPECT_STREQ(direct.LastErrorText(), "CXIMAGE_MAX_MEMORY exceeded");
}
