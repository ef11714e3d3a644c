#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <string>
#include <vector>

#include "DifferentialSupport.h"

namespace {

using namespace differential;

uint32_t Be32(const std::vector<uint8_t>& b, size_t at) {
  return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) |
         b[at + 3];
}
uint16_t Be16(const std::vector<uint8_t>& b, size_t at) {
  return uint16_t((b[at] << 8) | b[at + 1]);
}

// What a tool actually wrote, read from the chunks.
struct PngLayout {
  int bitDepth = 0;
  int colorType = 0;
  bool interlaced = false;
  bool transparency = false;
  bool background = false;
  uint16_t backgroundSamples[3] = {0, 0, 0};  // red, green, blue (gray thrice) as stored

  int PixelDepth() const {
    static const int channels[] = {1, 0, 3, 1, 2, 0, 4};
    return bitDepth * channels[colorType & 7];
  }
  bool operator==(const PngLayout& other) const {
    return bitDepth == other.bitDepth && colorType == other.colorType &&
           interlaced == other.interlaced && transparency == other.transparency &&
           background == other.background;
  }
};

std::ostream& operator<<(std::ostream& out, const PngLayout& layout) {
  return out << "depth " << layout.bitDepth << ", colour type " << layout.colorType
             << (layout.interlaced ? ", interlaced" : "") << (layout.transparency ? ", tRNS" : "")
             << (layout.background ? ", bKGD" : "");
}

PngLayout LayoutOf(const std::vector<uint8_t>& png) {
  PngLayout layout;
  for (size_t at = 8; at + 12 <= png.size();) {
    const uint32_t length = Be32(png, at);
    if (at + 12 + size_t(length) > png.size()) break;
    const std::string type(png.begin() + long(at) + 4, png.begin() + long(at) + 8);
    const size_t data = at + 8;
    if (type == "IHDR") {
      layout.bitDepth = png[data + 8];
      layout.colorType = png[data + 9];
      layout.interlaced = png[data + 12] != 0;
    } else if (type == "tRNS") {
      layout.transparency = true;
    } else if (type == "bKGD" && layout.colorType != 3) {
      layout.background = true;
      for (int c = 0; c < 3; ++c) {
        layout.backgroundSamples[c] = Be16(png, data + (length == 2 ? 0 : 2 * size_t(c)));
      }
    }
    at += 12 + length;
  }
  return layout;
}

PngLayout Layout(int bitDepth, int colorType, const char* extras = "") {
  PngLayout layout;
  layout.bitDepth = bitDepth;
  layout.colorType = colorType;
  const std::string flags = extras;
  layout.interlaced = flags.find('i') != std::string::npos;
  layout.transparency = flags.find('t') != std::string::npos;
  layout.background = flags.find('b') != std::string::npos;
  return layout;
}

// What our decoder must deliver for a PNG, computed from ImageMagick's decode of it.
// - 16-bit samples are stripped to their high byte; ImageMagick's 8-bit output rounds
//   differently, so its 16-bit decode is shifted.
// - Palette pictures keep their palette colours; transparency goes to the palette's alpha.
// - 8-bit colour with alpha, and 16-bit gray with alpha (both 32 bits a pixel), keep their
//   colours and an alpha mask.
// - Every other picture is composited, by libpng's own rounding (png.h's png_composite), over the
//   file's background colour, or over light gray 192 (colour) or black (gray) without one.
//   ImageMagick composites nothing, so the expected values are made here from its colour and
//   alpha. 16-bit pictures are composited at 16 bits before stripping.
struct Expected {
  Samples rgb;
  bool hasAlpha = false;
  Samples alpha;
};

