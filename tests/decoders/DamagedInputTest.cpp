// Damaged copies of valid files, made deterministically: every decoder must either load them or
// fail with false, and the sanitizer build checks that no buffer is overrun on the way.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "DecoderTestSupport.h"
#include "image/CxBmpDecoder.h"
#include "image/CxGifDecoder.h"
#include "image/CxPngDecoder.h"
#include "image/CxWbmpDecoder.h"

namespace {

using namespace decoder_test;

// Recomputes every chunk checksum, so that libpng looks at the damaged values themselves.
void FixPngChecksums(std::vector<uint8_t>& png) {
  size_t at = 8;
  while (at + 12 <= png.size()) {
    const uint32_t length =
        (uint32_t(png[at]) << 24) | (png[at + 1] << 16) | (png[at + 2] << 8) | png[at + 3];
    if (length > png.size() - at - 12) return;
    const uint32_t crc = uint32_t(crc32(0, &png[at + 4], uInt(length + 4)));
    for (int i = 0; i < 4; ++i) png[at + 8 + length + i] = uint8_t(crc >> (24 - 8 * i));
    at += 12 + length;
  }
}

constexpr int kVariants = 250;

// Returns how many variants loaded; the callers expect some to, so that the damage reaches the
// pixel decoding and does not only ever break the headers.
template <typename Decoder>
int DecodeVariants(const std::string& relative, size_t keep, bool pngChecksums = false,
                   int32_t frameIndex = 0) {
  const std::vector<uint8_t> original = ReadFileBytes(TestData(relative));
  EXPECT_FALSE(original.empty()) << relative;
  Mutator mutator(uint32_t(original.size()));
  int loaded = 0;
  for (int i = 0; i < kVariants; ++i) {
    std::vector<uint8_t> bytes = mutator.Damage(original, keep);
    if (pngChecksums) FixPngChecksums(bytes);
    Decoder decoder;
    decoder.MutableInfo().frameIndex = frameIndex;
    if (DecodeBytes(decoder, bytes)) {
      ++loaded;
      // A picture that loads must be whole: sized, convertible, every pixel readable.
      EXPECT_GT(decoder.ImageWidth(), 0u) << "variant " << i;
      EXPECT_GT(decoder.ImageHeight(), 0u) << "variant " << i;
      const GrayPlane plane = GrayOf(decoder);
      EXPECT_EQ(plane.values.size(), size_t(decoder.ImageWidth()) * decoder.ImageHeight())
          << "variant " << i;
    }
  }
  return loaded;
}

TEST(DamagedInput, BmpFiles) {
  for (const char* file :
       {"bmpsuite/g/pal8rle.bmp", "bmpsuite/g/pal4rle.bmp", "bmpsuite/g/rgb16-565.bmp",
        "bmpsuite/g/rgb32bf.bmp", "bmpsuite/g/pal8os2.bmp", "bmpsuite/q/pal8rletrns.bmp"}) {
    SCOPED_TRACE(file);
    EXPECT_GT(DecodeVariants<CxBmpDecoder>(file, 2), 0);
  }
}

TEST(DamagedInput, PngFiles) {
  for (const char* file :
       {"pngsuite/full/basi3p02.png", "pngsuite/full/basn6a16.png", "pngsuite/full/tbbn0g04.png",
        "pngsuite/full/basi4a08.png", "pngsuite/full/tm3n3p02.png"}) {
    SCOPED_TRACE(file);
    EXPECT_GT(DecodeVariants<CxPngDecoder>(file, 8, true), 0);
  }
}

TEST(DamagedInput, GifFiles) {
  for (const char* file :
       {"gif/peterdn-gif-test-suite/animated_transparent_frame_restoreprev_loop.gif",
        "gif/wuffs/hippopotamus.interlaced.gif",
        "gif/wuffs/artificial-gif/small-frame-interlaced.gif",
        "gif/pygif-test-suite/max-codes.gif"}) {
    SCOPED_TRACE(file);
    EXPECT_GT(DecodeVariants<CxGifDecoder>(file, 4, false, 0), 0);
    DecodeVariants<CxGifDecoder>(file, 4, false, 3);  // mostly past the last frame
  }
}

TEST(DamagedInput, WbmpFiles) {
  EXPECT_GT(DecodeVariants<CxWbmpDecoder>("wbmp/muybridge-frame-000.wbmp", 0), 0);
}

TEST(DispatchWithOurDecoders, EachFormatLoadsByItsCodeAndByTrial) {
  const std::pair<const char*, uint32_t> files[] = {
      {"bmpsuite/g/pal8rle.bmp", kCxFormatBmp},
      {"gif/wuffs/muybridge.gif", kCxFormatGif},
      {"pngsuite/full/basn6a08.png", kCxFormatPng},
      {"wbmp/hat.wbmp", kCxFormatWbmp},
  };
  for (const auto& [file, code] : files) {
    SCOPED_TRACE(file);
    CxImage typed;
    ASSERT_TRUE(typed.LoadFile(TestData(file).c_str(), code)) << typed.LastErrorText();
    EXPECT_EQ(typed.FormatCode(), code);
    CxImage tried;
    ASSERT_TRUE(tried.LoadFile(TestData(file).c_str(), 0)) << tried.LastErrorText();
    EXPECT_EQ(tried.FormatCode(), code);
    EXPECT_EQ(GrayOf(tried).values, GrayOf(typed).values);
  }
}

}  // namespace
