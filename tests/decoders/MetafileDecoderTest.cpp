#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DecoderTestSupport.h"
#include "image/CxMetafileDecoder.h"

namespace {

using namespace decoder_test;

struct Frame {
  int16_t left = 0;
  int16_t top = 0;
  int16_t right = 1000;
  int16_t bottom = 500;
  uint16_t unitsPerInch = 1000;
};

std::vector<uint8_t> Record(uint16_t function, std::initializer_list<uint16_t> parameters,
                            const std::vector<uint8_t>& tail = {}) {
  ByteWriter record;
  record.U32(3 + uint32_t(parameters.size()) + uint32_t(tail.size() + 1) / 2).U16(function);
  for (uint16_t p : parameters) record.U16(p);
  std::vector<uint8_t> bytes = record.Data();
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  if (tail.size() % 2 != 0) bytes.push_back(0);
  return bytes;
}

// A placeable Windows metafile that fills the left half of its frame with black, without an
// outline, then plays the extra records.
std::vector<uint8_t> MakeMetafile(const Frame& frame, const std::vector<uint8_t>& extra = {},
                                  uint16_t objects = 2) {
  const auto width = uint16_t(frame.right - frame.left);
  const auto height = uint16_t(frame.bottom - frame.top);
  std::vector<uint8_t> records;
  for (const std::vector<uint8_t>& r : {
           Record(0x020B, {uint16_t(frame.top), uint16_t(frame.left)}),  // SetWindowOrg(y, x)
           Record(0x020C, {height, width}),                              // SetWindowExt(y, x)
           Record(0x02FC, {0, 0x0000, 0x0000, 0}),  // CreateBrushIndirect: black
           Record(0x012D, {0}),                     // SelectObject
           Record(0x02FA, {5, 0, 0, 0, 0}),         // CreatePenIndirect: null pen
           Record(0x012D, {1}),
           Record(0x041B, {uint16_t(frame.bottom), uint16_t(frame.left + width / 2),
                           uint16_t(frame.top), uint16_t(frame.left)}),  // Rectangle(b, r, t, l)
           extra, Record(0x0000, {}),                                    // end of file
       }) {
    records.insert(records.end(), r.begin(), r.end());
  }

  ByteWriter placeable;
  placeable.U32(0x9AC6CDD7).U16(0);
  placeable.U16(uint16_t(frame.left)).U16(uint16_t(frame.top));
  placeable.U16(uint16_t(frame.right)).U16(uint16_t(frame.bottom));
  placeable.U16(frame.unitsPerInch).U32(0);
  uint16_t checksum = 0;
  for (size_t i = 0; i < 20; i += 2) {
    checksum ^= uint16_t(placeable.Data()[i] | (placeable.Data()[i + 1] << 8));
  }
  placeable.U16(checksum);

  const uint32_t words = uint32_t(18 + records.size()) / 2;
  ByteWriter file;
  for (uint8_t b : placeable.Data()) file.U8(b);
  file.U16(1).U16(9).U16(0x0300).U32(words).U16(objects).U32(64).U16(0);
  std::vector<uint8_t> bytes = file.Data();
  bytes.insert(bytes.end(), records.begin(), records.end());
  return bytes;
}

// A 2 x 2 palette bitmap, a red column and a blue one, stretched over the right half of the
// default frame.
std::vector<uint8_t> StretchDib(uint32_t claimedWidth = 2) {
  ByteWriter dib;
  dib.U32(40).U32(claimedWidth).U32(2).U16(1).U16(8).U32(0).U32(0).U32(0).U32(0).U32(2).U32(0);
  dib.U32(0x00FF0000).U32(0x000000FF);  // red, blue
  dib.Bytes({0, 1, 0, 0, 0, 1, 0, 0});
  return Record(0x0F43, {0x0020, 0x00CC, 0, 2, 2, 0, 0, 500, 500, 0, 500}, dib.Data());
}

// Text in a font, for the renderer's font path.
std::vector<uint8_t> Text(uint16_t fontHeight = 100, uint16_t fontWidth = 0) {
  std::vector<uint8_t> font =
      Record(0x02FB, {fontHeight, fontWidth, 0, 0, 400, 0, 0, 0}, {'A', 'r', 'i', 'a', 'l', 0});
  std::vector<uint8_t> select = Record(0x012D, {2});
  std::vector<uint8_t> text = Record(0x0521, {5}, {'H', 'e', 'l', 'l', 'o'});
  text.insert(text.end(), {0x90, 0x01, 0x00, 0x00});  // y 400, x 0
  std::vector<uint8_t> fixed = text;
  fixed[0] = uint8_t(text.size() / 2);  // the record size counts the position words too
  std::vector<uint8_t> all = font;
  all.insert(all.end(), select.begin(), select.end());
  all.insert(all.end(), fixed.begin(), fixed.end());
  return all;
}

std::string DecodeFailure(const std::vector<uint8_t>& bytes, int32_t escape = 0) {
  CxMetafileDecoder decoder;
  decoder.MutableInfo().escape = escape;
  EXPECT_FALSE(DecodeBytes(decoder, bytes));
  return decoder.LastErrorText();
}

TEST(MetafileDecoder, RendersThePictureAtScreenResolutionOnWhite) {
  CxMetafileDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, MakeMetafile(Frame{}))) << decoder.LastErrorText();
  // 1000 x 500 units at 1000 units per inch, shown at 96 dots per inch.
  EXPECT_EQ(decoder.ImageWidth(), 96u);
  EXPECT_EQ(decoder.ImageHeight(), 48u);
  EXPECT_EQ(decoder.BitsPerPixel(), 24);
  EXPECT_EQ(decoder.FormatCode(), uint32_t(kCxFormatMetafile));
  EXPECT_EQ(decoder.PixelGray(10, 24), 0);    // inside the black half
  EXPECT_EQ(decoder.PixelGray(85, 24), 255);  // the white page
  EXPECT_EQ(decoder.PixelGray(10, 2), 0);
  EXPECT_EQ(decoder.PixelGray(85, 45), 255);
}

