#include "image/CxBmpDecoder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "image/CxFile.h"

namespace {

// Failures travel as a message to the one catch in Read, so no error escapes the decoder.
struct BmpFailure {
  const char* message;
};

constexpr uint32_t kCompressionNone = 0;
constexpr uint32_t kCompressionRle8 = 1;
constexpr uint32_t kCompressionRle4 = 2;
constexpr uint32_t kCompressionBitfields = 3;

constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kCoreHeaderSize = 12;     // OS/2 1.x
constexpr uint32_t kOs2InfoHeaderSize = 64;  // OS/2 2.x

uint16_t Le16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Headers that extend the 40-byte one with masks, colour space and profile fields (Windows
// V2, V3, V4, V5): their first 40 bytes mean the same, so they need no plausibility test.
bool IsWindowsExtendedHeader(uint32_t size) {
  return size == 52 || size == 56 || size == 108 || size == 124;
}

// Moves forward by a file-supplied byte count that may not fit the stream's 32-bit offsets; an
// absurd count lands at the end, where every later read comes back short.
void SkipForward(CxFile& stream, uint64_t bytes) {
  if (bytes == 0) return;
  if (bytes > uint64_t(std::numeric_limits<int32_t>::max())) {
    stream.Seek(0, 2);
    return;
  }
  stream.Seek(int32_t(bytes), 1);
}

void SeekAbsolute(CxFile& stream, int64_t position) {
  if (position < 0 || position > int64_t(std::numeric_limits<int32_t>::max())) {
    stream.Seek(0, 2);
    return;
  }
  stream.Seek(int32_t(position), 0);
}

// One colour channel of a bit-field pixel, scaled to 8 bits by shifting. For the 5-5-5 and
// 5-6-5 layouts this gives exactly the classic shifts (0x1F becomes 248, not 255).
struct ChannelMask {
  uint32_t mask = 0;
  int shift = 0;
  int bits = 0;

  explicit ChannelMask(uint32_t value) : mask(value) {
    if (value == 0) return;
    shift = std::countr_zero(value);
    bits = std::bit_width(value >> shift);
  }
  uint8_t Extract(uint32_t pixel) const {
    if (bits == 0) return 0;
    const uint32_t v = (pixel & mask) >> shift;
    return bits >= 8 ? uint8_t(v >> (bits - 8)) : uint8_t(v << (8 - bits));
  }
};

}  // namespace

struct CxBmpDecoder::Layout {
  int64_t start = 0;      // stream position of the file header (or of the info header)
  int64_t infoStart = 0;  // stream position of the information header
  uint32_t pixelOffset = 0;
  uint32_t headerSize = 0;
  int32_t width = 0;
  int32_t height = 0;  // as stored; negative for top-down files
  uint16_t planes = 0;
  uint16_t bitCount = 0;
  uint32_t compression = 0;
  uint32_t imageSize = 0;
  int32_t pelsX = 0;
  int32_t pelsY = 0;
  uint32_t colorCount = 0;
  bool os2Palette = false;  // 3-byte palette entries
  bool topDown = false;
};

namespace {

// Whether the image size field is exactly the size of the uncompressed rows; checked by
// division, because the product of file-supplied sizes can exceed 64 bits.
bool HasPlainImageSize(const CxBmpDecoder::Layout& layout) {
  if (layout.width <= 0 || layout.height <= 0) return false;
  const uint64_t rowBytes = ((uint64_t(layout.bitCount) * uint32_t(layout.width) + 31) / 32) * 4;
  if (rowBytes == 0) return layout.imageSize == 0;
  return layout.imageSize % rowBytes == 0 && layout.imageSize / rowBytes == uint32_t(layout.height);
}

}  // namespace

CxBmpDecoder::CxBmpDecoder() : CxImage(kCxFormatBmp) {}

bool CxBmpDecoder::Read(CxFile& stream) {
  try {
    Decode(stream);
    return true;
  } catch (const BmpFailure& failure) {
    SetLastError(failure.message);
  } catch (const std::bad_alloc&) {
    SetLastError("can't allocate memory");
  }
  // Also in the dimensions-only mode: a file whose headers cannot be read has no dimensions.
  return false;
}

void CxBmpDecoder::Decode(CxFile& stream) {
  Layout layout;
  layout.start = stream.Tell();

  uint8_t fileHeader[kFileHeaderSize];
  if (stream.Read(fileHeader, kFileHeaderSize, 1) != 1) throw BmpFailure{"Not a BMP"};
  if (fileHeader[0] == 'B' && fileHeader[1] == 'M') {
    layout.pixelOffset = Le32(fileHeader + 10);
  } else {
    // A bitmap without a file header (as in a clipboard or resource): start over.
    SeekAbsolute(stream, layout.start);
    layout.pixelOffset = 0;
  }

  ReadInfoHeader(stream, layout);

  const uint32_t width = uint32_t(layout.width);
  const uint32_t height =
      layout.topDown ? uint32_t(-int64_t(layout.height)) : uint32_t(layout.height);

  if (info_.escape == -1) {
    header_.biWidth = int32_t(width);
    header_.biHeight = int32_t(height);
    SetLastError("output dimensions returned");
    return;
  }

  // Bit counts without a pixel layout of their own (0 for embedded JPEG or PNG data, 64, ...)
  // would load as a blank picture reported as a success. Bit count 2 keeps loading, zeroed.
  switch (layout.bitCount) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
      break;
    default:
      throw BmpFailure{"Error reading BMP info"};
  }
  if (Create(width, height, layout.bitCount, kCxFormatBmp) == nullptr) {
    throw BmpFailure{"Can't allocate memory"};
  }
  SetResolutionFromFile(layout.pelsX, layout.pelsY);

