#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "DecoderTestSupport.h"
#include "GifCodeWriter.h"
#include "image/CxGifDecoder.h"
#include "image/CxGifLzw.h"

namespace {

using namespace decoder_test;

bool DecodeFrame(CxGifDecoder& decoder, const std::vector<uint8_t>& bytes, int32_t frameIndex) {
  decoder.MutableInfo().frameIndex = frameIndex;
  return DecodeBytes(decoder, bytes);
}

// Compares a decoded frame with an expected RGBA picture. Where the expected pixel is opaque the
// colour must match. Where it is transparent, a composited frame must be transparent in its
// alpha mask, and a single palette frame must show its key index (when it has one).
void ExpectFrame(const CxGifDecoder& decoder, const RgbaPicture& expected) {
  ASSERT_EQ(decoder.ImageWidth(), expected.width);
  ASSERT_EQ(decoder.ImageHeight(), expected.height);
  int mismatches = 0;
  for (uint32_t row = 0; row < expected.height; ++row) {
    const int32_t y = int32_t(expected.height - 1 - row);
    for (uint32_t x = 0; x < expected.width; ++x) {
      const uint8_t* e = expected.At(x, row);
      bool same = true;
      if (e[3] == 255) {
        const CxRgbQuad c = decoder.PixelColor(int32_t(x), y, false);
        same = c.red == e[0] && c.green == e[1] && c.blue == e[2] &&
               (!decoder.HasAlpha() || decoder.AlphaGet(int32_t(x), y) == 255);
      } else if (decoder.HasAlpha()) {
        same = decoder.AlphaGet(int32_t(x), y) == 0;
      } else if (decoder.Info().keyIndex >= 0) {
        same = decoder.PixelIndex(int32_t(x), y) == decoder.Info().keyIndex;
      }
      if (!same && ++mismatches <= 3) ADD_FAILURE() << "pixel " << x << "," << row;
    }
  }
}

RgbaPicture RawRgba(const std::string& path, uint32_t width, uint32_t height) {
  RgbaPicture picture;
  picture.width = width;
  picture.height = height;
  picture.rgba = ReadFileBytes(path);
  EXPECT_EQ(picture.rgba.size(), size_t(width) * height * 4) << path;
  picture.rgba.resize(size_t(width) * height * 4);
  return picture;
}

// One test of the pygif suite, from its .conf file.
struct PygifCase {
  std::string name;
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<std::string> frames;  // expected picture of each frame, .rgba or .png
};

PygifCase ReadPygifCase(const std::string& name) {
  PygifCase c;
  c.name = name;
  std::ifstream in(TestData("gif/pygif-test-suite/" + name + ".conf"));
  std::string line;
  while (std::getline(in, line)) {
    const size_t equals = line.find(" = ");
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 3);
    if (key == "width") c.width = uint32_t(std::stoul(value));
    if (key == "height") c.height = uint32_t(std::stoul(value));
    if (key == "pixels" || key == "image") c.frames.push_back(value);
  }
  return c;
}

std::vector<std::string> PygifTests() {
  std::vector<std::string> names;
  std::ifstream in(TestData("gif/pygif-test-suite/TESTS"));
  std::string name;
  while (in >> name) names.push_back(name);
  return names;
}

// The suite shows images without a delay together with the next delayed one as one frame; we
// number every image. Frame k is therefore the k-th image with a delay, or, in a file without
// delays, the last image.
std::vector<int32_t> ImagesShownAsFrames(const std::vector<uint8_t>& bytes, size_t frames) {
  CxGifDecoder probe;
  if (!DecodeFrame(probe, bytes, 0)) return {};
  const int32_t images = probe.Info().frameCount;
  if (size_t(images) == frames) {
    std::vector<int32_t> identity;
    for (int32_t i = 0; i < images; ++i) identity.push_back(i);
    return identity;
  }
  std::vector<int32_t> delayed;
  for (int32_t i = 0; i < images; ++i) {
    CxGifDecoder decoder;
    if (DecodeFrame(decoder, bytes, i) && decoder.Info().frameDelay > 0) delayed.push_back(i);
  }
  if (delayed.size() == frames) return delayed;
  if (frames == 1) return {images - 1};
  return {};
}

