// EXIF resolution units arrive in any of the twelve TIFF formats, doubles and rationals
// included; a unit that names none of the five known ones must leave the factor alone instead of
// being forced into an integer it does not fit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "HardeningSupport.h"
#include "image/CxExifReader.h"

namespace hardening {
namespace {

constexpr uint16_t kResolutionUnit = 0x0128;
constexpr uint16_t kFocalPlaneUnit = 0xA210;

// "Exif\0\0", a little-endian TIFF header and one directory entry whose value lies after the
// directory (formats of 8 bytes) or in the entry itself.
Bytes ExifWithEntry(uint16_t tag, uint16_t format, const Bytes& value) {
  Bytes block = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0};
  Append(block, Le32(8));
  Append(block, Le16(1));
  Append(block, Le16(tag));
  Append(block, Le16(format));
  Append(block, Le32(1));
  const uint32_t valueOffset = 8 + 2 + 12 + 4;
  Append(block, value.size() > 4 ? Le32(valueOffset) : value + Bytes(4 - value.size(), 0));
  Append(block, Le32(0));
  if (value.size() > 4) Append(block, value);
  return block;
}

Bytes DoubleBytes(double value) {
  Bytes bytes(8);
  std::memcpy(bytes.data(), &value, 8);
  return bytes;
}

float UnitAfter(uint16_t tag, uint16_t format, const Bytes& value) {
  CxExifInfo info{};
  CxExifReader reader(&info);
  const Bytes block = ExifWithEntry(tag, format, value);
  EXPECT_TRUE(reader.ProcessExif(block.data(), uint32_t(block.size()))) << reader.LastMessage();
  return tag == kResolutionUnit ? info.resolutionUnit : info.focalPlaneUnits;
}

TEST(ExifUnit, UnitsThatNameNoUnitLeaveTheFactorUnset) {
  constexpr uint16_t kRational = 5;
  constexpr uint16_t kSignedRational = 10;
  constexpr uint16_t kDouble = 12;
  for (const uint16_t tag : {kResolutionUnit, kFocalPlaneUnit}) {
    SCOPED_TRACE(tag);
    EXPECT_EQ(UnitAfter(tag, kDouble, DoubleBytes(std::nan(""))), 0.0f);
    EXPECT_EQ(UnitAfter(tag, kDouble, DoubleBytes(std::numeric_limits<double>::infinity())), 0.0f);
    EXPECT_EQ(UnitAfter(tag, kDouble, DoubleBytes(9.67e24)), 0.0f);
    EXPECT_EQ(UnitAfter(tag, kDouble, DoubleBytes(-3.0e9)), 0.0f);
    EXPECT_EQ(UnitAfter(tag, kRational, Le32(4000000000u) + Le32(1)), 0.0f);
    EXPECT_EQ(UnitAfter(tag, kSignedRational, Le32(uint32_t(INT32_MIN)) + Le32(uint32_t(-1))),
              0.0f);
  }
}

TEST(ExifUnit, KnownUnitsInAnyFormatGiveTheirFactor) {
  constexpr uint16_t kShort = 3;
  constexpr uint16_t kDouble = 12;
  EXPECT_EQ(UnitAfter(kResolutionUnit, kShort, Le16(2)), 1.0f);
  EXPECT_FLOAT_EQ(UnitAfter(kResolutionUnit, kShort, Le16(3)), 0.3937007874f);
  EXPECT_FLOAT_EQ(UnitAfter(kFocalPlaneUnit, kDouble, DoubleBytes(4.0)), 0.03937007874f);
}

}  // namespace
}  // namespace hardening
