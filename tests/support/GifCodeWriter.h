// LZW codes as a GIF frame stores them: packed least significant bit first, then cut into
// data sub-blocks behind the minimum code size.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

class GifCodeWriter {
 public:
  explicit GifCodeWriter(int minimumCodeSize) : minimumCodeSize_(minimumCodeSize) {}

  void Put(uint32_t code, int width) {
    bits_ |= code << count_;
    count_ += width;
    while (count_ >= 8) {
      packed_.push_back(uint8_t(bits_));
      bits_ >>= 8;
      count_ -= 8;
    }
  }

  // The codes so far as one byte string, the last byte padded with zero bits.
  std::vector<uint8_t> Packed() const {
    std::vector<uint8_t> bytes = packed_;
    if (count_ > 0) bytes.push_back(uint8_t(bits_));
    return bytes;
  }

  // The minimum code size, sub-blocks of at most 255 bytes, the terminator.
  std::vector<uint8_t> FrameData() const {
    const std::vector<uint8_t> packed = Packed();
    std::vector<uint8_t> data = {uint8_t(minimumCodeSize_)};
    for (size_t at = 0; at < packed.size(); at += 255) {
      const size_t n = std::min<size_t>(255, packed.size() - at);
      data.push_back(uint8_t(n));
      data.insert(data.end(), packed.begin() + long(at), packed.begin() + long(at + n));
    }
    data.push_back(0);
    return data;
  }

 private:
  int minimumCodeSize_;
  std::vector<uint8_t> packed_;
  uint32_t bits_ = 0;
  int count_ = 0;
};
