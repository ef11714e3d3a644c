#include "image/CxGifDecoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "image/CxFile.h"

namespace {

constexpr int kImageSeparator = 0x2C;
constexpr int kExtensionIntroducer = 0x21;
constexpr int kGraphicControlLabel = 0xF9;

constexpr uint8_t kGlobalTableFlag = 0x80;
constexpr uint8_t kLocalTableFlag = 0x80;
constexpr uint8_t kInterlacedFlag = 0x40;
constexpr uint8_t kTransparencyFlag = 0x01;

constexpr uint32_t kDisposeToBackground = 2;
constexpr uint32_t kDisposeToPrevious = 3;

uint16_t Le16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}

// Skips a chain of data sub-blocks up to and including its empty terminator; false when the
// stream ends inside the chain.
bool SkipSubBlocks(CxFile& stream) {
  for (;;) {
    const int32_t size = stream.GetC();
    if (size < 0) return false;
    if (size == 0) return true;
    // Seeking may pass the end unnoticed; the next size read then fails.
    if (!stream.Seek(size, 1)) return false;
  }
}

bool AppendSubBlocks(CxFile& stream, std::vector<uint8_t>& data) {
  for (;;) {
    const int32_t size = stream.GetC();
    if (size < 0) return false;
    if (size == 0) return true;
    const size_t at = data.size();
    data.resize(at + size_t(size));
    if (stream.Read(data.data() + at, 1, uint32_t(size)) != uint32_t(size)) return false;
  }
}

bool ReadColorTable(CxFile& stream, uint8_t sizeField, CxGifDecoder::ColorTable& table) {
  table.count = 2u << (sizeField & 7);
  uint8_t raw[256 * 3];
  if (stream.Read(raw, 3, table.count) != table.count) return false;
  for (uint32_t i = 0; i < table.count; ++i) {
    table.entries[i] = CxRgbTriple{raw[3 * i], raw[3 * i + 1], raw[3 * i + 2]};
  }
  return true;
}

// Row of the picture that the n-th row of an interlaced image's data fills: every 8th row from
// 0, every 8th from 4, every 4th from 2, then every 2nd from 1.
uint32_t InterlacedRow(uint32_t n, uint32_t height) {
  const uint32_t pass1 = (height + 7) / 8;
  if (n < pass1) return 8 * n;
  n -= pass1;
  const uint32_t pass2 = (height + 3) / 8;
  if (n < pass2) return 4 + 8 * n;
  n -= pass2;
  const uint32_t pass3 = (height + 1) / 4;
  if (n < pass3) return 2 + 4 * n;
  n -= pass3;
  return 1 + 2 * n;
}

}  // namespace

struct CxGifDecoder::Frame {
  uint32_t left = 0;
  uint32_t top = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  bool interlaced = false;
  bool hasLocalTable = false;
  ColorTable local;
  int32_t transparentIndex = -1;  // from the graphic control extension before the frame
  uint32_t delay = 0;
  uint32_t disposal = 0;
  int minimumCodeSize = 0;
  std::vector<uint8_t> data;  // the LZW data, sub-blocks joined

  bool FitsScreen(uint32_t screenWidth, uint32_t screenHeight) const {
    return left + width <= screenWidth && top + height <= screenHeight;
  }
  const ColorTable& Table(const ColorTable& global) const { return hasLocalTable ? local : global; }
  // Stored row (bottom-up, in the screen image) of the frame's n-th data row.
  int32_t StoredRow(uint32_t n, uint32_t screenHeight) const {
    const uint32_t row = interlaced ? InterlacedRow(n, height) : n;
    return int32_t(screenHeight - 1 - (top + row));
  }
};

CxGifDecoder::CxGifDecoder() : CxImage(kCxFormatGif) {}

CxGifDecoder::~CxGifDecoder() = default;

