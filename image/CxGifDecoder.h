// Decoder for GIF pictures. A file with one frame gives a palette image of the logical screen
// size; in a file with several frames, frames 0..frameIndex are composited into a 24-bit image
// whose alpha mask marks the pixels no frame has covered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "image/CxGifLzw.h"
#include "image/CxImage.h"

class CxGifDecoder : public CxImage {
 public:
  CxGifDecoder();
  ~CxGifDecoder() override;
  // Reads frame frameIndex from the stream; false on failure (GIF failures carry no message).
  // Sets frameCount, frameDelay and, for a single-frame file, keyIndex.
  bool Read(CxFile& stream);

  struct ColorTable {
    CxRgbTriple entries[256];
    uint32_t count = 0;
  };
  struct Frame;  // one image descriptor with its data, as read from the stream

 private:
  bool Decode(CxFile& stream);
  bool DecodeSingleFrame(CxFile& stream, uint32_t screenWidth, uint32_t screenHeight);
  bool DecodeComposite(CxFile& stream, uint32_t screenWidth, uint32_t screenHeight);
  // Reads blocks up to the next image descriptor and its data; false at the end or on damage.
  bool ReadNextFrame(CxFile& stream, Frame& frame);
  // Decodes the frame's colour indices, in picture row order, into `indices`; `valid` gets
  // the number of pixels (in stream order) that the data supplied.
  bool DecodeIndices(const Frame& frame, std::vector<uint8_t>& indices, size_t& valid);

  std::unique_ptr<CxGifLzw> lzw_;
  ColorTable global_;
  uint8_t backgroundIndex_ = 0;
};