Expected ExpectedOf(const Workspace& workspace, const std::string& name, const PngLayout& layout) {
  Expected expected;
  const bool wide = layout.bitDepth == 16;
  const Samples magick = MagickDecode(workspace, name, "rgba", wide ? 16 : 8);
  expected.rgb = Samples{magick.width, magick.height, 3, 255, {}};
  expected.alpha = Samples{magick.width, magick.height, 1, 255, {}};
  const bool palette = layout.colorType == 3;
  const bool keepsAlpha = !palette && layout.PixelDepth() == 32;
  // Colour with alpha keeps a mask at either depth (all opaque once composited at 16 bits).
  expected.hasAlpha = layout.colorType == 6 || (layout.colorType == 4 && keepsAlpha);

  uint32_t background[3] = {0, 0, 0};
  const bool gray = (layout.colorType & 2) == 0;
  for (int c = 0; c < 3; ++c) {
    if (layout.background) {
      background[c] = layout.backgroundSamples[c];
      // A packed gray background names a sample of the file's own depth.
      if (layout.bitDepth < 8) background[c] = background[c] * 255 / ((1u << layout.bitDepth) - 1);
    } else {
      background[c] = gray ? 0 : (wide ? 192 * 257 : 192);
    }
  }

  const size_t pixels = size_t(magick.width) * magick.height;
  for (size_t i = 0; i < pixels && magick.values.size() == pixels * 4; ++i) {
    const uint16_t* p = &magick.values[4 * i];
    const uint32_t alpha = p[3];
    for (int c = 0; c < 3; ++c) {
      uint32_t value = p[c];
      if (!palette && !keepsAlpha) {
        if (wide) {
          png_uint_16 composite = 0;
          png_composite_16(composite, value, alpha, background[c]);
          value = composite;
        } else {
          png_byte composite = 0;
          png_composite(composite, value, alpha, background[c]);
          value = composite;
        }
      }
      expected.rgb.values.push_back(uint16_t(wide ? value >> 8 : value));
    }
    expected.alpha.values.push_back(uint16_t(wide ? alpha >> 8 : alpha));
  }
  return expected;
}

struct Case {
  std::string command;  // writes out.png
  PngLayout layout;
};

void CheckCases(const Workspace& workspace, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ASSERT_TRUE(workspace.Run(c.command));
    const PngLayout layout = LayoutOf(workspace.ReadBytes("out.png"));
    ASSERT_EQ(layout, c.layout);
    const auto ours = OurDecode(workspace, "out.png", kCxFormatPng);
    ASSERT_NE(ours, nullptr);
    const Expected expected = ExpectedOf(workspace, "out.png", layout);
    EXPECT_TRUE(SamePixels(RgbOf(*ours), expected.rgb));
    EXPECT_EQ(ours->HasAlpha(), expected.hasAlpha);
    if (layout.PixelDepth() == 32 && ours->HasAlpha()) {
      EXPECT_TRUE(SamePixels(AlphaOf(*ours), expected.alpha));
    }
  }
}

// The source pictures of the cases below, 61 x 23 so that packed rows end inside a byte.
void WriteSources(const Workspace& workspace) {
  constexpr uint32_t kWidth = 61;
  constexpr uint32_t kHeight = 23;
  const Samples photo = Photo(kWidth, kHeight);
  const Samples photo16 = Photo(kWidth, kHeight, 65535);
  const Samples gray = GrayOf(photo);
  const Samples gray16 = GrayOf(photo16);
  WriteNetpbm(workspace, "photo.ppm", photo);
  WriteNetpbm(workspace, "photo16.ppm", photo16);
  WriteNetpbm(workspace, "gray.pgm", gray);
  WriteNetpbm(workspace, "gray16.pgm", gray16);
  for (uint32_t bits : {1u, 2u, 4u}) {
    WriteNetpbm(workspace, "gray" + std::to_string(bits) + "bit.pgm", Posterized(gray, 1u << bits));
  }
  for (int colours : {2, 4, 16, 256}) {
    WriteNetpbm(workspace, "few" + std::to_string(colours) + ".ppm",
                FewColours(kWidth, kHeight, colours));
  }
  const Samples alpha = AlphaBands(kWidth, kHeight, 6);
  const Samples alpha16 = AlphaBands(kWidth, kHeight, 6, 65535);
  WriteNetpbm(workspace, "alpha.pgm", alpha);
  WriteNetpbm(workspace, "alpha16.pgm", alpha16);
  WriteNetpbm(workspace, "alpha3.pgm", AlphaBands(kWidth, kHeight, 3));
  WriteNetpbm(workspace, "photo.pam", WithAlpha(photo, alpha));
  WriteNetpbm(workspace, "photo16.pam", WithAlpha(photo16, alpha16));
  WriteNetpbm(workspace, "gray.pam", WithAlpha(gray, alpha));
  WriteNetpbm(workspace, "gray16.pam", WithAlpha(gray16, alpha16));
}