bool CxGifDecoder::Read(CxFile& stream) {
  try {
    return Decode(stream);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool CxGifDecoder::Decode(CxFile& stream) {
  uint8_t header[13];
  if (stream.Read(header, sizeof header, 1) != 1 || std::memcmp(header, "GIF8", 4) != 0) {
    return false;
  }
  const uint32_t screenWidth = Le16(header + 6);
  const uint32_t screenHeight = Le16(header + 8);
  const uint8_t flags = header[10];
  backgroundIndex_ = header[11];

  if (info_.escape == -1) {
    header_.biWidth = int32_t(screenWidth);
    header_.biHeight = int32_t(screenHeight);
    return true;
  }

  global_.count = 0;
  if ((flags & kGlobalTableFlag) != 0 && !ReadColorTable(stream, flags, global_)) return false;

  // Count the complete frames first: the selected one must exist before anything is made.
  const int32_t dataStart = stream.Tell();
  int32_t frames = 0;
  {
    Frame frame;
    while (ReadNextFrame(stream, frame)) ++frames;
  }
  info_.frameCount = frames;
  if (info_.frameIndex < 0 || info_.frameIndex >= frames) return false;
  if (!stream.Seek(dataStart, 0)) return false;

  if (lzw_ == nullptr) lzw_ = std::make_unique<CxGifLzw>();
  return frames == 1 ? DecodeSingleFrame(stream, screenWidth, screenHeight)
                     : DecodeComposite(stream, screenWidth, screenHeight);
}

bool CxGifDecoder::ReadNextFrame(CxFile& stream, Frame& frame) {
  frame.transparentIndex = -1;
  frame.delay = 0;
  frame.disposal = 0;
  frame.data.clear();
  for (;;) {
    if (info_.escape > 0) return false;
    const int32_t introducer = stream.GetC();
    if (introducer == kExtensionIntroducer) {
      const int32_t label = stream.GetC();
      if (label < 0) return false;
      if (label == kGraphicControlLabel) {
        const int32_t size = stream.GetC();
        if (size < 0) return false;
        uint8_t block[255];
        if (stream.Read(block, 1, uint32_t(size)) != uint32_t(size)) return false;
        if (size >= 4) {
          frame.disposal = (block[0] >> 2) & 7;
          frame.delay = Le16(block + 1);
          frame.transparentIndex = (block[0] & kTransparencyFlag) != 0 ? block[3] : -1;
        }
        if (size == 0) continue;  // the terminator came first
      }
      if (!SkipSubBlocks(stream)) return false;
      continue;
    }
    if (introducer != kImageSeparator) return false;  // the trailer, the end, or damage

    uint8_t descriptor[9];
    if (stream.Read(descriptor, sizeof descriptor, 1) != 1) return false;
    frame.left = Le16(descriptor);
    frame.top = Le16(descriptor + 2);
    frame.width = Le16(descriptor + 4);
    frame.height = Le16(descriptor + 6);
    frame.interlaced = (descriptor[8] & kInterlacedFlag) != 0;
    frame.hasLocalTable = (descriptor[8] & kLocalTableFlag) != 0;
    if (frame.hasLocalTable && !ReadColorTable(stream, descriptor[8], frame.local)) return false;
    frame.minimumCodeSize = stream.GetC();
    if (frame.minimumCodeSize < 0) return false;
    return AppendSubBlocks(stream, frame.data);
  }
}

bool CxGifDecoder::DecodeIndices(const Frame& frame, std::vector<uint8_t>& indices, size_t& valid) {
  indices.assign(size_t(frame.width) * frame.height, 0);
  const CxGifLzw::Result result =
      lzw_->Decode(frame.minimumCodeSize, frame.data.data(), frame.data.size(), indices.data(),
                   indices.size(), valid);
  return result != CxGifLzw::Result::kInvalidCode;
}

bool CxGifDecoder::DecodeSingleFrame(CxFile& stream, uint32_t screenWidth, uint32_t screenHeight) {
  Frame frame;
  if (!ReadNextFrame(stream, frame)) return false;
  const ColorTable& table = frame.Table(global_);
  const bool keyed = frame.transparentIndex >= 0;

  // A key index must always name an entry, so keyed images get the full 256-entry palette.
  const uint32_t bits = (keyed || table.count == 0 || table.count > 16) ? 8
                        : table.count > 2                               ? 4
                                                                        : 1;
  if (Create(screenWidth, screenHeight, bits, kCxFormatGif) == nullptr) return false;
  if (table.count == 0) {
    FillGrayPalette();  // no colour table anywhere: show the indices as gray levels
  } else {
    for (uint32_t i = 0; i < table.count && i < PaletteSize(); ++i) {
      const CxRgbTriple& c = table.entries[i];
      SetPaletteColor(uint8_t(i), c.red, c.green, c.blue);
    }
    if (keyed) {
      for (uint32_t i = table.count; i < PaletteSize(); ++i) {
        SetPaletteColor(uint8_t(i), 255, 255, 255);
      }
    }
  }
  info_.keyIndex = frame.transparentIndex;
  info_.frameDelay = frame.delay;

  const uint8_t fill = keyed                              ? uint8_t(frame.transparentIndex)
                       : backgroundIndex_ < PaletteSize() ? backgroundIndex_
                                                          : 0;
  // Every pixel of a row holds the same index, so whole bytes can be written.
  const uint8_t fillByte = BitsPerPixel() == 8   ? fill
                           : BitsPerPixel() == 4 ? uint8_t(fill << 4 | (fill & 0x0F))
                                                 : uint8_t((fill & 1) != 0 ? 0xFF : 0x00);
  std::memset(info_.pixels, fillByte, size_t(info_.rowStride) * screenHeight);
  if (!frame.FitsScreen(screenWidth, screenHeight)) return true;  // passed over

  std::vector<uint8_t> indices;
  size_t valid = 0;
  if (!DecodeIndices(frame, indices, valid)) return false;
  for (size_t p = 0; p < valid; ++p) {
    const uint8_t index = indices[p];
    if (keyed && index == frame.transparentIndex) continue;
    if (table.count != 0 && index >= table.count) return false;  // no such colour
    const uint32_t n = uint32_t(p / frame.width);
    const uint32_t x = frame.left + uint32_t(p % frame.width);
    SetPixelIndex(int32_t(x), frame.StoredRow(n, screenHeight), index);
  }
  return true;
}

bool CxGifDecoder::DecodeComposite(CxFile& stream, uint32_t screenWidth, uint32_t screenHeight) {
  if (Create(screenWidth, screenHeight, 24, kCxFormatGif) == nullptr) return false;
  AlphaCreate();
  if (!HasAlpha()) return false;

  // Uncovered pixels show the background colour and are transparent in the alpha mask.
  CxRgbTriple background{0, 0, 0};
  if (backgroundIndex_ < global_.count) background = global_.entries[backgroundIndex_];
  auto paint = [&](uint32_t x, int32_t y, const CxRgbTriple& c, uint8_t alpha) {
    uint8_t* pixel = RowAddress(uint32_t(y)) + 3 * size_t(x);
    pixel[0] = c.blue;
    pixel[1] = c.green;
    pixel[2] = c.red;
    AlphaSet(int32_t(x), y, alpha);
  };
  for (uint32_t y = 0; y < screenHeight; ++y) {
    uint8_t* row = RowAddress(y);
    for (uint32_t x = 0; x < screenWidth; ++x) {
      row[3 * size_t(x)] = background.blue;
      row[3 * size_t(x) + 1] = background.green;
      row[3 * size_t(x) + 2] = background.red;
    }
  }
  std::memset(alpha_, 0, size_t(screenWidth) * screenHeight);

  std::vector<uint8_t> indices;
  std::vector<uint8_t> saved;  // the area under a frame that is to be restored afterwards
  Frame frame;
  for (int32_t k = 0; k <= info_.frameIndex; ++k) {
    if (!ReadNextFrame(stream, frame)) return false;
    const bool shown = k == info_.frameIndex;
    if (shown) info_.frameDelay = frame.delay;
    if (!frame.FitsScreen(screenWidth, screenHeight)) continue;  // passed over

    // Rows of the frame rectangle, top row first, as stored rows.
    auto storedRow = [&](uint32_t row) { return int32_t(screenHeight - 1 - (frame.top + row)); };
    const bool restorePrevious = !shown && frame.disposal == kDisposeToPrevious;
    if (restorePrevious) {
      saved.resize(size_t(frame.width) * frame.height * 4);
      for (uint32_t row = 0; row < frame.height; ++row) {
        for (uint32_t x = 0; x < frame.width; ++x) {
          const CxRgbQuad c = PixelColor(int32_t(frame.left + x), storedRow(row), true);
          std::memcpy(&saved[(size_t(row) * frame.width + x) * 4], &c, 4);
        }
      }
    }

    const ColorTable& table = frame.Table(global_);
    size_t valid = 0;
    if (!DecodeIndices(frame, indices, valid)) return false;
    for (size_t p = 0; p < valid; ++p) {
      const uint8_t index = indices[p];
      if (index == frame.transparentIndex) continue;
      CxRgbTriple colour{index, index, index};
      if (table.count != 0) {
        if (index >= table.count) return false;
        colour = table.entries[index];
      }
      const uint32_t n = uint32_t(p / frame.width);
      paint(frame.left + uint32_t(p % frame.width), frame.StoredRow(n, screenHeight), colour, 255);
    }

    if (!shown && frame.disposal == kDisposeToBackground) {
      for (uint32_t row = 0; row < frame.height; ++row) {
        for (uint32_t x = 0; x < frame.width; ++x) {
          paint(frame.left + x, storedRow(row), background, 0);
        }
      }
    } else if (restorePrevious) {
      for (uint32_t row = 0; row < frame.height; ++row) {
        for (uint32_t x = 0; x < frame.width; ++x) {
          CxRgbQuad c;
          std::memcpy(&c, &saved[(size_t(row) * frame.width + x) * 4], 4);
          paint(frame.left + x, storedRow(row), CxRgbTriple{c.red, c.green, c.blue}, c.reserved);
        }
      }
    }
  }
  info_.keyIndex = -1;  // transparency lives in the alpha mask
  return true;
}
