// Decoder for one picture format: a CxImage that fills itself from a stream.
#pragma once

#include "image/CxExifReader.h"
#include "image/CxImage.h"

// Codec option bits of the JPEG decoder (CodecOption(kCxFormatJpeg)).
enum CxJpegOption : uint32_t {
  kCxJpegGrayscale = 0x80,  // decode to gray
  kCxJpegQuantize = 0x100,  // quantise to `quality` colours
  kCxJpegDither = 0x200,    // use the decoder's dither mode
  kCxJpegOnePassQuantize = 0x400,
  kCxJpegNoFancyUpsampling = 0x800,
  // Store colour files as ToGray would leave them (8-bit, gray palette), without the 24-bit
  // picture in between, so the memory guard weighs the gray picture; other files decode as
  // usual. Only EngraveImage::LoadPictureGray sets it.
  kCxJpegGrayRows = 0x1000,
};

class CxJpegDecoder : public CxImage {
 public:
  CxJpegDecoder();
  // Reads one picture from the stream; false with LastErrorText() set on failure.
  bool Read(CxFile& stream);

  // What the EXIF walk of the last Read found.
  const CxExifInfo& ExifInfo() const { return exif_; }
  // libjpeg's J_DITHER_MODE value used when the dither option bit is set.
  void SetDitherMode(int mode) { ditherMode_ = mode; }
  int DitherMode() const { return ditherMode_; }

 private:
  CxExifInfo exif_{};
  CxExifReader exifReader_{&exif_};
  int ditherMode_;
};
