// Not written yet: fails every input until the decoder lands.
#include "image/CxWbmpDecoder.h"

CxWbmpDecoder::CxWbmpDecoder() : CxImage(kCxFormatWbmp) {}

bool CxWbmpDecoder::Read(CxFile&) { return false; }