// Tests whose expectation we deliberately do not share.
const std::map<std::string, std::string> kPygifDifferences = {
    {"no-data", "no image in the file: we fail rather than show a transparent screen"},
    {"image-zero-width", "the empty image carries no data block at all: we fail"},
    {"image-zero-height", "the empty image carries no data block at all: we fail"},
    {"image-zero-size", "the empty image carries no data block at all: we fail"},
    {"plain-text", "the suite ignores the image after a plain-text block; we show it"},
    {"image-overlap-bg", "a frame reaching past the screen is passed over, not clipped"},
};

TEST(GifPygifSuite, FramesMatchTheExpectedPictures) {
  int compared = 0;
  for (const std::string& name : PygifTests()) {
    SCOPED_TRACE(name);
    if (kPygifDifferences.count(name) != 0) continue;
    const PygifCase c = ReadPygifCase(name);
    const std::vector<uint8_t> bytes =
        ReadFileBytes(TestData("gif/pygif-test-suite/" + name + ".gif"));
    if (c.frames.empty()) {
      CxGifDecoder decoder;
      EXPECT_FALSE(DecodeFrame(decoder, bytes, 0)) << "the suite expects no picture";
      continue;
    }
    const std::vector<int32_t> images = ImagesShownAsFrames(bytes, c.frames.size());
    ASSERT_EQ(images.size(), c.frames.size());
    for (size_t k = 0; k < c.frames.size(); ++k) {
      SCOPED_TRACE(c.frames[k]);
      const std::string path = TestData("gif/pygif-test-suite/" + c.frames[k]);
      const RgbaPicture expected = path.ends_with(".png") ? ReferencePng(ReadFileBytes(path))
                                                          : RawRgba(path, c.width, c.height);
      CxGifDecoder decoder;
      ASSERT_TRUE(DecodeFrame(decoder, bytes, images[k]));
      ExpectFrame(decoder, expected);
      ++compared;
    }
  }
  EXPECT_GT(compared, 90);
}

TEST(GifPeterdnSuite, FramesMatchTheExpectedPictures) {
  const std::string folder = TestData("gif/peterdn-gif-test-suite/");
  for (const std::string& path : ListFiles(folder, ".gif")) {
    const std::string name = BaseName(path).substr(0, BaseName(path).size() - 4);
    SCOPED_TRACE(name);
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    CxGifDecoder probe;
    ASSERT_TRUE(DecodeFrame(probe, bytes, 0));
    const int32_t frames = probe.Info().frameCount;
    for (int32_t k = 0; k < frames; ++k) {
      // The last frame of this file reaches past the screen: it is passed over, not clipped.
      if (name == "animated_transparent_loop_frames_out_of_bounds" && k == 3) continue;
      const std::string expectedPath =
          folder + "frames/" + name + (frames > 1 ? "-" + std::to_string(k) : "") + ".png";
      CxGifDecoder decoder;
      ASSERT_TRUE(DecodeFrame(decoder, bytes, k));
      SCOPED_TRACE(expectedPath);
      ExpectFrame(decoder, ReferencePng(ReadFileBytes(expectedPath)));
    }
  }
}

TEST(GifDecoder, InterlacedAndPlainFilesGiveTheSamePixels) {
  const std::pair<const char*, const char*> pairs[] = {
      {"wuffs/hippopotamus.interlaced.gif", "wuffs/hippopotamus.regular.gif"},
      {"peterdn-gif-test-suite/animated_loop_interlaced.gif",
       "peterdn-gif-test-suite/animated_loop.gif"},
  };
  for (const auto& [interlacedName, plainName] : pairs) {
    SCOPED_TRACE(interlacedName);
    const std::vector<uint8_t> interlacedBytes =
        ReadFileBytes(TestData(std::string("gif/") + interlacedName));
    const std::vector<uint8_t> plainBytes =
        ReadFileBytes(TestData(std::string("gif/") + plainName));
    CxGifDecoder probe;
    ASSERT_TRUE(DecodeFrame(probe, plainBytes, 0));
    for (int32_t k = 0; k < probe.Info().frameCount; ++k) {
      CxGifDecoder interlaced;
      CxGifDecoder plain;
      ASSERT_TRUE(DecodeFrame(interlaced, interlacedBytes, k));
      ASSERT_TRUE(DecodeFrame(plain, plainBytes, k));
      EXPECT_EQ(GrayOf(interlaced).values, GrayOf(plain).values) << "frame " << k;
    }
  }
}