  if (info_.escape != 0) throw BmpFailure{"Cancelled"};
  ReadPalette(stream, layout);
  if (info_.escape != 0) throw BmpFailure{"Cancelled"};

  ReadPixels(stream, layout);

  if (layout.topDown) Flip();
}

void CxBmpDecoder::ReadInfoHeader(CxFile& stream, Layout& layout) {
  layout.infoStart = stream.Tell();
  uint8_t info[kInfoHeaderSize];
  // The size comes first, so that the short OS/2 header of a tiny file is not read past its end.
  if (stream.Read(info, 4, 1) != 1) throw BmpFailure{"Error reading BMP info"};
  layout.headerSize = Le32(info);
  const uint32_t rest =
      (layout.headerSize == kCoreHeaderSize ? kCoreHeaderSize : kInfoHeaderSize) - 4;
  if (stream.Read(info + 4, rest, 1) != 1) throw BmpFailure{"Error reading BMP info"};

  if (layout.headerSize == kCoreHeaderSize) {
    // Unsigned 16-bit sizes, no compression, 3-byte palette entries.
    layout.width = Le16(info + 4);
    layout.height = Le16(info + 6);
    layout.planes = Le16(info + 8);
    layout.bitCount = Le16(info + 10);
    layout.os2Palette = true;
  } else {
    layout.width = int32_t(Le32(info + 4));
    layout.height = int32_t(Le32(info + 8));
    layout.planes = Le16(info + 12);
    layout.bitCount = Le16(info + 14);
    layout.compression = Le32(info + 16);
    layout.imageSize = Le32(info + 20);
    layout.pelsX = int32_t(Le32(info + 24));
    layout.pelsY = int32_t(Le32(info + 28));
    layout.colorCount = Le32(info + 32);

    if (layout.headerSize == kOs2InfoHeaderSize) {
      stream.Seek(int32_t(kOs2InfoHeaderSize - kInfoHeaderSize), 1);
    } else if (IsWindowsExtendedHeader(layout.headerSize)) {
      stream.Seek(int32_t(layout.headerSize - kInfoHeaderSize), 1);
    } else if (layout.headerSize != kInfoHeaderSize) {
      // An unknown header size is believed only when the fields look like a plain bitmap.
      if (layout.headerSize <= kInfoHeaderSize) throw BmpFailure{"Error reading BMP info"};
      if (!HasPlainImageSize(layout) || layout.planes != 1 ||
          layout.compression != kCompressionNone || layout.colorCount != 0) {
        throw BmpFailure{"Error reading BMP info"};
      }
      SkipForward(stream, layout.headerSize - kInfoHeaderSize);
    }
  }

  // A negative width has no meaning, and the most negative height has no positive counterpart.
  if (layout.width < 0 || layout.height == std::numeric_limits<int32_t>::min()) {
    throw BmpFailure{"Error reading BMP info"};
  }
  layout.topDown = layout.height < 0;
  if (layout.imageSize == 0) {
    const uint64_t rowBytes = ((uint64_t(layout.bitCount) * uint32_t(layout.width) + 31) >> 5) * 4;
    const uint64_t rows = uint64_t(std::abs(int64_t(layout.height)));
    layout.imageSize = uint32_t(std::min<uint64_t>(rowBytes * rows, UINT32_MAX));
  }
  if (layout.colorCount == 0 && layout.bitCount <= 8) layout.colorCount = 1u << layout.bitCount;
}

