// Decoder for placeable Windows metafiles, rendered through libwmf at 96 dots per inch onto a
// white page and limited to 4000 x 4000 pixels. Enhanced metafiles, and metafiles without the
// placeable header, have no renderer here and fail with "corrupted WMF".
#pragma once

#include "image/CxImage.h"

class CxMetafileDecoder : public CxImage {
 public:
  CxMetafileDecoder();
  // Reads one picture from the stream; false with LastErrorText() set on failure.
  bool Read(CxFile& stream);

  static constexpr uint32_t kMaxSide = 4000;
  static constexpr uint32_t kScreenDpi = 96;

  // Picture size limited to kMaxSide on each side, keeping the aspect ratio.
  static void LimitSize(uint32_t& width, uint32_t& height);
};
