#include "image/CxGifLzw.h"

CxGifLzw::Result CxGifLzw::Decode(int minimumCodeSize, const uint8_t* data, size_t size,
                                  uint8_t* out, size_t capacity, size_t& produced) {
  produced = 0;
  // Encoders may choose a minimum code size above the colour depth (up to 11, so that codes
  // still fit 12 bits); literal codes above 255 name no colour, though.
  if (minimumCodeSize < 1 || minimumCodeSize >= kMaxCodeBits) return Result::kInvalidCode;

  const uint32_t clearCode = 1u << minimumCodeSize;
  const uint32_t endCode = clearCode + 1;
  for (uint32_t c = 0; c < clearCode; ++c) {
    prefix_[c] = 0;
    suffix_[c] = uint8_t(c);
    first_[c] = uint8_t(c);
    length_[c] = 1;
  }

  int codeBits = minimumCodeSize + 1;
  uint32_t nextCode = clearCode + 2;
  int32_t previous = -1;  // none right after a clear code
  uint32_t bitBuffer = 0;
  int bitCount = 0;
  size_t position = 0;

  while (produced < capacity) {
    while (bitCount < codeBits) {
      if (position == size) return Result::kEndOfData;
      bitBuffer |= uint32_t(data[position++]) << bitCount;
      bitCount += 8;
    }
    const uint32_t code = bitBuffer & ((1u << codeBits) - 1);
    bitBuffer >>= codeBits;
    bitCount -= codeBits;

    if (code == clearCode) {
      codeBits = minimumCodeSize + 1;
      nextCode = clearCode + 2;
      previous = -1;
      continue;
    }
    if (code == endCode) return Result::kComplete;
    if (code < clearCode && code > 0xFF) return Result::kInvalidCode;

    if (previous < 0) {
      if (code > clearCode) return Result::kInvalidCode;  // no entries exist yet
      out[produced++] = uint8_t(code);
      previous = int32_t(code);
      continue;
    }

    // The one code not yet in the table that may appear is the one about to be added: the
    // previous string followed by its own first byte.
    uint8_t firstByte = 0;
    if (code < nextCode) {
      firstByte = first_[code];
    } else if (code == nextCode && nextCode < uint32_t(kTableSize)) {
      firstByte = first_[previous];
    } else {
      return Result::kInvalidCode;
    }

    if (nextCode < uint32_t(kTableSize)) {
      prefix_[nextCode] = uint16_t(previous);
      suffix_[nextCode] = firstByte;
      first_[nextCode] = first_[previous];
      length_[nextCode] = uint16_t(length_[previous] + 1);
      ++nextCode;
      // Once the table is full the code width stays at 12 bits until the next clear code.
      if (nextCode == (1u << codeBits) && codeBits < kMaxCodeBits) ++codeBits;
    }

    // Write the string back to front; the part beyond the capacity is dropped.
    const size_t length = length_[code];
    uint32_t c = code;
    for (size_t i = length; i-- > 0;) {
      if (produced + i < capacity) out[produced + i] = suffix_[c];
      c = prefix_[c];
    }
    produced = produced + length < capacity ? produced + length : capacity;
    previous = int32_t(code);
  }
  return Result::kComplete;
}