void CxBmpDecoder::SetResolutionFromFile(int32_t pelsX, int32_t pelsY) {
  header_.biXPelsPerMeter = pelsX;
  header_.biYPelsPerMeter = pelsY;
  info_.dpiX = int32_t(std::floor(pelsX * 0.0254 + 0.5));
  info_.dpiY = int32_t(std::floor(pelsY * 0.0254 + 0.5));
  // Keep the header copy at the start of the pixel block in step with the header.
  std::memcpy(block_, &header_, sizeof header_);
}

void CxBmpDecoder::ReadPalette(CxFile& stream, const Layout& layout) {
  const uint32_t capacity = PaletteSize();
  if (capacity == 0) return;
  const uint32_t entrySize = layout.os2Palette ? 3 : 4;
  // Entries beyond what the bit depth can address are skipped, never stored.
  const uint32_t stored = std::min(layout.colorCount, capacity);
  uint8_t entries[256 * 4];
  const uint32_t read = stream.Read(entries, entrySize, stored);
  for (uint32_t i = 0; i < read; ++i) {
    const uint8_t* e = entries + i * entrySize;
    SetPaletteColor(uint8_t(i), e[2], e[1], e[0], 0);
  }
  if (read == stored) SkipForward(stream, uint64_t(layout.colorCount - stored) * entrySize);
}

void CxBmpDecoder::ReadBitfieldMasks(CxFile& stream, const Layout& layout, uint32_t masks[3]) {
  // The masks follow the 40-byte header; the larger headers carry them at the same place.
  const int64_t back = stream.Tell();
  const int64_t masksStart = layout.infoStart + kInfoHeaderSize;
  SeekAbsolute(stream, masksStart);
  uint8_t raw[sizeof(uint32_t) * 3];
  if (stream.Read(raw, sizeof raw, 1) == 1) {
    for (int i = 0; i < 3; ++i) masks[i] = Le32(raw + 4 * i);
  }
  // Without a pixel offset the pixels come next: after the masks of a 40-byte header, after
  // the header itself when the masks lie inside it.
  SeekAbsolute(stream, std::max<int64_t>(back, masksStart + int64_t(sizeof raw)));
}

