// Decoder for Windows and OS/2 bitmaps, with or without the 14-byte file header.
#pragma once

#include <cstddef>

#include "image/CxImage.h"

class CxBmpDecoder : public CxImage {
 public:
  CxBmpDecoder();
  // Reads one picture from the stream; false with LastErrorText() set on failure. With escape -1
  // it only sets width and height and returns true ("output dimensions returned").
  bool Read(CxFile& stream);

  struct Layout;  // what the headers say, decoded

 private:
  void Decode(CxFile& stream);
  void ReadInfoHeader(CxFile& stream, Layout& layout);
  void ReadPalette(CxFile& stream, const Layout& layout);
  void ReadPixels(CxFile& stream, const Layout& layout);
  void ReadBitfieldMasks(CxFile& stream, const Layout& layout, uint32_t masks[3]);
  void DecodeRunLength(CxFile& stream, bool fourBit);
  void Expand16(size_t bytesRead, const uint32_t masks[3]);
  void Read32(CxFile& stream, const uint32_t* masks);
  void SetResolutionFromFile(int32_t pelsX, int32_t pelsY);
};
