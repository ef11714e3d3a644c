// Decoder for one picture format: a CxImage that fills itself from a stream.
#pragma once

#include "image/CxImage.h"

class CxMetafileDecoder : public CxImage {
 public:
  CxMetafileDecoder();
  // Reads one picture from the stream; false with LastErrorText() set on failure.
  bool Read(CxFile& stream);
};
