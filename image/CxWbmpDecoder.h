// Decoder for wireless bitmaps (WBMP type 0: one bit per pixel, 1 = white, rows from the top).
#pragma once

#include "image/CxImage.h"

class CxWbmpDecoder : public CxImage {
 public:
  CxWbmpDecoder();
  // Reads one picture from the stream; false with LastErrorText() set on failure.
  bool Read(CxFile& stream);
};
