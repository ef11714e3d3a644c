#include "image/CxJpegDecoder.h"

CxJpegDecoder::CxJpegDecoder() : CxImage(kCxFormatJpeg) {}

bool CxJpegDecoder::Read(CxFile&) {
  return false;
}
