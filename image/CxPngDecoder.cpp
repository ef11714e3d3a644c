// Not written yet: fails every input until the decoder lands.
#include "image/CxPngDecoder.h"

CxPngDecoder::CxPngDecoder() : CxImage(kCxFormatPng) {}

bool CxPngDecoder::Read(CxFile&) { return false; }
