// Decoder for PNG pictures over libpng: transparency is composited against a background except
// for 8-bit colour with alpha, which keeps its alpha mask; 16-bit channels become 8-bit.
#pragma once

#include "image/CxImage.h"

struct CxPngReadState;

class CxPngDecoder : public CxImage {
 public:
  CxPngDecoder();
  // Reads one picture from the stream; false with LastErrorText() set on failure.
  bool Read(CxFile& stream);

 private:
  // Holds libpng's recovery point: it keeps nothing with a destructor in its frame, so that a
  // library error may jump straight back into it.
  bool Decode(CxFile& stream, CxPngReadState& state);
};
