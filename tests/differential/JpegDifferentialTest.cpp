#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DifferentialSupport.h"

namespace {

using namespace differential;

// What a tool actually wrote, from the frame header: the start-of-frame marker (0xC0 baseline,
// 0xC1 extended, 0xC2 progressive, 0xC9 arithmetic), the components and their sampling factors.
struct JpegLayout {
  int frameMarker = 0;
  std::string sampling;  // "2x2,1x1,1x1"
  bool operator==(const JpegLayout& other) const {
    return frameMarker == other.frameMarker && sampling == other.sampling;
  }
};

std::ostream& operator<<(std::ostream& out, const JpegLayout& layout) {
  return out << "marker 0x" << std::hex << layout.frameMarker << std::dec << ", sampling "
             << layout.sampling;
}

JpegLayout LayoutOf(const std::vector<uint8_t>& jpeg) {
  JpegLayout layout;
  for (size_t at = 2; at + 4 <= jpeg.size();) {
    if (jpeg[at] != 0xFF) break;
    const int marker = jpeg[at + 1];
    const size_t length = size_t((jpeg[at + 2] << 8) | jpeg[at + 3]);
    const bool frame =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame && at + 10 <= jpeg.size()) {
      layout.frameMarker = marker;
      const int components = jpeg[at + 9];
      for (int c = 0; c < components && at + 12 + 3 * size_t(c) < jpeg.size(); ++c) {
        const uint8_t factors = jpeg[at + 11 + 3 * size_t(c)];
        layout.sampling +=
            (c > 0 ? "," : "") + std::to_string(factors >> 4) + "x" + std::to_string(factors & 15);
      }
      break;
    }
    at += 2 + length;
  }
  return layout;
}

JpegLayout Layout(int frameMarker, const char* sampling) {
  return JpegLayout{frameMarker, sampling};
}

void CheckJpeg(const Workspace& workspace, const std::string& name) {
  const auto ours = OurDecode(workspace, name, kCxFormatJpeg);
  ASSERT_NE(ours, nullptr);
  EXPECT_TRUE(SamePixels(RgbOf(*ours), MagickDecode(workspace, name, "rgb", 8)));
}

// Both decoders run the same libjpeg-turbo with the same settings (the accurate integer
// transform, smooth chroma up-sampling), so every class must agree exactly, colour and gray.
TEST(JpegAgainstImageMagick, BaselineProgressiveGrayAndEverySamplingAgreeExactly) {
  SKIP_WITHOUT_IMAGEMAGICK();
  Workspace workspace;
  WriteNetpbm(workspace, "photo.ppm", Photo(203, 117));
  WriteNetpbm(workspace, "gray.pgm", GrayOf(Photo(203, 117)));
  WriteNetpbm(workspace, "tiny.ppm", Photo(7, 5));
  struct Case {
    std::string command;  // writes out.jpg
    JpegLayout layout;
  };
  const Case cases[] = {
      {"convert photo.ppm -quality 85 out.jpg", Layout(0xC0, "2x2,1x1,1x1")},
      {"convert photo.ppm -sampling-factor 2x1 out.jpg", Layout(0xC0, "2x1,1x1,1x1")},
      {"convert photo.ppm -sampling-factor 1x1 -quality 95 out.jpg", Layout(0xC0, "1x1,1x1,1x1")},
      {"convert photo.ppm -quality 80 -interlace JPEG out.jpg", Layout(0xC2, "2x2,1x1,1x1")},
      {"convert gray.pgm out.jpg", Layout(0xC0, "1x1")},
      {"convert gray.pgm -interlace JPEG out.jpg", Layout(0xC2, "1x1")},
      {"convert tiny.ppm -quality 70 out.jpg", Layout(0xC0, "2x2,1x1,1x1")},
      {"pnmtojpeg photo.ppm > out.jpg", Layout(0xC0, "2x2,1x1,1x1")},
      {"pnmtojpeg --progressive photo.ppm > out.jpg", Layout(0xC2, "2x2,1x1,1x1")},
      {"pnmtojpeg --grayscale photo.ppm > out.jpg", Layout(0xC0, "1x1")},
      {"pnmtojpeg gray.pgm > out.jpg", Layout(0xC0, "1x1")},
      {"pnmtojpeg --sample=1x2,1x1,1x1 --restart=1 --optimize photo.ppm > out.jpg",
       Layout(0xC0, "1x2,1x1,1x1")},
      {"pnmtojpeg --arithmetic photo.ppm > out.jpg", Layout(0xC9, "2x2,1x1,1x1")},
      {"pnmtojpeg --dct=float --quality=30 photo.ppm > out.jpg", Layout(0xC0, "2x2,1x1,1x1")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ASSERT_TRUE(workspace.Run(c.command));
    ASSERT_EQ(LayoutOf(workspace.ReadBytes("out.jpg")), c.layout);
    CheckJpeg(workspace, "out.jpg");
  }
}

TEST(JpegAgainstImageMagick, LibjpegTurboTestPicturesAgreeExactly) {
  SKIP_WITHOUT_IMAGEMAGICK();
  Workspace workspace;
  // Baseline, progressive and arithmetic-coded; the 12-bit pictures are beyond both decoders.
  for (const char* file : {"testorig.jpg", "testimgint.jpg", "testimgari.jpg"}) {
    SCOPED_TRACE(file);
    workspace.WriteBytes(file, ReadFileBytes(ENGRAVING_TESTDATA_DIR "/jpeg/" + std::string(file)));
    CheckJpeg(workspace, file);
  }
}

// CMYK: we take blue = y * k / 255 (and so on) of the samples as the file holds them, with
// integer division; ImageMagick rounds and also reports the samples inverted, as Adobe files
// store them. The expected values are our rule applied to its samples turned back.
TEST(JpegAgainstImageMagick, CmykPicturesFollowOurRuleOnImageMagicksSamples) {
  SKIP_WITHOUT_IMAGEMAGICK();
  Workspace workspace;
  WriteNetpbm(workspace, "photo.ppm", Photo(61, 23));
  ASSERT_TRUE(workspace.Run("convert photo.ppm -colorspace CMYK out.jpg"));
  ASSERT_EQ(LayoutOf(workspace.ReadBytes("out.jpg")).sampling, "1x1,1x1,1x1,1x1");
  const auto ours = OurDecode(workspace, "out.jpg", kCxFormatJpeg);
  ASSERT_NE(ours, nullptr);
  const Samples cmyk = MagickDecode(workspace, "out.jpg", "cmyk", 8);
  Samples expected{cmyk.width, cmyk.height, 3, 255, {}};
  for (size_t i = 0; i + 3 < cmyk.values.size(); i += 4) {
    const uint32_t k = 255u - cmyk.values[i + 3];
    for (int c = 0; c < 3; ++c) {
      expected.values.push_back(uint16_t((255u - cmyk.values[i + size_t(c)]) * k / 255));
    }
  }
  EXPECT_TRUE(SamePixels(RgbOf(*ours), expected));
}

}  // namespace
