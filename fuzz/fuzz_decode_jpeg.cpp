// Decode() with the JPEG code. The input's length picks one of the decoder's option sets, so
// the gray, quantising and dithering paths of libjpeg get bytes too.
#include "fuzz/FuzzImage.h"
#include "image/CxJpegDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static constexpr uint32_t kOptionSets[] = {
      0,
      kCxJpegGrayscale,
      kCxJpegQuantize | kCxJpegNoFancyUpsampling,
      kCxJpegQuantize | kCxJpegDither | kCxJpegOnePassQuantize,
  };
  return fuzz::DecodeOne(data, size, kCxFormatJpeg, kOptionSets[size % 4]);
}
