#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <filesystem>
#include <string>
#include <vector>

#include "DifferentialSupport.h"

namespace {

using namespace differential;

uint16_t Le16(const std::vector<uint8_t>& b, size_t at) {
  return uint16_t(b[at] | (b[at + 1] << 8));
}
uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) |
         (uint32_t(b[at + 3]) << 24);
}
void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// What a tool actually wrote, read from the file's headers, so that a tool that picks another
// layout than asked for cannot thin out the coverage unnoticed.
struct BmpLayout {
  uint32_t headerSize = 0;
  uint16_t bitCount = 0;
  uint32_t compression = 0;
  uint32_t masks[3] = {0, 0, 0};  // red, green, blue
  bool operator==(const BmpLayout& other) const {
    return headerSize == other.headerSize && bitCount == other.bitCount &&
           compression == other.compression;
  }
};

BmpLayout LayoutOf(const std::vector<uint8_t>& bmp) {
  BmpLayout layout;
  if (bmp.size() < 14 + 40) return layout;
  layout.headerSize = Le32(bmp, 14);
  layout.bitCount = Le16(bmp, layout.headerSize == 12 ? 24 : 28);
  if (layout.headerSize >= 40) layout.compression = Le32(bmp, 30);
  if (layout.compression == 3 && bmp.size() >= 14 + 52) {
    for (int i = 0; i < 3; ++i) layout.masks[i] = Le32(bmp, 54 + 4 * size_t(i));
  } else if (layout.bitCount == 16) {
    const uint32_t fiveFiveFive[3] = {0x7C00, 0x03E0, 0x001F};
    std::copy(fiveFiveFive, fiveFiveFive + 3, layout.masks);
  } else if (layout.bitCount == 32) {
    const uint32_t bytes[3] = {0xFF0000, 0xFF00, 0xFF};
    std::copy(bytes, bytes + 3, layout.masks);
  }
  return layout;
}

std::ostream& operator<<(std::ostream& out, const BmpLayout& layout) {
  return out << "header " << layout.headerSize << ", " << layout.bitCount << " bits, compression "
             << layout.compression;
}

// Bit-field channels (16- and 32-bit pixels) are brought to 8 bits by shifting: a 5-bit 31 gives
// 248, a 10-bit 1023 keeps its top 8 bits. ImageMagick scales instead (31 gives 255), so the
// expected value is our rule applied to the channel value ImageMagick read, which the top bits of
// its 16-bit decode give back exactly.
Samples ShiftedChannels(const Samples& magick16, const uint32_t masks[3]) {
  Samples expected{magick16.width, magick16.height, 3, 255, {}};
  expected.values.reserve(magick16.values.size());
  for (size_t i = 0; i < magick16.values.size(); ++i) {
    const uint32_t mask = masks[i % 3];
    const int bits = std::popcount(mask);
    if (bits > 16) {
      ADD_FAILURE() << "a channel of " << bits << " bits";
      return expected;
    }
    const uint32_t value = bits == 0 ? 0 : uint32_t(magick16.values[i]) >> (16 - bits);
    expected.values.push_back(
        uint16_t(bits >= 8 ? value >> (bits - 8) : (value << (8 - bits)) & 0xFF));
  }
  return expected;
}

Samples ExpectedOf(const Workspace& workspace, const std::string& name, const BmpLayout& layout) {
  if (layout.bitCount == 16 || layout.bitCount == 32) {
    return ShiftedChannels(MagickDecode(workspace, name, "rgb", 16), layout.masks);
  }
  return MagickDecode(workspace, name, "rgb", 8);
}

// Writes the file with the command, checks the layout it got, and holds our decode against
// ImageMagick's.
void CheckWrittenFile(const Workspace& workspace, const std::string& command,
                      const std::string& name, const BmpLayout& wanted) {
  SCOPED_TRACE(command);
  ASSERT_TRUE(workspace.Run(command));
  const BmpLayout layout = LayoutOf(workspace.ReadBytes(name));
  ASSERT_EQ(layout, wanted);
  const auto ours = OurDecode(workspace, name, kCxFormatBmp);
  ASSERT_NE(ours, nullptr);
  EXPECT_TRUE(SamePixels(RgbOf(*ours), ExpectedOf(workspace, name, layout)));
}

BmpLayout Layout(uint32_t headerSize, uint16_t bitCount, uint32_t compression) {
  BmpLayout layout;
  layout.headerSize = headerSize;
  layout.bitCount = bitCount;
  layout.compression = compression;
  return layout;
}

// Palette sources as palette PNG files, so that ImageMagick reads them as palette pictures and
// keeps their colours without quantising.
void WritePaletteSource(const Workspace& workspace, const std::string& stem, int colours,
                        uint32_t width, uint32_t height) {
  WriteNetpbm(workspace, stem + ".ppm", FewColours(width, height, colours));
  ASSERT_TRUE(workspace.Run("pnmtopng " + stem + ".ppm > " + stem + ".png"));
}

