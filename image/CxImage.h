// The in-memory picture: one packed bottom-up device-independent bitmap (header, palette, rows)
// plus the library's own information block. Decoders fill it; the plug-in converts it to 8-bit
// gray once and then reads single pixels as brightness 0..255.
//
// Coordinates count stored rows: y = 0 is the bottom row of the picture as seen.
// No operation throws; failures are false/null results with a reason in LastErrorText().
#pragma once

#include <cstdint>

#include "image/Export.h"
#include "image/PixelSurface.h"

class CxFile;

// Format codes of the library; also the index of the codec options.
enum CxFormat : uint32_t {
  kCxFormatUnknown = 0,
  kCxFormatBmp = 1,
  kCxFormatGif = 2,
  kCxFormatJpeg = 3,
  kCxFormatPng = 4,
  kCxFormatWbmp = 5,
  kCxFormatMetafile = 6,
};

// Bound of the memory guard of Create: the largest pixel area, in bytes, it allocates.
inline constexpr uint64_t kCxImageMaxMemory = 256000000;

#pragma pack(push, 1)
struct CxBitmapInfoHeader {  // the published 40-byte BITMAPINFOHEADER layout
  uint32_t biSize;
  int32_t biWidth;
  int32_t biHeight;
  uint16_t biPlanes;
  uint16_t biBitCount;
  uint32_t biCompression;
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  uint32_t biClrUsed;
  uint32_t biClrImportant;
};
#pragma pack(pop)
static_assert(sizeof(CxBitmapInfoHeader) == 40);

struct CxRgbQuad {  // one palette entry or colour: blue, green, red, reserved
  uint8_t blue;
  uint8_t green;
  uint8_t red;
  uint8_t reserved;
  bool operator==(const CxRgbQuad&) const = default;
};

struct CxRgbTriple {  // red, green, blue, as in PNG and GIF colour tables
  uint8_t red;
  uint8_t green;
  uint8_t blue;
};

struct CxImageInfo {
  uint32_t rowStride;
  uint8_t* pixels;  // stored row 0 inside the pixel block
  void* borrowed;   // non-null: the image does not own its data and Release refuses
  uint32_t formatCode;
  char lastError[256];
  int32_t escape;    // 0 normal; -1 dimensions only; other values stop a running decoder
  int32_t keyIndex;  // -1 none
  CxRgbQuad keyColor;
  uint8_t quality;
  uint8_t jpegScale;
  int32_t frameIndex;
  int32_t frameCount;
  uint32_t frameDelay;
  int32_t dpiX;
  int32_t dpiY;
  uint8_t alphaMax;
  bool alphaPaletteEnabled;
  bool enabled;
  uint32_t codecOptions[7];
  CxRgbQuad nearestColor;  // the nearest-colour cache
  uint8_t nearestIndex;
  bool nearestValid;
  int32_t layerCount;
  int32_t exifOrientation;  // as the file's EXIF block records it (1..8); 0 without one
};

class CX_EXPORT CxImage {
 public:
  explicit CxImage(uint32_t formatCode = 0);
  CxImage(const char* path, uint32_t formatCode);
  CxImage(const CxImage& other);
  CxImage& operator=(const CxImage&) = delete;
  virtual ~CxImage();

  void ResetInfo(uint32_t formatCode);
  // Returns the new pixel block, or null with LastErrorText() set.
  uint8_t* Create(uint32_t width, uint32_t height, uint32_t bitsPerPixel, uint32_t formatCode);
  // As Create, but only the header, the palette and the padding at the end of each row are
  // zeroed: for a decoder that writes every pixel of every row before the picture is used, and
  // discards it otherwise. Clearing a 24-megapixel block costs as much as graying it.
  uint8_t* CreateForDecoding(uint32_t width, uint32_t height, uint32_t bitsPerPixel,
                             uint32_t formatCode);
  bool Release();
  void CopyFrom(const CxImage& source, bool copyPixels, bool copySelection, bool copyAlpha);
  // Takes the source's data; the source is left empty, owning nothing.
  bool TakeOver(CxImage& source);

  // Loading and decoding (implemented beside the decoders).
  bool LoadFile(const char* path, uint32_t formatCode);
  bool Decode(CxFile& stream, uint32_t formatCode);

  bool IsLoaded() const { return block_ != nullptr; }
  uint32_t ImageWidth() const { return uint32_t(header_.biWidth); }
  uint32_t ImageHeight() const { return uint32_t(header_.biHeight); }
  uint16_t BitsPerPixel() const { return header_.biBitCount; }
  uint32_t RowStride() const { return info_.rowStride; }
  uint32_t FormatCode() const { return info_.formatCode; }
  const char* LastErrorText() const { return info_.lastError; }
  void SetLastError(const char* text);  // copies at most 255 characters
  uint8_t* RowAddress(uint32_t row) const;
  uint32_t PaletteSize() const { return header_.biClrUsed; }
  // The palette entries in use, Palette()[0 .. PaletteEntries() - 1]: biClrUsed may be lowered
  // by a decoder but never reaches past the block.
  uint32_t PaletteEntries() const;
  const CxBitmapInfoHeader& Header() const { return header_; }
  CxBitmapInfoHeader& MutableHeader() { return header_; }
  const CxImageInfo& Info() const { return info_; }
  CxImageInfo& MutableInfo() { return info_; }
  uint8_t* PixelBlock() const { return block_; }
  CxRgbQuad* Palette() const;  // null without a palette