TEST(GifDecoder, FrameSelectionCountAndDelay) {
  const std::vector<uint8_t> bytes = ReadFileBytes(TestData("gif/wuffs/muybridge.gif"));
  CxGifDecoder last;
  ASSERT_TRUE(DecodeFrame(last, bytes, 14));
  EXPECT_EQ(last.Info().frameCount, 15);
  EXPECT_GT(last.Info().frameDelay, 0u);
  EXPECT_EQ(last.BitsPerPixel(), 24);

  for (int32_t outside : {-1, 15}) {
    CxGifDecoder decoder;
    EXPECT_FALSE(DecodeFrame(decoder, bytes, outside));
    EXPECT_EQ(decoder.Info().frameCount, 15);
  }
}

TEST(GifDecoder, SingleFramePicturesKeepTheirPaletteAndKeyIndex) {
  CxGifDecoder plain;
  ASSERT_TRUE(DecodeFrame(plain, ReadFileBytes(TestData("gif/wuffs/pjw-thumbnail.gif")), 0));
  EXPECT_EQ(plain.BitsPerPixel(), 1);
  EXPECT_EQ(plain.Info().keyIndex, -1);

  CxGifDecoder keyed;
  ASSERT_TRUE(DecodeFrame(
      keyed, ReadFileBytes(TestData("gif/wuffs/hippopotamus.masked-with-muybridge.gif")), 0));
  EXPECT_EQ(keyed.Info().keyIndex, 211);
  EXPECT_EQ(keyed.BitsPerPixel(), 8);
}

TEST(GifDecoder, DimensionsOnlyModeGivesTheScreenSize) {
  CxGifDecoder decoder;
  decoder.MutableInfo().escape = -1;
  ASSERT_TRUE(DecodeBytes(decoder, ReadFileBytes(TestData("gif/wuffs/harvesters.gif"))));
  EXPECT_EQ(decoder.ImageWidth(), 1165u);
  EXPECT_EQ(decoder.ImageHeight(), 859u);
  EXPECT_FALSE(decoder.IsLoaded());
}

TEST(GifDecoder, DamagedFilesFailCleanly) {
  const std::vector<uint8_t> good = ReadFileBytes(TestData("gif/wuffs/hippopotamus.regular.gif"));
  for (size_t length : {size_t(5), size_t(13), size_t(40), good.size() / 2, good.size() - 3}) {
    CxGifDecoder decoder;
    EXPECT_FALSE(
        DecodeBytes(decoder, std::vector<uint8_t>(good.begin(), good.begin() + long(length))))
        << length;
  }
  CxGifDecoder truncated;
  EXPECT_FALSE(DecodeBytes(
      truncated, ReadFileBytes(TestData("gif/wuffs/hippopotamus.interlaced.truncated.gif"))));
  CxGifDecoder notGif;
  EXPECT_FALSE(DecodeBytes(notGif, std::vector<uint8_t>{'G', 'I', 'F', '7', '9', 'a'}));

  CxGifDecoder cancelled;
  cancelled.MutableInfo().escape = 1;
  EXPECT_FALSE(DecodeBytes(cancelled, good));
}

TEST(GifDecoder, EveryFileOfTheSuitesIsHandledCleanly) {
  for (const char* folder : {"gif/wuffs", "gif/wuffs/artificial-gif", "gif/pygif-test-suite",
                             "gif/peterdn-gif-test-suite"}) {
    for (const std::string& path : ListFiles(TestData(folder), ".gif")) {
      SCOPED_TRACE(path);
      const std::vector<uint8_t> bytes = ReadFileBytes(path);
      for (int32_t frame : {0, 1, 3}) {
        CxGifDecoder decoder;
        if (DecodeFrame(decoder, bytes, frame)) GrayOf(decoder);
      }
    }
  }
}