void CxBmpDecoder::ReadPixels(CxFile& stream, const Layout& layout) {
  const bool bitfields = layout.compression == kCompressionBitfields;
  uint32_t masks[3] = {0, 0, 0};
  if (bitfields && (layout.bitCount == 16 || layout.bitCount == 32)) {
    ReadBitfieldMasks(stream, layout, masks);
  }
  if (layout.pixelOffset != 0) SeekAbsolute(stream, layout.start + layout.pixelOffset);

  switch (layout.bitCount) {
    case 1:
    case 4:
    case 8:
      if (layout.compression == kCompressionNone) {
        stream.Read(info_.pixels, 1, header_.biSizeImage);
      } else if (layout.compression == kCompressionRle8) {
        DecodeRunLength(stream, false);
      } else if (layout.compression == kCompressionRle4) {
        DecodeRunLength(stream, true);
      } else {
        throw BmpFailure{"compression type not supported"};
      }
      break;
    case 16: {
      if (!bitfields) {
        masks[0] = 0x7C00;
        masks[1] = 0x03E0;
        masks[2] = 0x001F;
      }
      for (uint32_t& mask : masks) mask &= 0xFFFF;
      // 16-bit rows are padded to 4 bytes like every row; they fit inside the 24-bit area.
      const size_t fileBytes = size_t((ImageWidth() + 1) / 2) * ImageHeight() * 4;
      const size_t wanted = std::min<size_t>(fileBytes, header_.biSizeImage);
      const size_t read = stream.Read(info_.pixels, 1, uint32_t(wanted));
      Expand16(read, masks);
      break;
    }
    case 24:
      if (layout.compression != kCompressionNone) throw BmpFailure{"unknown compression"};
      stream.Read(info_.pixels, 1, header_.biSizeImage);
      break;
    case 32:
      if (layout.compression != kCompressionNone && !bitfields) {
        throw BmpFailure{"unknown compression"};
      }
      Read32(stream, bitfields ? masks : nullptr);
      break;
    default:
      // Bit count 2 has no layout of its own here: the pixel area stays zeroed.
      break;
  }
}

void CxBmpDecoder::DecodeRunLength(CxFile& stream, bool fourBit) {
  const uint32_t height = ImageHeight();
  const uint32_t stride = info_.rowStride;
  // Cells are bytes (RLE8) or nibbles (RLE4). When the mode matches the depth a row holds
  // width cells; otherwise the run-length data simply fills the row's bytes.
  const uint32_t matchingBits = fourBit ? 4 : 8;
  const uint32_t rowCells =
      BitsPerPixel() == matchingBits ? ImageWidth() : (fourBit ? stride * 2 : stride);
  uint8_t* const pixels = info_.pixels;

  uint32_t x = 0;
  uint32_t y = 0;
  auto put = [&](uint8_t value) {
    if (y < height && x < rowCells) {
      uint8_t* cell = pixels + size_t(y) * stride + (fourBit ? x / 2 : x);
      if (!fourBit) {
        *cell = value;
      } else if (x % 2 == 0) {
        *cell = uint8_t((*cell & 0x0F) | (value << 4));
      } else {
        *cell = uint8_t((*cell & 0xF0) | (value & 0x0F));
      }
    }
    if (x <= rowCells) ++x;  // past the row nothing is written, so stop counting
  };

  uint8_t pair[2];
  while (y < height && stream.Read(pair, 2, 1) == 1) {
    const uint32_t count = pair[0];
    const uint8_t value = pair[1];
    if (count != 0) {
      // Encoders end rows whose width is not a multiple of 4 with a run over the padding: the
      // part of a run beyond the row is dropped and the next command carries on. Skipping it
      // costs nothing, so a file of such runs takes time by its size only.
      const uint32_t kept = x < rowCells ? std::min(count, rowCells - x) : 0;
      for (uint32_t i = 0; i < kept; ++i) put(fourBit ? (i % 2 == 0 ? value >> 4 : value) : value);
      x = std::min(x + (count - kept), rowCells + 1);
      continue;
    }
    switch (value) {
      case 0:  // end of row
        x = 0;
        ++y;
        break;
      case 1:  // end of bitmap
        return;
      case 2: {  // delta: right by dx pixels, up by dy rows
        uint8_t delta[2];
        if (stream.Read(delta, 2, 1) != 1) return;
        x = std::min(x + delta[0], rowCells + 1);
        y += delta[1];
        break;
      }
      default: {  // literal run of `value` pixels, padded to a 16-bit boundary
        const uint32_t bytes = fourBit ? (value + 1u) / 2 : value;
        uint8_t literal[256];
        const uint32_t padded = bytes + (bytes & 1);
        const uint32_t got = stream.Read(literal, 1, padded);
        const uint32_t usable = std::min(got, bytes);
        const uint32_t pixelsAvailable = fourBit ? std::min<uint32_t>(value, usable * 2) : usable;
        for (uint32_t i = 0; i < pixelsAvailable; ++i) {
          put(fourBit ? (i % 2 == 0 ? literal[i / 2] >> 4 : literal[i / 2]) : literal[i]);
        }
        if (got < bytes) return;  // the data ran out
        break;
      }
    }
  }
}

