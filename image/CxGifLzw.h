// The variable-length-code LZW decompressor of GIF image data.
#pragma once

#include <cstddef>
#include <cstdint>

class CxGifLzw {
 public:
  enum class Result {
    kComplete,     // end-of-information code seen, or the output is full
    kEndOfData,    // the data ran out first: the pixels after `produced` are missing
    kInvalidCode,  // a code that names no table entry, or an impossible minimum code size
  };

  // Decodes one image's data (its sub-blocks joined) into at most `capacity` colour indices and
  // sets `produced` to the number written. Pixels beyond the capacity are dropped.
  Result Decode(int minimumCodeSize, const uint8_t* data, size_t size, uint8_t* out,
                size_t capacity, size_t& produced);

  static constexpr int kMaxCodeBits = 12;
  static constexpr int kTableSize = 1 << kMaxCodeBits;

 private:
  // Entry c is the string of entry prefix_[c] followed by suffix_[c]; first_[c] is its first
  // byte and length_[c] its length.
  uint16_t prefix_[kTableSize];
  uint8_t suffix_[kTableSize];
  uint8_t first_[kTableSize];
  uint16_t length_[kTableSize];
};