  // Palette.
  CxRgbQuad PaletteColor(uint8_t index) const;
  void SetPaletteColor(uint8_t index, uint8_t red, uint8_t green, uint8_t blue,
                       uint8_t reserved = 0);
  void SetPaletteRgb(const CxRgbTriple* triples, uint32_t count);
  void SetPaletteChannels(uint32_t count, const uint8_t* red, const uint8_t* green,
                          const uint8_t* blue);
  void SetPaletteQuads(const CxRgbQuad* quads, uint32_t count);
  void FillGrayPalette();
  uint8_t NearestIndex(CxRgbQuad colour);

  // Pixels.
  uint8_t PixelIndex(int32_t x, int32_t y) const;
  CxRgbQuad PixelColor(int32_t x, int32_t y, bool withAlpha = true) const;
  // Brightness 0..255: (306 red + 601 green + 117 blue) >> 10.
  int PixelGray(int32_t x, int32_t y) const;
  void SetPixelIndex(int32_t x, int32_t y, uint8_t index);
  void SetPixelColor(int32_t x, int32_t y, CxRgbQuad colour);

  // Converts to 8-bit gray in place: afterwards 256 entries (i, i, i) and one level per byte.
  bool ToGray();
  // One 24-bit row (blue, green, red) to gray levels, byte for byte as ToGray converts it; lets
  // a decoder store gray rows without making the 24-bit picture first.
  static void GrayRowFromBgr(const uint8_t* source, uint8_t* target, uint32_t width);
  // One 24-bit row to gray levels, by the plain rule or by the path ToGray takes; lets tests
  // hold the fast path to the plain rule's bytes.
  static void GrayRowForTesting(const uint8_t* source, uint8_t* target, uint32_t width, bool plain);

  // Alpha mask: width * height bytes, row by row from stored row 0.
  void AlphaCreate();
  bool AlphaCopy(const CxImage& source);
  uint8_t AlphaGet(int32_t x, int32_t y) const;
  void AlphaSet(int32_t x, int32_t y, uint8_t value);
  bool HasAlpha() const { return alpha_ != nullptr; }

  bool Flip();
  // Turns and mirrors the picture so that it reads upright, for a picture stored the way an
  // EXIF orientation value describes (2..8; any other value leaves it as it is, with true).
  // Mirrors and the half turn work in place; the quarter turns and diagonal mirrors (5..8) make
  // the turned picture beside this one, so the pixels are held twice for that moment. 8- and
  // 24-bit pictures only: false, unchanged, when the picture is empty, of another depth, or the
  // turned picture cannot be made (its reason in LastErrorText()).
  bool ApplyOrientation(int32_t orientation);
  // The orientation the file recorded; the pixels stay as stored until ApplyOrientation.
  int32_t ExifOrientation() const { return info_.exifOrientation; }
  void SetKeyColor(CxRgbQuad colour);
  void SetResolutionX(int32_t dpi);
  void SetResolutionY(int32_t dpi);
  bool SetCodecOption(uint32_t value, uint32_t formatCode = 0);
  uint32_t CodecOption(uint32_t formatCode = 0) const;

  // Stretches the whole picture, upright and nearest-neighbour, into a rectangle of the surface
  // (clipped to it). Returns 1 when painted, 0 when the image is empty or surface is null.
  int PaintStretched(PixelSurface* surface, int32_t x, int32_t y, int32_t width, int32_t height,
                     uint32_t rasterOperation = kSourceCopy) const;
  int PaintStretched(PixelSurface* surface, const PaintRect& rect,
                     uint32_t rasterOperation = kSourceCopy) const;
  static constexpr uint32_t kSourceCopy = 0x00CC0020;

  // The brightness formula shared by PixelGray and ToGray.
  static int GrayOf(uint8_t red, uint8_t green, uint8_t blue) {
    return (306 * red + 601 * green + 117 * blue) >> 10;
  }

 protected:
  // Palette entries allocated in the pixel block (fixed by Create).
  uint32_t PaletteCapacity() const;
  // The colour that reads outside the picture yield (the key, or stored pixel (0, 0)).
  CxRgbQuad OutsideColor() const;
  void ClearDimensions();
  uint8_t* Allocate(uint32_t width, uint32_t height, uint32_t bitsPerPixel, uint32_t formatCode,
                    bool clearPixels);
  // ToGray's steps: a new 8-bit image of this size with this information block, resolution,
  // gray palette and alpha; and the conversion of 24-bit rows over themselves.
  bool MakeGrayImage(CxImage& gray) const;
  bool GrayInPlaceFrom24();

  uint8_t* block_ = nullptr;  // header copy, palette, rows
  CxBitmapInfoHeader header_{};
  CxImageInfo info_{};
  uint8_t* selection_ = nullptr;
  uint8_t* alpha_ = nullptr;
  CxImage** layers_ = nullptr;
};