TEST(MetafileDecoder, LargePicturesAreLimitedTo4000PixelsKeepingTheirShape) {
  Frame frame;
  frame.right = 8000;
  frame.bottom = 2000;
  frame.unitsPerInch = 96;
  CxMetafileDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, MakeMetafile(frame))) << decoder.LastErrorText();
  EXPECT_EQ(decoder.ImageWidth(), 4000u);
  EXPECT_EQ(decoder.ImageHeight(), 1000u);
  EXPECT_EQ(decoder.PixelGray(1000, 500), 0);
  EXPECT_EQ(decoder.PixelGray(3000, 500), 255);
}

TEST(MetafileDecoder, SizeLimitKeepsTheAspectRatioAndAtLeastOnePixel) {
  auto limited = [](uint32_t width, uint32_t height) {
    CxMetafileDecoder::LimitSize(width, height);
    return std::pair{width, height};
  };
  EXPECT_EQ(limited(8000, 2000), (std::pair{4000u, 1000u}));
  EXPECT_EQ(limited(2000, 8000), (std::pair{1000u, 4000u}));
  EXPECT_EQ(limited(10000, 9000), (std::pair{4000u, 3600u}));
  EXPECT_EQ(limited(4000, 4000), (std::pair{4000u, 4000u}));
  EXPECT_EQ(limited(1000000, 1), (std::pair{4000u, 1u}));
}

TEST(MetafileDecoder, PlaceableHeaderIsValidatedBeforeRendering) {
  std::vector<uint8_t> badChecksum = MakeMetafile(Frame{});
  badChecksum[20] ^= 1;
  EXPECT_EQ(DecodeFailure(badChecksum), "corrupted WMF");

  Frame noUnits;
  noUnits.unitsPerInch = 0;
  EXPECT_EQ(DecodeFailure(MakeMetafile(noUnits)), "corrupted WMF");
  Frame tooFine;
  tooFine.unitsPerInch = 2541;
  EXPECT_EQ(DecodeFailure(MakeMetafile(tooFine)), "corrupted WMF");

  std::vector<uint8_t> badType = MakeMetafile(Frame{});
  badType[22] = 3;
  EXPECT_EQ(DecodeFailure(badType), "corrupted WMF");

  std::vector<uint8_t> longerThanTheFile = MakeMetafile(Frame{});
  longerThanTheFile.resize(longerThanTheFile.size() - 6);
  EXPECT_EQ(DecodeFailure(longerThanTheFile), "corrupted WMF");
}

TEST(MetafileDecoder, EnhancedAndPlainMetafilesHaveNoRendererHere) {
  ByteWriter enhanced;
  enhanced.U32(1).U32(88).Zeros(32).Bytes({' ', 'E', 'M', 'F'}).Zeros(48);
  EXPECT_EQ(DecodeFailure(enhanced.Data()), "corrupted WMF");
  std::vector<uint8_t> plain = MakeMetafile(Frame{});
  plain.erase(plain.begin(), plain.begin() + 22);
  EXPECT_EQ(DecodeFailure(plain), "corrupted WMF");
  EXPECT_EQ(DecodeFailure({}), "corrupted WMF");
}