TEST(BmpAgainstImageMagick, NetpbmBitmapsOfEveryPaletteDepthAndTrueColour) {
  SKIP_WITHOUT_IMAGEMAGICK();
  Workspace workspace;
  WriteNetpbm(workspace, "few2.ppm", FewColours(61, 23, 2));
  WriteNetpbm(workspace, "few16.ppm", FewColours(61, 23, 16));
  WriteNetpbm(workspace, "few200.ppm", FewColours(61, 23, 200));
  WriteNetpbm(workspace, "photo.ppm", Photo(61, 23));
  struct Case {
    const char* options;
    const char* source;
    uint32_t header;
    uint16_t bits;
  };
  for (const Case& c : {Case{"-bpp 1", "few2", 40, 1}, Case{"-bpp 4", "few16", 40, 4},
                        Case{"-bpp 8", "few16", 40, 8}, Case{"-bpp 8", "few200", 40, 8},
                        Case{"-bpp 24", "photo", 40, 24}, Case{"-os2 -bpp 1", "few2", 12, 1},
                        Case{"-os2 -bpp 4", "few16", 12, 4}, Case{"-os2 -bpp 8", "few200", 12, 8},
                        Case{"-os2 -bpp 24", "photo", 12, 24}}) {
    CheckWrittenFile(workspace,
                     std::string("ppmtobmp ") + c.options + " " + c.source + ".ppm > out.bmp",
                     "out.bmp", Layout(c.header, c.bits, 0));
  }
}

TEST(BmpAgainstImageMagick, ImageMagickBitmapsOfEveryDepthAndCompression) {
  SKIP_WITHOUT_IMAGEMAGICK();
  Workspace workspace;
  WritePaletteSource(workspace, "few2", 2, 61, 23);
  WritePaletteSource(workspace, "few16", 16, 61, 23);
  WritePaletteSource(workspace, "few256", 256, 61, 23);
  WriteNetpbm(workspace, "photo.ppm", Photo(61, 23));
  WriteNetpbm(workspace, "photo.pam", WithAlpha(Photo(61, 23), AlphaBands(61, 23, 5)));
  struct Case {
    const char* command;
    BmpLayout layout;
  };
  const Case cases[] = {
      {"convert few2.png -compress None BMP3:out.bmp", Layout(40, 1, 0)},
      {"convert few16.png -compress None BMP3:out.bmp", Layout(40, 4, 0)},
      {"convert few256.png -compress None BMP3:out.bmp", Layout(40, 8, 0)},
      {"convert few16.png -compress RLE BMP3:out.bmp", Layout(40, 8, 1)},
      {"convert few256.png -compress RLE BMP3:out.bmp", Layout(40, 8, 1)},
      {"convert photo.ppm BMP3:out.bmp", Layout(40, 24, 0)},
      {"convert photo.ppm BMP:out.bmp", Layout(124, 24, 0)},
      // 32 bits: plain, and with masks in the larger header; the alpha byte is not used.
      {"convert photo.pam -define bmp3:alpha=true BMP3:out.bmp", Layout(40, 32, 0)},
      {"convert photo.pam BMP:out.bmp", Layout(124, 32, 3)},
      {"convert photo.ppm -define bmp:subtype=RGB565 BMP:out.bmp", Layout(124, 16, 3)},
      {"convert photo.ppm -define bmp:subtype=RGB555 BMP:out.bmp", Layout(124, 16, 3)},
  };
  for (const Case& c : cases) CheckWrittenFile(workspace, c.command, "out.bmp", c.layout);
}

// Rows whose width is not a multiple of 4 end with a run over the padding bytes; every row must
// come out as in the uncompressed file of the same picture.
TEST(BmpAgainstImageMagick, RunLength8RowsOfAnyWidthDecodeLikeTheUncompressedFile) {
  SKIP_WITHOUT_IMAGEMAGICK();
  Workspace workspace;
  for (uint32_t width : {1u, 2u, 3u, 5u, 6u, 7u, 61u, 62u, 63u, 64u}) {
    for (int colours : {2, 16, 100, 256}) {
      SCOPED_TRACE("width " + std::to_string(width) + ", " + std::to_string(colours) + " colours");
      WritePaletteSource(workspace, "few", colours, width, 9);
      ASSERT_TRUE(workspace.Run("convert few.png -compress RLE BMP3:rle.bmp"));
      ASSERT_TRUE(workspace.Run("convert few.png -compress None BMP3:plain.bmp"));
      ASSERT_EQ(LayoutOf(workspace.ReadBytes("rle.bmp")).compression, 1u);
      ASSERT_EQ(LayoutOf(workspace.ReadBytes("plain.bmp")).compression, 0u);
      const auto rle = OurDecode(workspace, "rle.bmp", kCxFormatBmp);
      const auto plain = OurDecode(workspace, "plain.bmp", kCxFormatBmp);
      ASSERT_NE(rle, nullptr);
      ASSERT_NE(plain, nullptr);
      // ImageMagick 6.9.11 misreads the top row of its own run-length files 1 or 2 pixels wide,
      // so its decode of the uncompressed file is the reference.
      const Samples reference = MagickDecode(workspace, "plain.bmp", "rgb", 8);
      EXPECT_TRUE(SamePixels(RgbOf(*rle), reference));
      EXPECT_TRUE(SamePixels(RgbOf(*plain), reference));
      EXPECT_TRUE(SamePixels(reference, FewColours(width, 9, colours)));
    }
  }
}

