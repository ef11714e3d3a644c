#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "DifferentialSupport.h"

namespace {

using namespace differential;

// What a tool actually wrote, from the header and the blocks before the first image.
struct GifLayout {
  uint32_t globalColours = 0;
  bool transparent = false;
  bool interlaced = false;
  bool operator==(const GifLayout& other) const {
    return globalColours == other.globalColours && transparent == other.transparent &&
           interlaced == other.interlaced;
  }
};

std::ostream& operator<<(std::ostream& out, const GifLayout& layout) {
  return out << layout.globalColours << " colours" << (layout.transparent ? ", transparent" : "")
             << (layout.interlaced ? ", interlaced" : "");
}

GifLayout LayoutOf(const std::vector<uint8_t>& gif) {
  GifLayout layout;
  if (gif.size() < 13) return layout;
  size_t at = 13;
  if ((gif[10] & 0x80) != 0) {
    layout.globalColours = 2u << (gif[10] & 7);
    at += 3 * size_t(layout.globalColours);
  }
  while (at < gif.size()) {
    if (gif[at] == 0x2C) {  // the first image descriptor
      if (at + 9 < gif.size()) layout.interlaced = (gif[at + 9] & 0x40) != 0;
      break;
    }
    if (gif[at] != 0x21 || at + 2 >= gif.size()) break;
    if (gif[at + 1] == 0xF9 && at + 3 < gif.size()) layout.transparent = (gif[at + 3] & 1) != 0;
    at += 2;
    while (at < gif.size() && gif[at] != 0) at += size_t(gif[at]) + 1;  // data sub-blocks
    ++at;
  }
  return layout;
}

GifLayout Layout(uint32_t colours, bool transparent = false, bool interlaced = false) {
  GifLayout layout;
  layout.globalColours = colours;
  layout.transparent = transparent;
  layout.interlaced = interlaced;
  return layout;
}

// Transparent pixels are compared by the colour their palette entry holds: ImageMagick reports
// it beside the alpha, and we store it.
TEST(GifAgainstImageMagick, NetpbmAndImageMagickFilesPlainInterlacedAndTransparent) {
  SKIP_WITHOUT_IMAGEMAGICK();
  Workspace workspace;
  for (int colours : {2, 16, 256}) {
    const std::string stem = "few" + std::to_string(colours);
    WriteNetpbm(workspace, stem + ".ppm", FewColours(61, 23, colours));
    ASSERT_TRUE(workspace.Run("pnmtopng " + stem + ".ppm > " + stem + ".png"));
  }
  uint8_t first[3];
  FirstFewColour(first);
  char netpbmColour[16];
  std::snprintf(netpbmColour, sizeof netpbmColour, "rgb:%02x/%02x/%02x", first[0], first[1],
                first[2]);
  char magickColour[24];
  std::snprintf(magickColour, sizeof magickColour, "'rgb(%d,%d,%d)'", first[0], first[1], first[2]);
  struct Case {
    std::string command;
    GifLayout layout;
  };
  const Case cases[] = {
      {"ppmtogif few2.ppm > out.gif", Layout(2)},
      {"ppmtogif few16.ppm > out.gif", Layout(16)},
      {"ppmtogif few256.ppm > out.gif", Layout(256)},
      {"ppmtogif -interlace few256.ppm > out.gif", Layout(256, false, true)},
      {std::string("pamtogif -transparent ") + netpbmColour + " few16.ppm > out.gif",
       Layout(16, true)},
      {std::string("pamtogif -interlace -transparent ") + netpbmColour + " few256.ppm > out.gif",
       Layout(256, true, true)},
      {"convert few16.png out.gif", Layout(16)},
      {"convert few256.png -interlace GIF out.gif", Layout(256, false, true)},
      {std::string("convert few16.png -transparent ") + magickColour + " out.gif",
       Layout(16, true)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ASSERT_TRUE(workspace.Run(c.command));
    ASSERT_EQ(LayoutOf(workspace.ReadBytes("out.gif")), c.layout);
    const auto ours = OurDecode(workspace, "out.gif", kCxFormatGif);
    ASSERT_NE(ours, nullptr);
    EXPECT_TRUE(SamePixels(RgbOf(*ours), MagickDecode(workspace, "out.gif", "rgb", 8)));
  }
}

}  // namespace
