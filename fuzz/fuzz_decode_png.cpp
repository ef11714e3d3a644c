// Decode() with the PNG code. libpng refuses a critical chunk whose CRC is wrong, so most
// mutations of a PNG would die at the first chunk: every PNG-looking input is also decoded with
// its chunk CRCs recomputed, which lets the damage reach the chunk contents and the rows.
#include <zlib.h>

#include <cstring>

#include "fuzz/FuzzImage.h"

namespace {

uint32_t BigEndian32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

std::vector<uint8_t> WithChunkCrcsRecomputed(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  for (size_t at = 8; at + 12 <= bytes.size();) {
    const uint32_t length = BigEndian32(&bytes[at]);
    if (length > bytes.size() - at - 12) break;
    const uLong crc = crc32(0L, &bytes[at + 4], uInt(length + 4));
    for (int i = 0; i < 4; ++i) bytes[at + 8 + length + i] = uint8_t(crc >> (24 - 8 * i));
    at += 12 + size_t(length);
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (fuzz::DecodeOne(data, size, kCxFormatPng) != 0) return -1;
  static constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size < 8 || std::memcmp(data, kSignature, 8) != 0) return 0;
  const std::vector<uint8_t> repaired = WithChunkCrcsRecomputed(data, size);
  if (std::memcmp(repaired.data(), data, size) != 0) {
    fuzz::DecodeOne(repaired.data(), repaired.size(), kCxFormatPng);
  }
  return 0;
}
