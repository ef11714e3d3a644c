#include "DecoderTestSupport.h"

#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace decoder_test {

std::string TestData(const std::string& relative) {
  return std::string(ENGRAVING_TESTDATA_DIR) + "/" + relative;
}

std::vector<std::string> ListFiles(const std::string& directory, const std::string& extension) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (entry.is_regular_file() && entry.path().extension() == extension) {
      files.push_back(entry.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string BaseName(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

GrayPlane GrayOf(CxImage& image) {
  GrayPlane plane;
  if (!image.ToGray()) return plane;
  plane.width = image.ImageWidth();
  plane.height = image.ImageHeight();
  plane.values.resize(size_t(plane.width) * plane.height);
  for (uint32_t row = 0; row < plane.height; ++row) {
    const int32_t y = int32_t(plane.height - 1 - row);
    for (uint32_t x = 0; x < plane.width; ++x) {
      plane.values[size_t(row) * plane.width + x] = uint8_t(image.PixelGray(int32_t(x), y));
    }
  }
  return plane;
}

PlaneDifference Compare(const GrayPlane& a, const GrayPlane& b, int tolerance) {
  PlaneDifference difference;
  const size_t count = std::min(a.values.size(), b.values.size());
  for (size_t i = 0; i < count; ++i) {
    const int d = std::abs(int(a.values[i]) - int(b.values[i]));
    difference.largest = std::max(difference.largest, d);
    if (d > tolerance) ++difference.beyondTolerance;
  }
  return difference;
}

std::vector<uint8_t> WithoutChunks(const std::vector<uint8_t>& png,
                                   std::initializer_list<const char*> types) {
  if (png.size() < 8) return png;
  std::vector<uint8_t> out(png.begin(), png.begin() + 8);
  size_t at = 8;
  while (at + 12 <= png.size()) {
    const uint32_t length =
        (uint32_t(png[at]) << 24) | (png[at + 1] << 16) | (png[at + 2] << 8) | png[at + 3];
    const std::string type(png.begin() + long(at) + 4, png.begin() + long(at) + 8);
    const size_t end = std::min(png.size(), at + 12 + size_t(length));
    if (std::none_of(types.begin(), types.end(), [&](const char* t) { return type == t; })) {
      out.insert(out.end(), png.begin() + long(at), png.begin() + long(end));
    }
    at = end;
  }
  out.insert(out.end(), png.begin() + long(std::min(at, png.size())), png.end());
  return out;
}

std::vector<uint8_t> WithoutColourSpaceChunks(const std::vector<uint8_t>& png) {
  return WithoutChunks(png, {"gAMA", "sRGB", "iCCP", "cHRM"});
}

RgbaPicture ReferencePng(const std::vector<uint8_t>& png) {
  RgbaPicture picture;
  const std::vector<uint8_t> plain = WithoutColourSpaceChunks(png);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_memory(&image, plain.data(), plain.size()) == 0) {
    picture.error = image.message;
    return picture;
  }
  image.format = PNG_FORMAT_RGBA;
  image.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;  // 16-bit samples are not linear light here
  picture.width = image.width;
  picture.height = image.height;
  picture.rgba.resize(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, picture.rgba.data(), 0, nullptr) == 0) {
    picture.error = image.message;
    picture.rgba.clear();
  }
  return picture;
}

uint8_t Composite(uint8_t foreground, uint8_t alpha, uint8_t background) {
  const uint32_t temp = uint32_t(foreground) * alpha + uint32_t(background) * (255 - alpha) + 128;
  return uint8_t((temp + (temp >> 8)) >> 8);
}

std::vector<uint8_t> Mutator::Damage(const std::vector<uint8_t>& original, size_t keep) {
  std::vector<uint8_t> bytes = original;
  const uint32_t changes = 1 + Next(4);
  for (uint32_t i = 0; i < changes && bytes.size() > keep; ++i) {
    const size_t at = keep + Next(uint32_t(bytes.size() - keep));
    bytes[at] = Next(3) == 0 ? uint8_t(Next(256)) : uint8_t(bytes[at] ^ (1u << Next(8)));
  }
  if (Next(8) == 0 && bytes.size() > keep) {
    bytes.resize(keep + Next(uint32_t(bytes.size() - keep)));
  }
  return bytes;
}

ByteWriter& ByteWriter::U8(uint32_t v) {
  bytes_.push_back(uint8_t(v));
  return *this;
}
ByteWriter& ByteWriter::U16(uint32_t v) {
  return U8(v).U8(v >> 8);
}
ByteWriter& ByteWriter::U32(uint32_t v) {
  return U16(v).U16(v >> 16);
}
ByteWriter& ByteWriter::Bytes(std::initializer_list<uint8_t> bytes) {
  bytes_.insert(bytes_.end(), bytes);
  return *this;
}
ByteWriter& ByteWriter::Zeros(size_t count) {
  bytes_.insert(bytes_.end(), count, 0);
  return *this;
}
void ByteWriter::PutU32At(size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes_[offset + i] = uint8_t(v >> (8 * i));
}

}  // namespace decoder_test
