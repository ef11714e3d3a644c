#include "image/CxWbmpDecoder.h"

#include <cstddef>
#include <cstdint>

#include "image/CxFile.h"

namespace {

struct WbmpFailure {
  const char* message;
};

// Width and height are multi-byte integers: 7 bits per byte, most significant first, the top
// bit set on every byte but the last. Sizes below 128 take the single byte of the short form.
bool ReadMultiByte(CxFile& stream, uint32_t& value) {
  value = 0;
  for (int i = 0; i < 4; ++i) {  // 28 bits are far more than any picture needs
    const int32_t byte = stream.GetC();
    if (byte < 0) return false;
    value = (value << 7) | uint32_t(byte & 0x7F);
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

}  // namespace

CxWbmpDecoder::CxWbmpDecoder() : CxImage(kCxFormatWbmp) {}

bool CxWbmpDecoder::Read(CxFile& stream) {
  try {
    uint8_t head[2];
    if (stream.Read(head, sizeof head, 1) != 1) throw WbmpFailure{"Not a WBMP"};
    if (head[0] != 0) throw WbmpFailure{"Unsupported WBMP type"};
    uint32_t width = 0;
    uint32_t height = 0;
    const bool haveWidth = ReadMultiByte(stream, width);
    if (!haveWidth || !ReadMultiByte(stream, height)) {
      // Too short for even a one-byte width and height: not a WBMP at all.
      if (stream.Eof()) throw WbmpFailure{"Not a WBMP"};
      throw WbmpFailure{"Corrupted WBMP"};
    }
    if (width == 0 || height == 0) throw WbmpFailure{"Corrupted WBMP"};

    if (Create(width, height, 1, kCxFormatWbmp) == nullptr) throw WbmpFailure{"WBMP Create failed"};
    FillGrayPalette();

    const uint32_t rowBytes = (width + 7) / 8;
    for (uint32_t row = height; row-- > 0;) {
      if (stream.Read(RowAddress(row), 1, rowBytes) != rowBytes) break;  // the rest stays black
    }
    return true;
  } catch (const WbmpFailure& failure) {
    SetLastError(failure.message);
    return false;
  }
}
