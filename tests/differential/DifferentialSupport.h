// Helpers of the differential tests, which hold our decoders against pictures that outside tools
// wrote (ImageMagick's convert, netpbm) and against ImageMagick's own decode of the same files:
// a scratch folder to run the tools in, source pictures, both decodes and a pixel comparison.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "TempDir.h"
#include "image/CxImage.h"

namespace differential {

// Whether ImageMagick's convert runs here. scripts/setup.sh installs it, so only a machine set up
// by hand goes without, and there the tests skip.
bool HaveImageMagick();

#define SKIP_WITHOUT_IMAGEMAGICK()                                                            \
  do {                                                                                        \
    if (!::differential::HaveImageMagick())                                                   \
      GTEST_SKIP() << "ImageMagick's convert is not installed; scripts/setup.sh installs it"; \
  } while (false)

// A scratch folder, removed with everything in it when the test ends. Commands run inside it, so
// they name their files without a folder.
class Workspace {
 public:
  Workspace();

  std::string Path(const std::string& name) const;
  // Runs one shell command; its standard output goes to `output` when given. A non-zero exit
  // status is a test failure that quotes the command's error output, and gives false.
  bool Run(const std::string& command, std::vector<uint8_t>* output = nullptr) const;
  std::vector<uint8_t> ReadBytes(const std::string& name) const;
  void WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes) const;

 private:
  TempDir folder_;
};

// A picture as plain samples, top row first, `channels` samples per pixel: 1 gray, 2 gray and
// alpha, 3 red green blue, 4 red green blue alpha; each 0 .. maxval.
struct Samples {
  uint32_t width = 0;
  uint32_t height = 0;
  int channels = 3;
  uint32_t maxval = 255;
  std::vector<uint16_t> values;

  uint16_t& At(uint32_t x, uint32_t y, int channel) {
    return values[(size_t(y) * width + x) * size_t(channels) + size_t(channel)];
  }
  uint16_t At(uint32_t x, uint32_t y, int channel) const {
    return values[(size_t(y) * width + x) * size_t(channels) + size_t(channel)];
  }
};

// Source pictures, the same on every run.
// Smooth shades with a hard-edged disc and some grain: many colours, as in a photograph. With
// maxval 65535 the low bytes vary too.
Samples Photo(uint32_t width, uint32_t height, uint32_t maxval = 255);
// `colours` distinct colours in runs of different lengths and in rows of single pixels, so that
// run-length encoders write both runs and literals.
Samples FewColours(uint32_t width, uint32_t height, int colours);
// The first colour FewColours uses; present in every picture it makes.
void FirstFewColour(uint8_t rgb[3]);
// The luminance of a colour picture, as a gray picture with the same maxval.
Samples GrayOf(const Samples& colour);
// The gray picture in `levels` levels: values 0 .. levels - 1, maxval levels - 1.
Samples Posterized(const Samples& gray, uint32_t levels);
// An alpha plane of `levels` levels (2: clear or opaque) in diagonal bands, so that every row
// holds clear, opaque and partly clear pixels.
Samples AlphaBands(uint32_t width, uint32_t height, uint32_t levels, uint32_t maxval = 255);
// The picture with the alpha plane as its last channel.
Samples WithAlpha(const Samples& picture, const Samples& alpha);
// A colour as netpbm's "rgb:rr/gg/bb" names it, at the picture's maxval.
std::string NetpbmColour(const Samples& picture, uint32_t x, uint32_t y);

// Writes a PGM, PPM or PAM file (by the number of channels) into the workspace.
void WriteNetpbm(const Workspace& workspace, const std::string& name, const Samples& picture);

// ImageMagick's decode of a file in the workspace: `map` is "rgb", "rgba", "gray" or "cmyk",
// `depth` 8 or 16. JPEG files are decoded with the library's accurate integer transform and
// smooth chroma up-sampling (ImageMagick's defaults, and the JPEG library's that our decoder
// keeps), named here so that a change of ImageMagick's defaults cannot pass unnoticed.
Samples MagickDecode(const Workspace& workspace, const std::string& name, const std::string& map,
                     int depth);

// Our decode of a file in the workspace through LoadFile with a format code; null, with a test
// failure, when it does not load.
std::unique_ptr<CxImage> OurDecode(const Workspace& workspace, const std::string& name,
                                   uint32_t formatCode);
// Our decode of bytes in memory through Decode with a format code.
std::unique_ptr<CxImage> OurDecodeBytes(const std::vector<uint8_t>& bytes, uint32_t formatCode);
// Red, green and blue of every pixel of a loaded picture, top row first.
Samples RgbOf(const CxImage& image);
// The alpha mask, top row first.
Samples AlphaOf(const CxImage& image);

// Exact equality of two pictures, with the first differing pixels named on failure.
::testing::AssertionResult SamePixels(const Samples& ours, const Samples& expected);

}  // namespace differential