// The first colour of FewColours as netpbm ("rgb:rr/gg/bb") or ImageMagick ("'#rrggbb'",
// quoted for the shell) names it.
std::string FirstFewColourName(bool forImageMagick) {
  uint8_t first[3];
  FirstFewColour(first);
  char name[24];
  std::snprintf(name, sizeof name, forImageMagick ? "'#%02x%02x%02x'" : "rgb:%02x/%02x/%02x",
                first[0], first[1], first[2]);
  return name;
}

// -strip keeps ImageMagick from adding a white background chunk and a gamma chunk. With a gamma
// chunk libpng composites translucent pixels in linear light through its 8-bit gamma tables,
// which no plain formula follows (and ImageMagick converts the samples of files whose gamma is
// not sRGB's), so gamma-tagged files are only checked opaque, in the last case.
TEST(PngAgainstImageMagick, ImageMagickFilesOfEveryColourTypeAndDepth) {
  SKIP_WITHOUT_IMAGEMAGICK();
  Workspace workspace;
  WriteSources(workspace);
  const std::string firstColour = FirstFewColourName(true);
  const std::string gray = "convert -strip -define png:color-type=0 ";
  const std::string grayAlpha = "convert -strip -define png:color-type=4 ";
  CheckCases(
      workspace,
      {
          {gray + "-define png:bit-depth=1 gray1bit.pgm out.png", Layout(1, 0)},
          {gray + "-define png:bit-depth=2 gray2bit.pgm out.png", Layout(2, 0)},
          {gray + "-define png:bit-depth=4 gray4bit.pgm out.png", Layout(4, 0)},
          {gray + "-define png:bit-depth=8 gray.pgm out.png", Layout(8, 0)},
          {gray + "-define png:bit-depth=16 gray16.pgm out.png", Layout(16, 0)},
          {grayAlpha + "-define png:bit-depth=8 gray.pam out.png", Layout(8, 4)},
          {grayAlpha + "-define png:bit-depth=16 gray16.pam out.png", Layout(16, 4)},
          {"convert -strip photo.ppm PNG24:out.png", Layout(8, 2)},
          {"convert -strip photo16.ppm PNG48:out.png", Layout(16, 2)},
          {"convert -strip photo.pam PNG32:out.png", Layout(8, 6)},
          {"convert -strip photo16.pam PNG64:out.png", Layout(16, 6)},
          {"convert -strip few256.ppm PNG8:out.png", Layout(8, 3)},
          {"convert -strip -define png:color-type=3 -define png:bit-depth=1 few2.ppm out.png",
           Layout(1, 3)},
          {"convert -strip -define png:color-type=3 -define png:bit-depth=2 few4.ppm out.png",
           Layout(2, 3)},
          {"convert -strip -define png:color-type=3 -define png:bit-depth=4 few16.ppm out.png",
           Layout(4, 3)},
          {"convert -strip few256.ppm -transparent " + firstColour + " PNG8:out.png",
           Layout(8, 3, "t")},
          {"convert -strip -interlace PNG -define png:color-type=0 -define png:bit-depth=2 "
           "gray2bit.pgm out.png",
           Layout(2, 0, "i")},
          {"convert -strip -interlace PNG photo.ppm PNG24:out.png", Layout(8, 2, "i")},
          {"convert -strip -interlace PNG photo.pam PNG32:out.png", Layout(8, 6, "i")},
          {"convert -strip -interlace PNG photo16.pam PNG64:out.png", Layout(16, 6, "i")},
          {"convert -strip -interlace PNG few256.ppm PNG8:out.png", Layout(8, 3, "i")},
          {"convert -strip -interlace PNG -define png:color-type=4 -define png:bit-depth=16 "
           "gray16.pam out.png",
           Layout(16, 4, "i")},
          // As ImageMagick writes by default: gamma, chromaticities and a white background chunk.
          {"convert photo.ppm PNG24:out.png", Layout(8, 2, "b")},
      });
}

