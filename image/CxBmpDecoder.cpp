// Not written yet: fails every input until the decoder lands.
#include "image/CxBmpDecoder.h"

CxBmpDecoder::CxBmpDecoder() : CxImage(kCxFormatBmp) {}

bool CxBmpDecoder::Read(CxFile&) { return false; }
