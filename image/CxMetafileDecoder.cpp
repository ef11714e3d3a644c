// Not written yet: fails every input until the decoder lands.
#include "image/CxMetafileDecoder.h"

CxMetafileDecoder::CxMetafileDecoder() : CxImage(kCxFormatMetafile) {}

bool CxMetafileDecoder::Read(CxFile&) { return false; }
