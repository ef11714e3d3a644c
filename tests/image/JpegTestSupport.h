// Test JPEG files made with libjpeg's own compressor, and an independent libjpeg decode to
// check the decoder's pixels against.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// clang-format off
#include <cstdio>  // jpeglib.h uses FILE and size_t without declaring them
#include <jpeglib.h>
// clang-format on

struct JpegMarker {
  int code;  // e.g. JPEG_APP0 + 1
  std::vector<uint8_t> data;
};

struct JpegRecipe {
  int width = 16;
  int height = 8;
  J_COLOR_SPACE inputSpace = JCS_RGB;     // JCS_RGB, JCS_GRAYSCALE or JCS_CMYK
  J_COLOR_SPACE fileSpace = JCS_UNKNOWN;  // JCS_UNKNOWN: libjpeg's default for the input
  int quality = 90;
  bool jfif = true;
  int densityUnit = 0;
  int xDensity = 1;
  int yDensity = 1;
  bool progressive = false;
  std::vector<JpegMarker> markers;
  // Sample c of pixel (x, y), y = 0 at the top of the picture.
  std::function<uint8_t(int x, int y, int c)> sample = [](int x, int y, int c) {
    return uint8_t((x * 13 + y * 7 + c * 61) & 0xFF);
  };
};

std::vector<uint8_t> CompressJpeg(const JpegRecipe& recipe);

// An EXIF APP1 block (the marker's data, from "Exif" on), built byte by byte in either byte
// order: the main directory (IFD0) and, once Thumbnail() was called, a second directory (IFD1)
// linked after it, with values longer than four bytes after both.
class ExifBuilder {
 public:
  explicit ExifBuilder(bool bigEndian) : bigEndian_(bigEndian) {}
  // Entries from here on go into the thumbnail's directory.
  ExifBuilder& Thumbnail() {
    thumbnail_ = true;
    return *this;
  }
  ExifBuilder& Short(uint16_t tag, uint16_t value) {
    const std::vector<uint8_t> b = Bytes16(value);
    return Add({tag, 3, 1, {b[0], b[1], 0, 0}, false});
  }
  ExifBuilder& Rational(uint16_t tag, uint32_t numerator, uint32_t denominator) {
    std::vector<uint8_t> v = Bytes32(numerator);
    const std::vector<uint8_t> d = Bytes32(denominator);
    v.insert(v.end(), d.begin(), d.end());
    return Add({tag, 5, 1, v, true});
  }
  ExifBuilder& Ascii(uint16_t tag, const std::string& text) {
    std::vector<uint8_t> v(text.begin(), text.end());
    v.push_back(0);
    const bool outside = v.size() > 4;
    const auto count = uint32_t(v.size());
    if (!outside) v.resize(4);
    return Add({tag, 2, count, v, outside});
  }
  // An entry with raw fields, for malformed directories.
  ExifBuilder& Raw(uint16_t tag, uint16_t format, uint32_t count, uint32_t valueField) {
    return Add({tag, format, count, Bytes32(valueField), false});
  }

  std::vector<uint8_t> Build() const {
    std::vector<uint8_t> tiff;
    tiff.push_back(bigEndian_ ? 'M' : 'I');
    tiff.push_back(bigEndian_ ? 'M' : 'I');
    Append(tiff, Bytes16(42));
    Append(tiff, Bytes32(8));
    const bool second = !thumbnailEntries_.empty();
    const auto directoryBytes = [](size_t entries) { return uint32_t(2 + 12 * entries + 4); };
    const uint32_t thumbnailOffset = 8 + directoryBytes(entries_.size());
    const uint32_t dataOffset =
        thumbnailOffset + (second ? directoryBytes(thumbnailEntries_.size()) : 0);
    std::vector<uint8_t> data;
    const auto directory = [&](const std::vector<Entry>& entries, uint32_t next) {
      Append(tiff, Bytes16(uint16_t(entries.size())));
      for (const Entry& e : entries) {
        Append(tiff, Bytes16(e.tag));
        Append(tiff, Bytes16(e.format));
        Append(tiff, Bytes32(e.count));
        if (e.outside) {
          Append(tiff, Bytes32(dataOffset + uint32_t(data.size())));
          Append(data, e.value);
        } else {
          Append(tiff, e.value);
        }
      }
      Append(tiff, Bytes32(next));
    };
    directory(entries_, second ? thumbnailOffset : 0);
    if (second) directory(thumbnailEntries_, 0);
    Append(tiff, data);
    std::vector<uint8_t> block = {'E', 'x', 'i', 'f', 0, 0};
    Append(block, tiff);
    return block;
  }

 private:
  struct Entry {
    uint16_t tag, format;
    uint32_t count;
    std::vector<uint8_t> value;
    bool outside;
  };
  ExifBuilder& Add(Entry entry) {
    (thumbnail_ ? thumbnailEntries_ : entries_).push_back(std::move(entry));
    return *this;
  }
  static void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
  }
  std::vector<uint8_t> Bytes16(uint16_t v) const {
    return bigEndian_ ? std::vector<uint8_t>{uint8_t(v >> 8), uint8_t(v)}
                      : std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8)};
  }
  std::vector<uint8_t> Bytes32(uint32_t v) const {
    std::vector<uint8_t> b = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    if (bigEndian_) std::swap(b[0], b[3]), std::swap(b[1], b[2]);
    return b;
  }
  bool bigEndian_;
  bool thumbnail_ = false;
  std::vector<Entry> entries_;
  std::vector<Entry> thumbnailEntries_;
};

// Photograph-sized colour pictures, written and read back one scanline at a time so that the
// test itself never holds the whole picture. `row` fills or receives scanline y (top first) as
// red, green, blue.
using RgbRowWriter = std::function<void(int y, uint8_t* rgb)>;
using RgbRowReader = std::function<void(int y, const uint8_t* rgb)>;
bool WriteRgbJpeg(const std::string& path, int width, int height, const RgbRowWriter& row,
                  int quality = 85);
// Decodes with plain libjpeg; false when the file is not a colour JPEG of the given size.
bool ReadRgbJpeg(const std::string& path, int width, int height, const RgbRowReader& row);

struct IndependentDecode {
  bool ok = false;
  std::string error;
  int width = 0;
  int height = 0;
  int components = 0;
  std::vector<uint8_t> pixels;                 // top row first, as libjpeg delivers them
  std::vector<std::vector<uint8_t>> colormap;  // quantised output only
  const uint8_t* Pixel(int x, int y) const {
    return pixels.data() + (size_t(y) * width + x) * components;
  }
};

// Decodes with plain libjpeg into the given colour space (JCS_RGB, JCS_GRAYSCALE, JCS_CMYK or
// JCS_UNKNOWN for libjpeg's default). Optional colour quantisation to `colours`.
IndependentDecode DecodeIndependently(const std::vector<uint8_t>& file,
                                      J_COLOR_SPACE outSpace = JCS_UNKNOWN, int colours = 0);

// The brightness rule the picture's gray conversion follows.
inline int ExpectedGray(int red, int green, int blue) {
  return (306 * red + 601 * green + 117 * blue) >> 10;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes);
