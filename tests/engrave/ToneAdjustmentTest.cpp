// The picture adjustments: the table against values worked out apart from it, the ranges, and
// the identity that matters: a fill with adjustments fires exactly what the same fill fires on
// the picture adjusted beforehand with the table, in both fills, inverted or not, for 8- and
// 24-bit rows and for reads outside the picture. (The dialog's view runs these fills.)
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "LineTestSupport.h"
#include "engrave/DitherLine.h"
#include "engrave/ToneAdjustment.h"

namespace {

using engrave::BuildToneTable;
using engrave::ToneAdjustment;
using engrave::ToneSetting;
using engrave::ToneTable;

// Levels from the formula evaluated apart (Python's math module, the slope 1 at contrast 0).
TEST(ToneTableTest, GivesTheFormulasLevels) {
  const int kLevels[] = {0, 1, 32, 64, 100, 127, 128, 160, 200, 254, 255};
  struct Case {
    ToneAdjustment tone;
    int expected[11];
  } cases[] = {
      {{0, 0, 2}, {0, 16, 90, 128, 160, 180, 181, 202, 226, 254, 255}},  // lifts the mid-tones
      {{0, 0, 0.5}, {0, 0, 4, 16, 39, 63, 64, 100, 157, 253, 255}},
      {{0, 0, 10}, {0, 147, 207, 222, 232, 238, 238, 243, 249, 255, 255}},  // black stays black
      {{-20, 60, 2.2}, {0, 0, 0, 0, 0, 146, 149, 216, 255, 255, 255}},      // clamped both ways
      {{30, -40, 0.5}, {76, 76, 95, 116, 142, 163, 164, 191, 228, 255, 255}},
      {{0, 100, 1}, {0, 0, 0, 0, 0, 0, 255, 255, 255, 255, 255}},  // a threshold
      {{0, -100, 1}, {128, 128, 128, 128, 128, 128, 128, 128, 128, 128, 128}},
      {{-35, 20, 1.6}, {0, 0, 0, 0, 5, 77, 79, 126, 174, 227, 228}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.tone.brightness << " " << c.tone.contrast << " " << c.tone.gamma);
    const ToneTable table = BuildToneTable(c.tone);
    for (int i = 0; i < 11; ++i) EXPECT_EQ(table[size_t(kLevels[i])], c.expected[i]) << kLevels[i];
  }
}

// Neutral settings are never applied (null table), and their table would be the identity
// anyway; settings beyond every range still give levels, never undefined ones.
TEST(ToneTableTest, NeutralIsTheIdentityAndNoInputEscapesTheLevels) {
  const ToneTable neutral = BuildToneTable({});
  for (int v = 0; v < 256; ++v) EXPECT_EQ(neutral[size_t(v)], v);
  engrave::ToneLookup lookup;
  EXPECT_EQ(lookup.For({}), nullptr);
  EXPECT_EQ(lookup.For({-0.0, 0.0, 1.0}), nullptr);
  const uint8_t* adjusted = lookup.For({0, 0, 2});
  ASSERT_NE(adjusted, nullptr);
  EXPECT_EQ(adjusted[64], 128);
  EXPECT_EQ(lookup.For({0, 0, 0.5})[64], 16);  // built again for the new settings

  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const ToneAdjustment& wild :
       {ToneAdjustment{nan, 0, 1}, ToneAdjustment{0, nan, 1}, ToneAdjustment{0, 0, nan},
        ToneAdjustment{0, 0, 0}, ToneAdjustment{0, 0, -2}, ToneAdjustment{1e300, 300, 1}}) {
    const ToneTable table = BuildToneTable(wild);
    for (int v = 0; v < 256; ++v) EXPECT_LE(table[size_t(v)], 255);  // and UBSan sees no cast
  }
}

// The ends belong to the ranges (the dialog's message for the rest is tested with the dialog).
TEST(ToneTableTest, RangesIncludeTheirEnds) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (ToneSetting setting : {ToneSetting::kBrightness, ToneSetting::kContrast}) {
    for (double value : {-100.0, 0.0, 100.0}) EXPECT_TRUE(engrave::InRange(setting, value));
    for (double value : {-100.5, 101.0, nan}) EXPECT_FALSE(engrave::InRange(setting, value));
  }
  for (double value : {0.1, 1.0, 10.0}) EXPECT_TRUE(engrave::InRange(ToneSetting::kGamma, value));
  for (double value : {0.0, -1.0, 10.01})
    EXPECT_FALSE(engrave::InRange(ToneSetting::kGamma, value));
}

// Every level of 0 .. 255 in a 64 x 8 picture, 8- or 24-bit, and the same picture with each
// pixel replaced by its adjusted level.
std::unique_ptr<CxImage> Ramp(int depth, const ToneTable* table) {
  auto picture = std::make_unique<CxImage>();
  EXPECT_NE(picture->Create(64, 8, uint32_t(depth), 0), nullptr);
  if (depth == 8) picture->FillGrayPalette();
  for (uint32_t y = 0; y < 8; ++y) {
    for (uint32_t x = 0; x < 64; ++x) {
      uint8_t level = uint8_t((x * 4 + y * 37) % 256);
      if (table != nullptr) level = (*table)[level];
      if (depth == 8)
        picture->RowAddress(y)[x] = level;
      else
        std::fill_n(picture->RowAddress(y) + 3 * x, 3, level);
    }
  }
  return picture;
}

TEST(ToneFillTest, AnAdjustedFillFiresWhatThePictureAdjustedBeforehandFires) {
  const ToneAdjustment tones[] = {{-20, 60, 2.2}, {30, -40, 0.5}, {-35, 20, 1.6}};
  struct Geometry {
    const char* name;
    int32_t steps;
    double columns, rows;
  } geometries[] = {
      {"25 steps a column", 1600, 64, 8},
      {"one step a column", 64, 64, 8},
      {"1.5 steps a column", 96, 64, 8},
      {"columns and rows beyond the picture", 1000, 80, 10},
  };
  for (const ToneAdjustment& tone : tones) {
    const ToneTable table = BuildToneTable(tone);
    for (const Geometry& g : geometries) {
      for (int depth : {8, 24}) {
        for (bool invert : {false, true}) {
          SCOPED_TRACE(testing::Message()
                       << tone.brightness << " " << tone.contrast << " " << tone.gamma << ", "
                       << g.name << ", " << depth << " bits" << (invert ? ", inverted" : ""));
          const auto picture = Ramp(depth, nullptr);
          const auto adjusted = Ramp(depth, &table);
          engrave::TriggerLineInput line = Line(g.steps, g.columns, g.rows);
          line.yStepOver = 0.7;
          line.invert = invert;
          engrave::TriggerLineInput plain = line;
          line.tone = tone;
          engrave::TriggerLineFiller classic, classicPlain;
          EXPECT_EQ(FillRaster(classic, line, picture.get()),
                    FillRaster(classicPlain, plain, adjusted.get()));
          engrave::DitheredLineFiller dithered, ditheredPlain;
          EXPECT_EQ(FillRaster(dithered, line, picture.get()),
                    FillRaster(ditheredPlain, plain, adjusted.get()));
        }
      }
    }
  }
}

}  // namespace
