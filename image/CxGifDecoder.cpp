// Not written yet: fails every input until the decoder lands.
#include "image/CxGifDecoder.h"

CxGifDecoder::CxGifDecoder() : CxImage(kCxFormatGif) {}

bool CxGifDecoder::Read(CxFile&) { return false; }
