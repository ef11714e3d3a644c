// Decode() with the GIF code: the decoder alone, over any bytes.
#include "fuzz/FuzzImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz::DecodeOne(data, size, kCxFormatGif);
}