TEST(PngAgainstImageMagick, NetpbmFilesWithPalettesTransparencyAndBackgrounds) {
  SKIP_WITHOUT_IMAGEMAGICK();
  Workspace workspace;
  WriteSources(workspace);
  const std::string firstColour = FirstFewColourName(false);
  const Samples photo = Photo(61, 23);
  const Samples photo16 = Photo(61, 23, 65535);
  const std::string photoColour = NetpbmColour(photo, 0, 0);
  const std::string photo16Colour = NetpbmColour(photo16, 0, 0);
  const std::string grayLevel = NetpbmColour(GrayOf(photo), 0, 0);
  const std::string gray16Level = NetpbmColour(GrayOf(photo16), 0, 0);
  const std::string gray1Level = NetpbmColour(Posterized(GrayOf(photo), 2), 0, 0);
  const std::string gray2Level = NetpbmColour(Posterized(GrayOf(photo), 4), 0, 0);
  const std::string gray4Level = NetpbmColour(Posterized(GrayOf(photo), 16), 0, 0);
  CheckCases(
      workspace,
      {
          {"pnmtopng gray1bit.pgm > out.png", Layout(1, 0)},
          {"pnmtopng gray2bit.pgm > out.png", Layout(2, 0)},
          {"pnmtopng gray4bit.pgm > out.png", Layout(4, 0)},
          {"pnmtopng gray16.pgm > out.png", Layout(16, 0)},
          {"pnmtopng few2.ppm > out.png", Layout(1, 3)},
          {"pnmtopng few4.ppm > out.png", Layout(2, 3)},
          {"pnmtopng few16.ppm > out.png", Layout(4, 3)},
          {"pnmtopng few256.ppm > out.png", Layout(8, 3)},
          {"pnmtopng -interlace few4.ppm > out.png", Layout(2, 3, "i")},
          // Transparency chunks: one transparent palette entry (the key index), alpha values for
          // several entries, one transparent gray level or colour.
          {"pnmtopng -transparent " + firstColour + " few2.ppm > out.png", Layout(1, 3, "t")},
          {"pnmtopng -interlace -transparent " + firstColour + " few4.ppm > out.png",
           Layout(2, 3, "it")},
          {"pnmtopng -transparent " + firstColour + " few16.ppm > out.png", Layout(4, 3, "t")},
          {"pnmtopng -alpha alpha3.pgm few16.ppm > out.png", Layout(8, 3, "t")},
          {"pnmtopng -transparent " + gray1Level + " gray1bit.pgm > out.png", Layout(1, 0, "t")},
          {"pnmtopng -transparent " + gray2Level + " gray2bit.pgm > out.png", Layout(2, 0, "t")},
          {"pnmtopng -transparent " + gray4Level + " gray4bit.pgm > out.png", Layout(4, 0, "t")},
          {"pnmtopng -transparent " + grayLevel + " gray.pgm > out.png", Layout(8, 0, "t")},
          {"pnmtopng -transparent " + gray16Level + " gray16.pgm > out.png", Layout(16, 0, "t")},
          {"pnmtopng -transparent " + photoColour + " photo.ppm > out.png", Layout(8, 2, "t")},
          {"pnmtopng -transparent " + photo16Colour + " photo16.ppm > out.png", Layout(16, 2, "t")},
          {"pnmtopng -interlace -transparent " + photoColour + " photo.ppm > out.png",
           Layout(8, 2, "it")},
          // Alpha channels, and background chunks with and without them.
          {"pnmtopng -alpha alpha.pgm gray.pgm > out.png", Layout(8, 4)},
          {"pnmtopng -alpha alpha16.pgm gray16.pgm > out.png", Layout(16, 4)},
          {"pnmtopng -alpha alpha.pgm photo.ppm > out.png", Layout(8, 6)},
          {"pnmtopng -alpha alpha16.pgm photo16.ppm > out.png", Layout(16, 6)},
          {"pnmtopng -background rgb:40/40/40 -alpha alpha.pgm gray.pgm > out.png",
           Layout(8, 4, "b")},
          {"pnmtopng -interlace -background rgb:40/40/40 -alpha alpha.pgm gray.pgm > out.png",
           Layout(8, 4, "ib")},
          {"pnmtopng -background rgb:30/60/90 -alpha alpha.pgm photo.ppm > out.png",
           Layout(8, 6, "b")},
          {"pnmtopng -background rgb:3000/6000/9000 -alpha alpha16.pgm photo16.ppm > out.png",
           Layout(16, 6, "b")},
          {"pnmtopng -background rgb:30/60/90 -transparent " + photoColour + " photo.ppm > out.png",
           Layout(8, 2, "tb")},
          {"pnmtopng -background rgb:aa/aa/aa -transparent " + gray4Level +
               " gray4bit.pgm > out.png",
           Layout(4, 0, "tb")},
      });
}

}  // namespace