// LZW data written code by code, least significant bit first.
std::vector<uint8_t> PackCodes(const std::vector<std::pair<uint32_t, int>>& codes) {
  GifCodeWriter writer(0);
  for (const auto& [code, width] : codes) writer.Put(code, width);
  return writer.Packed();
}

struct LzwOutcome {
  CxGifLzw::Result result;
  std::vector<uint8_t> pixels;
};

LzwOutcome Lzw(int minimumCodeSize, const std::vector<uint8_t>& data, size_t capacity) {
  CxGifLzw lzw;
  std::vector<uint8_t> out(capacity, 0xEE);
  size_t produced = 0;
  const CxGifLzw::Result result =
      lzw.Decode(minimumCodeSize, data.data(), data.size(), out.data(), out.size(), produced);
  out.resize(produced);
  return {result, out};
}

TEST(GifLzw, DecodesTheCodeThatIsBeingDefined) {
  // Clear 4, end 5; code 6 is defined by its own use: "1" then "1 1".
  const LzwOutcome outcome = Lzw(2, PackCodes({{4, 3}, {1, 3}, {6, 3}, {2, 3}, {5, 4}}), 10);
  EXPECT_EQ(outcome.result, CxGifLzw::Result::kComplete);
  EXPECT_EQ(outcome.pixels, (std::vector<uint8_t>{1, 1, 1, 2}));
}

TEST(GifLzw, CodesNamingNoEntryAreRejected) {
  EXPECT_EQ(Lzw(2, PackCodes({{4, 3}, {1, 3}, {7, 3}}), 10).result, CxGifLzw::Result::kInvalidCode);
  EXPECT_EQ(Lzw(2, PackCodes({{4, 3}, {6, 3}}), 10).result, CxGifLzw::Result::kInvalidCode);
  // A literal above 255 (possible with a minimum code size of 9 or more) names no colour.
  EXPECT_EQ(Lzw(9, PackCodes({{512, 10}, {300, 10}}), 10).result, CxGifLzw::Result::kInvalidCode);
  EXPECT_EQ(Lzw(0, PackCodes({{1, 1}}), 10).result, CxGifLzw::Result::kInvalidCode);
  EXPECT_EQ(Lzw(12, PackCodes({{4096, 13}}), 10).result, CxGifLzw::Result::kInvalidCode);
}

TEST(GifLzw, OutputBeyondTheCapacityIsDroppedAndMissingDataIsReported) {
  const std::vector<uint8_t> data = PackCodes({{4, 3}, {1, 3}, {6, 3}, {6, 3}, {5, 3}});
  const LzwOutcome full = Lzw(2, data, 3);
  EXPECT_EQ(full.result, CxGifLzw::Result::kComplete);
  EXPECT_EQ(full.pixels, (std::vector<uint8_t>{1, 1, 1}));

  const LzwOutcome cut = Lzw(2, PackCodes({{4, 3}, {3, 3}}), 10);
  EXPECT_EQ(cut.result, CxGifLzw::Result::kEndOfData);
  EXPECT_EQ(cut.pixels, (std::vector<uint8_t>{3}));
}

TEST(GifLzw, TheFullTableKeepsTwelveBitCodesUntilTheNextClear) {
  // Literal 0 over and over: each code adds an entry until the table holds 4096 of them; later
  // codes stay 12 bits wide and refer to existing entries.
  std::vector<std::pair<uint32_t, int>> codes = {{256, 9}, {0, 9}};
  uint32_t next = 258;
  int width = 9;
  size_t pixels = 1;
  while (next < 4096) {
    codes.push_back({0, width});
    ++pixels;
    ++next;
    if (next == (1u << width) && width < 12) ++width;
  }
  codes.push_back({4095, 12});
  codes.push_back({257, 12});
  const LzwOutcome outcome = Lzw(8, PackCodes(codes), 1 << 20);
  EXPECT_EQ(outcome.result, CxGifLzw::Result::kComplete);
  EXPECT_EQ(outcome.pixels.size(), pixels + 2);
}

}  // namespace