// The same bit-field pixels in four arrangements: as written; with the masks after a 40-byte
// header instead of inside a larger one; without the file header; with a pixel offset of 0.
TEST(BmpAgainstImageMagick, BitfieldPixelsWithoutFileHeaderOrPixelOffset) {
  SKIP_WITHOUT_IMAGEMAGICK();
  Workspace workspace;
  WriteNetpbm(workspace, "photo.ppm", Photo(31, 13));
  WriteNetpbm(workspace, "photo.pam", WithAlpha(Photo(31, 13), AlphaBands(31, 13, 3)));
  for (const char* command : {"convert photo.ppm -define bmp:subtype=RGB565 BMP:out.bmp",
                              "convert photo.ppm -define bmp:subtype=RGB555 BMP:out.bmp",
                              "convert photo.pam BMP:out.bmp"}) {
    SCOPED_TRACE(command);
    ASSERT_TRUE(workspace.Run(command));
    const std::vector<uint8_t> written = workspace.ReadBytes("out.bmp");
    const BmpLayout layout = LayoutOf(written);
    ASSERT_EQ(layout.headerSize, 124u);
    ASSERT_EQ(layout.compression, 3u);
    const Samples expected = ExpectedOf(workspace, "out.bmp", layout);

    // File header, a 40-byte header, the three masks, the pixels.
    const uint32_t offset = Le32(written, 10);
    std::vector<uint8_t> short40(written.begin(), written.begin() + 14 + 40);
    PutLe32(short40, 14, 40);
    short40.insert(short40.end(), written.begin() + 14 + 40, written.begin() + 14 + 52);
    PutLe32(short40, 10, uint32_t(short40.size()));
    short40.insert(short40.end(), written.begin() + offset, written.end());

    std::vector<uint8_t> zeroOffset = short40;
    PutLe32(zeroOffset, 10, 0);
    struct Arrangement {
      const char* name;
      std::vector<uint8_t> bytes;
    };
    for (const Arrangement& a :
         {Arrangement{"as written", written}, Arrangement{"40-byte header", short40},
          Arrangement{"large header, no file header",
                      std::vector<uint8_t>(written.begin() + 14, written.end())},
          Arrangement{"40-byte header, no file header",
                      std::vector<uint8_t>(short40.begin() + 14, short40.end())},
          Arrangement{"pixel offset 0", zeroOffset}}) {
      SCOPED_TRACE(a.name);
      const auto ours = OurDecodeBytes(a.bytes, kCxFormatBmp);
      ASSERT_NE(ours, nullptr);
      EXPECT_TRUE(SamePixels(RgbOf(*ours), expected));
    }
  }
}

// Files nobody here wrote, among them the only run-length 4-bit pictures at hand (no tool on
// this machine writes RLE4): every good picture of the BMP Suite, and the questionable ones that
// both decoders read. The pixels that run-length deltas skip are index 0 in both. Left out:
// pictures ImageMagick refuses (cut-short run-length data, oversized palettes, odd OS/2 header
// sizes) or reads against the suite's own rendering (pal8os2v2); pictures our rules refuse or
// leave blank (header size 16, alpha bit fields, 2 bits a pixel); channels wider than 16 bits,
// which ImageMagick's 16-bit output cannot give back exactly.
TEST(BmpAgainstImageMagick, BmpSuitePicturesDecodeAsImageMagickReadsThem) {
  SKIP_WITHOUT_IMAGEMAGICK();
  Workspace workspace;
  const std::string suite = ENGRAVING_TESTDATA_DIR "/bmpsuite/";
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(suite + "g")) {
    files.push_back("g/" + entry.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  for (const char* questionable :
       {"pal1p1",      "pal4rletrns",    "pal8offs",       "pal8os2sp",     "pal8rletrns",
        "rgb16-231",   "rgb16-3103",     "rgb16faketrns",  "rgb24largepal", "rgb32-111110",
        "rgb32-xbgr",  "rgb32fakealpha", "rgb32h52",       "rgba16-1924",   "rgba16-4444",
        "rgba16-5551", "rgba32-1",       "rgba32-1010102", "rgba32-2",      "rgba32-81284",
        "rgba32h56"}) {
    files.push_back(std::string("q/") + questionable + ".bmp");
  }
  ASSERT_EQ(files.size(), 27u + 21u);
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const std::vector<uint8_t> bytes = ReadFileBytes(suite + file);
    workspace.WriteBytes("suite.bmp", bytes);
    const auto ours = OurDecode(workspace, "suite.bmp", kCxFormatBmp);
    ASSERT_NE(ours, nullptr);
    EXPECT_TRUE(SamePixels(RgbOf(*ours), ExpectedOf(workspace, "suite.bmp", LayoutOf(bytes))));
  }
}

}  // namespace