void CxBmpDecoder::Expand16(size_t bytesRead, const uint32_t masks[3]) {
  const ChannelMask red(masks[0]);
  const ChannelMask green(masks[1]);
  const ChannelMask blue(masks[2]);
  const uint32_t width = ImageWidth();
  const size_t sourceStride = size_t((width + 1) / 2) * 4;
  uint8_t* const pixels = info_.pixels;
  // Rows the file did not reach hold only zeros, in the source as in the result: a short file
  // claiming a huge picture costs what it holds, not what it claims.
  const uint64_t rowsRead = (bytesRead + sourceStride - 1) / sourceStride;
  // Backwards, so that every 3-byte pixel lands at or after the 2 bytes it was made from.
  for (uint32_t y = uint32_t(std::min<uint64_t>(ImageHeight(), rowsRead)); y-- > 0;) {
    for (uint32_t x = width; x-- > 0;) {
      const size_t source = y * sourceStride + 2 * size_t(x);
      // Pixels the file did not supply keep the zeroed pixel area.
      const uint32_t w = source + 2 <= bytesRead ? Le16(pixels + source) : 0;
      uint8_t* target = pixels + size_t(y) * info_.rowStride + 3 * size_t(x);
      target[0] = blue.Extract(w);
      target[1] = green.Extract(w);
      target[2] = red.Extract(w);
    }
  }
}

void CxBmpDecoder::Read32(CxFile& stream, const uint32_t* masks) {
  // Without masks the bytes are blue, green, red and an unused byte.
  const ChannelMask red(masks != nullptr ? masks[0] : 0x00FF0000);
  const ChannelMask green(masks != nullptr ? masks[1] : 0x0000FF00);
  const ChannelMask blue(masks != nullptr ? masks[2] : 0x000000FF);
  const uint32_t width = ImageWidth();
  const uint64_t rowBytes = uint64_t(width) * 4;
  if (rowBytes > UINT32_MAX) throw BmpFailure{"can't allocate memory"};
  std::unique_ptr<uint8_t[]> row(new (std::nothrow) uint8_t[size_t(rowBytes)]);
  if (row == nullptr) throw BmpFailure{"can't allocate memory"};

  // Row by row, so that a short file leaves the rows it lacks as they were created.
  for (uint32_t y = 0; y < ImageHeight(); ++y) {
    const uint32_t got = stream.Read(row.get(), 1, uint32_t(rowBytes));
    uint8_t* target = info_.pixels + size_t(y) * info_.rowStride;
    for (uint32_t x = 0; x < got / 4; ++x) {
      const uint32_t pixel = Le32(row.get() + 4 * size_t(x));
      target[3 * x] = blue.Extract(pixel);
      target[3 * x + 1] = green.Extract(pixel);
      target[3 * x + 2] = red.Extract(pixel);
    }
    if (got < rowBytes) return;
  }
}