TEST(MetafileDecoder, EmptyFramesAndCancellation) {
  Frame empty;
  empty.right = 0;
  EXPECT_EQ(DecodeFailure(MakeMetafile(empty)), "empty WMF");
  Frame tiny;
  tiny.right = 5;  // 5 units at 1000 per inch: less than a pixel
  EXPECT_EQ(DecodeFailure(MakeMetafile(tiny)), "empty WMF");
  EXPECT_EQ(DecodeFailure(MakeMetafile(Frame{}), 1), "Cancelled");
}

TEST(MetafileDecoder, BitmapsInsideTheMetafileAreDrawnWhenComplete) {
  CxMetafileDecoder decoder;
  ASSERT_TRUE(DecodeBytes(decoder, MakeMetafile(Frame{}, StretchDib()))) << decoder.LastErrorText();
  // The renderer blends between the two columns; the edges keep their own colour.
  const CxRgbQuad left = decoder.PixelColor(50, 24, false);
  const CxRgbQuad right = decoder.PixelColor(94, 24, false);
  EXPECT_GT(left.red, 200);
  EXPECT_LT(left.blue, 60);
  EXPECT_GT(right.blue, 200);
  EXPECT_LT(right.red, 60);
  EXPECT_EQ(decoder.PixelGray(10, 24), 0);  // the black half is still there

  // A bitmap that claims more pixels than the record holds is never handed to the renderer.
  EXPECT_EQ(DecodeFailure(MakeMetafile(Frame{}, StretchDib(1000))), "corrupted WMF");
}

TEST(MetafileDecoder, RecordsUsingObjectsThatDoNotExistAreRefused) {
  EXPECT_EQ(DecodeFailure(MakeMetafile(Frame{}, Record(0x012D, {7}))), "corrupted WMF");
  EXPECT_EQ(DecodeFailure(MakeMetafile(Frame{}, Record(0x01F0, {5}))), "corrupted WMF");
  std::vector<uint8_t> deleteTwice = Record(0x01F0, {0});
  const std::vector<uint8_t> again = Record(0x01F0, {0});
  deleteTwice.insert(deleteTwice.end(), again.begin(), again.end());
  EXPECT_EQ(DecodeFailure(MakeMetafile(Frame{}, deleteTwice)), "corrupted WMF");
  // One object more than the header announces.
  EXPECT_EQ(DecodeFailure(MakeMetafile(Frame{}, Record(0x02FC, {0, 0, 0, 0}), 2)), "corrupted WMF");
  std::vector<uint8_t> noEnd = MakeMetafile(Frame{});
  noEnd.resize(noEnd.size() - 6);
  noEnd[22 + 6] = uint8_t(noEnd[22 + 6] - 3);  // size in words, without the end record
  EXPECT_EQ(DecodeFailure(noEnd), "corrupted WMF");
}

TEST(MetafileDecoder, ARendererCrashCostsOnlyThePicture) {
  CxMetafileDecoder text;
  ASSERT_TRUE(DecodeBytes(text, MakeMetafile(Frame{}, Text(), 3))) << text.LastErrorText();
  EXPECT_EQ(text.PixelGray(10, 24), 0);
  // libwmf 0.2.12 crashes on a font 30000 units wide, and never returns from one of height 0.
  EXPECT_EQ(DecodeFailure(MakeMetafile(Frame{}, Text(100, 30000), 3)), "corrupted WMF");
  EXPECT_EQ(DecodeFailure(MakeMetafile(Frame{}, Text(0), 3)), "corrupted WMF");
}

TEST(MetafileDecoder, DamagedRecordsNeverCrashTheRenderer) {
  std::vector<uint8_t> extra = StretchDib();
  const std::vector<uint8_t> text = Text();
  extra.insert(extra.end(), text.begin(), text.end());
  const std::vector<uint8_t> original = MakeMetafile(Frame{}, extra, 3);
  CxMetafileDecoder plain;
  ASSERT_TRUE(DecodeBytes(plain, original)) << plain.LastErrorText();
  Mutator mutator(7);
  for (int i = 0; i < 1000; ++i) {
    CxMetafileDecoder decoder;
    if (!DecodeBytes(decoder, mutator.Damage(original, i % 2 == 0 ? 40 : 22))) {
      EXPECT_STRNE(decoder.LastErrorText(), "");
    }
  }
}

}  // namespace
