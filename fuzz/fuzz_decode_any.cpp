// Decode() with code 0: every decoder in the fallback order over the same bytes, each one
// starting where the previous failure left the stream.
#include "fuzz/FuzzImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz::DecodeOne(data, size, kCxFormatUnknown);
}
