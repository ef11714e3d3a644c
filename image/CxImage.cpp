#include "image/CxImage.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

constexpr uint32_t kHeaderSize = sizeof(CxBitmapInfoHeader);
constexpr uint32_t kQuadSize = sizeof(CxRgbQuad);
constexpr int32_t kDefaultDpi = 96;

uint32_t NormalisedDepth(uint32_t bitsPerPixel) {
  if (bitsPerPixel <= 1) return 1;
  if (bitsPerPixel <= 4) return 4;
  if (bitsPerPixel <= 8) return 8;
  return 24;
}

// Large pixel blocks are written in full right after they are made. Asking Linux for
// transparent huge pages there turns the ~18,000 page faults of a 24-megapixel picture into a
// few dozen; those faults were a third of the time it took to load one.
void AdviseHugePages(void* block, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t kHugePage = uintptr_t(2) << 20;
  if (size < 4 * kHugePage) return;
  const uintptr_t start = (uintptr_t(block) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (uintptr_t(block) + size) & ~(kHugePage - 1);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
  (void)block;
  (void)size;
#endif
}

uint32_t PaletteEntriesForDepth(uint32_t depth) {
  return depth <= 8 ? (1u << depth) : 0;
}

int32_t PelsPerMetre(int32_t dpi) {
  // 10000 / 254 inches per metre; clamped so that absurd resolutions cannot overflow.
  const double pels = std::floor(double(dpi) * 39.37007874015748 + 0.5);
  if (pels >= double(std::numeric_limits<int32_t>::max())) {
    return std::numeric_limits<int32_t>::max();
  }
  return int32_t(pels);
}

// Index of pixel x in a palette row of the given depth (1, 4 or 8 bits).
inline uint8_t IndexInRow(const uint8_t* row, uint32_t x, uint32_t depth) {
  switch (depth) {
    case 8:
      return row[x];
    case 4: {
      const uint8_t packed = row[x >> 1];
      return (x & 1) ? (packed & 0x0F) : uint8_t(packed >> 4);
    }
    case 1:
      return (row[x >> 3] >> (7 - (x & 7))) & 1;
    default:
      return 0;
  }
}

}  // namespace

CxImage::CxImage(uint32_t formatCode) {
  ResetInfo(formatCode);
}

CxImage::CxImage(const char* path, uint32_t formatCode) {
  ResetInfo(formatCode);
  LoadFile(path, formatCode);
}

CxImage::CxImage(const CxImage& other) {
  ResetInfo(other.info_.formatCode);
  CopyFrom(other, true, true, true);
}

CxImage::~CxImage() {
  Release();
}

void CxImage::ResetInfo(uint32_t formatCode) {
  block_ = nullptr;
  selection_ = nullptr;
  alpha_ = nullptr;
  layers_ = nullptr;
  header_ = CxBitmapInfoHeader{};
  info_ = CxImageInfo{};
  info_.formatCode = formatCode;
  info_.quality = 90;
  info_.alphaMax = 255;
  info_.keyIndex = -1;
  info_.enabled = true;
  SetResolutionX(kDefaultDpi);
  SetResolutionY(kDefaultDpi);
}

void CxImage::SetLastError(const char* text) {
  if (text == nullptr) text = "";
  const size_t length = std::min(std::strlen(text), sizeof(info_.lastError) - 1);
  std::memmove(info_.lastError, text, length);
  info_.lastError[length] = '\0';
}

void CxImage::ClearDimensions() {
  header_.biWidth = 0;
  header_.biHeight = 0;
  header_.biBitCount = 0;
  header_.biSizeImage = 0;
  header_.biClrUsed = 0;
  header_.biClrImportant = 0;
  info_.rowStride = 0;
  info_.pixels = nullptr;
}

uint8_t* CxImage::Create(uint32_t width, uint32_t height, uint32_t bitsPerPixel,
                         uint32_t formatCode) {
  return Allocate(width, height, bitsPerPixel, formatCode, true);
}

uint8_t* CxImage::CreateForDecoding(uint32_t width, uint32_t height, uint32_t bitsPerPixel,
                                    uint32_t formatCode) {
  return Allocate(width, height, bitsPerPixel, formatCode, false);
}

uint8_t* CxImage::Allocate(uint32_t width, uint32_t height, uint32_t bitsPerPixel,
                           uint32_t formatCode, bool clearPixels) {
  if (!Release()) return nullptr;
  ClearDimensions();
  if (width == 0 || height == 0) {
    SetLastError("CxImage::Create : width and height must be greater than zero");
    return nullptr;
  }
  const uint32_t depth = NormalisedDepth(bitsPerPixel);

  // The row stride and the pixel area are formed in 64 bits and refused above the bound
  // before anything is allocated: 32-bit products would wrap and under-allocate, and a
  // header of a few bytes must not make the plug-in reserve gigabytes.
  const uint64_t rowStride = ((uint64_t(width) * depth + 31) / 32) * 4;
  if (rowStride > kCxImageMaxMemory || rowStride * height > kCxImageMaxMemory) {
    SetLastError("CXIMAGE_MAX_MEMORY exceeded");
    return nullptr;
  }

  const uint32_t paletteEntries = PaletteEntriesForDepth(depth);
  const uint64_t imageSize = rowStride * height;
  const size_t paletteEnd = kHeaderSize + size_t(paletteEntries) * kQuadSize;
  const size_t blockSize = paletteEnd + imageSize;
  // calloc: the palette and every pixel byte start at zero, so rows a decoder never writes
  // read as black instead of leaking old heap contents.
  auto* block =
      static_cast<uint8_t*>(clearPixels ? std::calloc(1, blockSize) : std::malloc(blockSize));
  if (block == nullptr) {
    SetLastError("CxImage::Create can't allocate memory");
    return nullptr;
  }
  AdviseHugePages(block, blockSize);
  if (!clearPixels) {
    std::memset(block, 0, paletteEnd);
    const uint64_t rowBytes = (uint64_t(width) * depth + 7) / 8;
    if (rowBytes < rowStride) {
      for (uint8_t* row = block + paletteEnd; row < block + blockSize; row += rowStride) {
        std::memset(row + rowBytes, 0, size_t(rowStride - rowBytes));
      }
    }
  }

  header_.biSize = kHeaderSize;
  header_.biWidth = int32_t(width);
  header_.biHeight = int32_t(height);
  header_.biPlanes = 1;
  header_.biBitCount = uint16_t(depth);
  header_.biCompression = 0;
  header_.biSizeImage = uint32_t(imageSize);
  header_.biClrUsed = paletteEntries;
  header_.biClrImportant = 0;
  info_.rowStride = uint32_t(rowStride);
  info_.formatCode = formatCode;
  info_.nearestValid = false;

  std::memcpy(block, &header_, kHeaderSize);
  block_ = block;
  info_.pixels = block + kHeaderSize + paletteEntries * kQuadSize;
  return block_;
}

bool CxImage::Release() {
  if (info_.borrowed != nullptr) return false;
  if (layers_ != nullptr) {
    for (int32_t i = 0; i < info_.layerCount; ++i) delete layers_[i];
    delete[] layers_;
    layers_ = nullptr;
  }
  std::free(selection_);
  std::free(alpha_);
  std::free(block_);
  selection_ = nullptr;
  alpha_ = nullptr;
  block_ = nullptr;
  return true;
}

void CxImage::CopyFrom(const CxImage& source, bool copyPixels, bool copySelection, bool copyAlpha) {
  if (&source == this) return;
  // The source's pointers describe its own block; this image keeps its own borrowed state.
  void* const ownBorrowed = info_.borrowed;
  info_ = source.info_;
  info_.pixels = nullptr;
  info_.borrowed = ownBorrowed;
  info_.nearestValid = false;

  if (Create(uint32_t(source.header_.biWidth), uint32_t(source.header_.biHeight),
             source.header_.biBitCount, source.info_.formatCode) == nullptr) {
    return;
  }
  const bool sameLayout = source.block_ != nullptr &&
                          source.header_.biBitCount == header_.biBitCount &&
                          source.PaletteCapacity() == PaletteCapacity();
  if (copyPixels && sameLayout) {
    std::memcpy(block_, source.block_,
                kHeaderSize + PaletteCapacity() * kQuadSize + header_.biSizeImage);
    header_.biClrUsed = source.header_.biClrUsed;
    header_.biClrImportant = source.header_.biClrImportant;
  } else if (source.block_ != nullptr) {
    SetPaletteQuads(source.Palette(), source.PaletteEntries());
  }

  const size_t maskSize = size_t(ImageWidth()) * ImageHeight();
  if (copySelection && source.selection_ != nullptr) {
    if (auto* copy = static_cast<uint8_t*>(std::malloc(maskSize))) {
      std::memcpy(copy, source.selection_, maskSize);
      std::free(selection_);
      selection_ = copy;
    }
  }
  if (copyAlpha && source.alpha_ != nullptr) AlphaCopy(source);
}

bool CxImage::TakeOver(CxImage& source) {
  if (&source == this) return true;
  if (!Release()) return false;
  header_ = source.header_;
  info_ = source.info_;
  block_ = source.block_;
  selection_ = source.selection_;
  alpha_ = source.alpha_;
  layers_ = source.layers_;
  source.header_ = CxBitmapInfoHeader{};
  source.info_ = CxImageInfo{};
  source.block_ = nullptr;
  source.selection_ = nullptr;
  source.alpha_ = nullptr;
  source.layers_ = nullptr;
  return true;
}

uint8_t* CxImage::RowAddress(uint32_t row) const {
  if (block_ == nullptr || row >= ImageHeight()) return nullptr;
  return info_.pixels + size_t(row) * info_.rowStride;
}

// ---------------------------------------------------------------------------------------------
// Palette

uint32_t CxImage::PaletteCapacity() const {
  if (block_ == nullptr) return 0;
  return uint32_t(info_.pixels - block_ - kHeaderSize) / kQuadSize;
}

uint32_t CxImage::PaletteEntries() const {
  return std::min(header_.biClrUsed, PaletteCapacity());
}

CxRgbQuad* CxImage::Palette() const {
  if (PaletteCapacity() == 0) return nullptr;
  return reinterpret_cast<CxRgbQuad*>(block_ + kHeaderSize);
}

CxRgbQuad CxImage::PaletteColor(uint8_t index) const {
  if (index >= PaletteEntries()) return CxRgbQuad{};
  return Palette()[index];
}

void CxImage::SetPaletteColor(uint8_t index, uint8_t red, uint8_t green, uint8_t blue,
                              uint8_t reserved) {
  if (index >= PaletteEntries()) return;
  Palette()[index] = CxRgbQuad{blue, green, red, reserved};
  info_.nearestValid = false;
}

void CxImage::SetPaletteRgb(const CxRgbTriple* triples, uint32_t count) {
  if (triples == nullptr) return;
  CxRgbQuad* palette = Palette();
  const uint32_t n = std::min(count, PaletteEntries());
  for (uint32_t i = 0; i < n; ++i) {
    palette[i].red = triples[i].red;
    palette[i].green = triples[i].green;
    palette[i].blue = triples[i].blue;
  }
  info_.nearestValid = false;
}

void CxImage::SetPaletteChannels(uint32_t count, const uint8_t* red, const uint8_t* green,
                                 const uint8_t* blue) {
  if (red == nullptr) return;
  if (green == nullptr) green = red;
  if (blue == nullptr) blue = green;
  CxRgbQuad* palette = Palette();
  const uint32_t n = std::min(count, PaletteEntries());
  for (uint32_t i = 0; i < n; ++i) {
    palette[i].red = red[i];
    palette[i].green = green[i];
    palette[i].blue = blue[i];
  }
  info_.nearestValid = false;
}

void CxImage::SetPaletteQuads(const CxRgbQuad* quads, uint32_t count) {
  if (quads == nullptr) return;
  const uint32_t n = std::min(count, PaletteEntries());
  if (n > 0) std::memcpy(Palette(), quads, n * kQuadSize);
  info_.nearestValid = false;
}

void CxImage::FillGrayPalette() {
  const uint32_t n = PaletteEntries();
  if (n == 0) return;
  // A one-entry palette has no spread to divide; its only entry is black.
  const uint32_t step = n > 1 ? 255 / (n - 1) : 0;
  CxRgbQuad* palette = Palette();
  for (uint32_t i = 0; i < n; ++i) {
    const auto level = uint8_t(i * step);
    palette[i].blue = level;
    palette[i].green = level;
    palette[i].red = level;
  }
  info_.nearestValid = false;
}

uint8_t CxImage::NearestIndex(CxRgbQuad colour) {
  if (PaletteCapacity() == 0) return 0;
  const CxRgbQuad& cached = info_.nearestColor;
  if (info_.nearestValid && cached.blue == colour.blue && cached.green == colour.green &&
      cached.red == colour.red) {
    return info_.nearestIndex;
  }
  const uint32_t used = PaletteEntries();
  const uint32_t n = header_.biClrImportant != 0 ? std::min(header_.biClrImportant, used) : used;
  const CxRgbQuad* palette = Palette();
  int32_t best = 200000;
  uint32_t bestIndex = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const int32_t db = int32_t(palette[i].blue) - colour.blue;
    const int32_t dg = int32_t(palette[i].green) - colour.green;
    const int32_t dr = int32_t(palette[i].red) - colour.red;
    const int32_t distance = db * db + dg * dg + dr * dr;
    if (distance == 0) {
      bestIndex = i;
      break;
    }
    if (distance < best) {
      best = distance;
      bestIndex = i;
    }
  }
  info_.nearestColor = colour;
  info_.nearestIndex = uint8_t(bestIndex);
  info_.nearestValid = true;
  return uint8_t(bestIndex);
}

// ---------------------------------------------------------------------------------------------
// Pixels

uint8_t CxImage::PixelIndex(int32_t x, int32_t y) const {
  if (block_ == nullptr || PaletteCapacity() == 0) return 0;
  if (x < 0 || y < 0 || x >= header_.biWidth || y >= header_.biHeight) {
    if (info_.keyIndex != -1) return uint8_t(info_.keyIndex);
    return info_.pixels[0];
  }
  return IndexInRow(info_.pixels + size_t(y) * info_.rowStride, uint32_t(x), header_.biBitCount);
}

CxRgbQuad CxImage::OutsideColor() const {
  if (info_.keyIndex != -1) {
    if (PaletteCapacity() == 0) return info_.keyColor;
    return PaletteColor(uint8_t(info_.keyIndex));
  }
  if (block_ == nullptr) return info_.keyColor;
  return PixelColor(0, 0, true);
}

CxRgbQuad CxImage::PixelColor(int32_t x, int32_t y, bool withAlpha) const {
  if (block_ == nullptr || x < 0 || y < 0 || x >= header_.biWidth || y >= header_.biHeight) {
    return OutsideColor();
  }
  CxRgbQuad colour = info_.keyColor;
  if (PaletteCapacity() != 0) {
    colour = PaletteColor(PixelIndex(x, y));
  } else {
    const uint8_t* pixel = info_.pixels + size_t(y) * info_.rowStride + size_t(x) * 3;
    colour.blue = pixel[0];
    colour.green = pixel[1];
    colour.red = pixel[2];
  }
  if (withAlpha && alpha_ != nullptr) colour.reserved = AlphaGet(x, y);
  return colour;
}

int CxImage::PixelGray(int32_t x, int32_t y) const {
  // Called for every pixel of every raster line: a bounds test (negative coordinates wrap to
  // large unsigned values), one palette look-up, integer arithmetic; nothing allocated.
  if (block_ != nullptr && uint32_t(x) < uint32_t(header_.biWidth) &&
      uint32_t(y) < uint32_t(header_.biHeight)) {
    const uint8_t* row = info_.pixels + size_t(y) * info_.rowStride;
    const auto* palette = reinterpret_cast<const CxRgbQuad*>(block_ + kHeaderSize);
    if (header_.biBitCount == 8) {  // the plug-in's gray picture
      const uint8_t index = row[x];
      // An 8-bit block always holds 256 entries, so only the used count can cut it short.
      if (index >= header_.biClrUsed) return 0;
      return GrayOf(palette[index].red, palette[index].green, palette[index].blue);
    }
    if (header_.biBitCount == 24) {
      const uint8_t* pixel = row + size_t(x) * 3;
      return GrayOf(pixel[2], pixel[1], pixel[0]);
    }
    const uint8_t index = IndexInRow(row, uint32_t(x), header_.biBitCount);
    if (index >= PaletteEntries()) return 0;
    return GrayOf(palette[index].red, palette[index].green, palette[index].blue);
  }
  const CxRgbQuad colour = OutsideColor();
  return GrayOf(colour.red, colour.green, colour.blue);
}

void CxImage::SetPixelIndex(int32_t x, int32_t y, uint8_t index) {
  if (block_ == nullptr || PaletteCapacity() == 0) return;
  if (x < 0 || y < 0 || x >= header_.biWidth || y >= header_.biHeight) return;
  uint8_t* row = info_.pixels + size_t(y) * info_.rowStride;
  switch (header_.biBitCount) {
    case 8:
      row[x] = index;
      break;
    case 4: {
      uint8_t& packed = row[x >> 1];
      packed = (x & 1) ? uint8_t((packed & 0xF0) | (index & 0x0F))
                       : uint8_t((packed & 0x0F) | (index << 4));
      break;
    }
    case 1: {
      const auto mask = uint8_t(0x80 >> (x & 7));
      uint8_t& packed = row[x >> 3];
      packed = (index & 1) ? uint8_t(packed | mask) : uint8_t(packed & ~mask);
      break;
    }
    default:
      break;
  }
}

void CxImage::SetPixelColor(int32_t x, int32_t y, CxRgbQuad colour) {
  if (block_ == nullptr) return;
  if (x < 0 || y < 0 || x >= header_.biWidth || y >= header_.biHeight) return;
  if (PaletteCapacity() != 0) {
    SetPixelIndex(x, y, NearestIndex(colour));
    return;
  }
  uint8_t* pixel = info_.pixels + size_t(y) * info_.rowStride + size_t(x) * 3;
  pixel[0] = colour.blue;
  pixel[1] = colour.green;
  pixel[2] = colour.red;
}

// ---------------------------------------------------------------------------------------------
// Gray conversion

namespace {

// The brightness rule, pixel by pixel: what every faster path must reproduce exactly.
void GrayRowPlain(const uint8_t* source, uint8_t* target, uint32_t width) {
  for (uint32_t x = 0; x < width; ++x, source += 3) {
    target[x] = uint8_t((117 * source[0] + 601 * source[1] + 306 * source[2]) >> 10);
  }
}

#if defined(__x86_64__) || defined(__i386__)
// With X = 117b + 601g + 306r:
//   X = 8 * (14b + 75g + 38r) + (5b + g + 2r) = 8A + R,  so  X >> 10 = (A + (R >> 3)) >> 7,
// where A <= 32385 and A + (R >> 3) <= 32640: every step is exact in signed 16-bit lanes, and
// the weights fit the signed bytes of a multiply-add of unsigned bytes.
__attribute__((target("avx2"))) inline __m256i RepeatInLanes(__m128i lane) {
  return _mm256_broadcastsi128_si256(lane);
}

__attribute__((target("avx2"))) inline __m256i LoadTwoLanes(const uint8_t* first,
                                                            const uint8_t* second) {
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(second));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// Sixteen pixels (48 bytes) to their gray levels, one per 16-bit lane, pixels 0..7 in the low
// 128-bit lane. Each lane takes pixels 0..4 from the 16 bytes at its start and pixels 5..7 from
// the 16 bytes 8 further on; -128 clears a byte.
__attribute__((target("avx2"))) inline __m256i GraySixteen(const uint8_t* source) {
  const __m256i blueGreenLow = RepeatInLanes(
      _mm_setr_epi8(0, 1, 3, 4, 6, 7, 9, 10, 12, 13, -128, -128, -128, -128, -128, -128));
  const __m256i blueGreenHigh = RepeatInLanes(_mm_setr_epi8(
      -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, 7, 8, 10, 11, 13, 14));
  const __m256i redLow = RepeatInLanes(_mm_setr_epi8(2, -128, 5, -128, 8, -128, 11, -128, 14, -128,
                                                     -128, -128, -128, -128, -128, -128));
  const __m256i redHigh = RepeatInLanes(_mm_setr_epi8(
      -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, 9, -128, 12, -128, 15, -128));
  const __m256i weightsA = _mm256_set1_epi16(int16_t(14 | (75 << 8)));
  const __m256i weightsR = _mm256_set1_epi16(int16_t(5 | (1 << 8)));
  const __m256i weightRed = _mm256_set1_epi16(38);

  const __m256i low = LoadTwoLanes(source, source + 24);
  const __m256i high = LoadTwoLanes(source + 8, source + 32);
  const __m256i blueGreen = _mm256_or_si256(_mm256_shuffle_epi8(low, blueGreenLow),
                                            _mm256_shuffle_epi8(high, blueGreenHigh));
  const __m256i red =
      _mm256_or_si256(_mm256_shuffle_epi8(low, redLow), _mm256_shuffle_epi8(high, redHigh));
  const __m256i a = _mm256_add_epi16(_mm256_maddubs_epi16(blueGreen, weightsA),
                                     _mm256_maddubs_epi16(red, weightRed));
  const __m256i r =
      _mm256_add_epi16(_mm256_maddubs_epi16(blueGreen, weightsR), _mm256_add_epi16(red, red));
  return _mm256_srli_epi16(_mm256_add_epi16(a, _mm256_srli_epi16(r, 3)), 7);
}

__attribute__((target("avx2"))) void GrayRowAvx2(const uint8_t* source, uint8_t* target,
                                                 uint32_t width) {
  uint32_t x = 0;
  for (; x + 32 <= width; x += 32, source += 96) {
    // Rows are far longer than a cache line: asking early keeps the loads from stalling.
    _mm_prefetch(reinterpret_cast<const char*>(source) + 2048, _MM_HINT_T0);
    const __m256i first = GraySixteen(source);
    const __m256i second = GraySixteen(source + 48);
    // Packing works within 128-bit lanes: the 64-bit quarters come out as pixels 0..7,
    // 16..23, 8..15, 24..31.
    const __m256i packed =
        _mm256_permute4x64_epi64(_mm256_packus_epi16(first, second), _MM_SHUFFLE(3, 1, 2, 0));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(target + x), packed);
  }
  GrayRowPlain(source, target + x, width - x);
}

using GrayRowFunction = void (*)(const uint8_t*, uint8_t*, uint32_t);
GrayRowFunction ChooseGrayRow() {
  return __builtin_cpu_supports("avx2") ? GrayRowAvx2 : GrayRowPlain;
}
#endif

// One 24-bit row (blue, green, red) to gray levels.
void GrayRowFrom24(const uint8_t* source, uint8_t* target, uint32_t width) {
#if defined(__x86_64__) || defined(__i386__)
  static const GrayRowFunction convert = ChooseGrayRow();
  convert(source, target, width);
#else
  GrayRowPlain(source, target, width);
#endif
}

}  // namespace

void CxImage::GrayRowFromBgr(const uint8_t* source, uint8_t* target, uint32_t width) {
  GrayRowFrom24(source, target, width);
}

void CxImage::GrayRowForTesting(const uint8_t* source, uint8_t* target, uint32_t width,
                                bool plain) {
  if (plain) {
    GrayRowPlain(source, target, width);
  } else {
    GrayRowFrom24(source, target, width);
  }
}

bool CxImage::MakeGrayImage(CxImage& gray) const {
  gray.info_ = info_;
  gray.info_.pixels = nullptr;
  if (gray.Create(ImageWidth(), ImageHeight(), 8, info_.formatCode) == nullptr) return false;
  // The resolution travels with the picture, not with the temporary's defaults.
  gray.header_.biXPelsPerMeter = header_.biXPelsPerMeter;
  gray.header_.biYPelsPerMeter = header_.biYPelsPerMeter;
  std::memcpy(gray.block_, &gray.header_, kHeaderSize);
  gray.FillGrayPalette();
  gray.AlphaCopy(*this);
  return true;
}

bool CxImage::GrayInPlaceFrom24() {
  // The 8-bit rows are written over the 24-bit ones, each row converted through a small
  // buffer first. Row y of the result ends before 24-bit row y + 1 begins as long as each
  // 24-bit row is at least 1024 bytes (the gray palette) longer than a gray row; narrower
  // pictures take the temporary-image route.
  const uint32_t width = ImageWidth();
  const uint32_t height = ImageHeight();
  const uint64_t grayStride = ((uint64_t(width) * 8 + 31) / 32) * 4;
  const uint64_t colourStride = info_.rowStride;
  constexpr uint32_t kGrayPaletteBytes = 256 * kQuadSize;
  if (PaletteCapacity() != 0 || colourStride < grayStride + kGrayPaletteBytes) return false;
  std::unique_ptr<uint8_t[]> row(new (std::nothrow) uint8_t[grayStride]);
  if (!row) return false;
  std::memset(row.get(), 0, grayStride);

  uint8_t* const grayPixels = block_ + kHeaderSize + kGrayPaletteBytes;
  for (uint32_t y = 0; y < height; ++y) {
    GrayRowFrom24(info_.pixels + y * colourStride, row.get(), width);
    std::memcpy(grayPixels + y * grayStride, row.get(), grayStride);
  }

  header_.biBitCount = 8;
  header_.biClrUsed = 256;
  header_.biClrImportant = 0;
  header_.biSizeImage = uint32_t(grayStride * height);
  info_.rowStride = uint32_t(grayStride);
  info_.pixels = grayPixels;
  info_.nearestValid = false;
  std::memset(block_ + kHeaderSize, 0, kGrayPaletteBytes);
  FillGrayPalette();
  std::memcpy(block_, &header_, kHeaderSize);

  const size_t graySize = kHeaderSize + kGrayPaletteBytes + size_t(header_.biSizeImage);
  if (auto* smaller = static_cast<uint8_t*>(std::realloc(block_, graySize))) {
    block_ = smaller;
    info_.pixels = block_ + kHeaderSize + kGrayPaletteBytes;
  }
  return true;
}

bool CxImage::ToGray() {
  if (block_ == nullptr || info_.borrowed != nullptr) return false;
  const uint32_t width = ImageWidth();
  const uint32_t height = ImageHeight();

  if (header_.biBitCount > 8) {
    if (GrayInPlaceFrom24()) return true;
    CxImage gray;
    if (!MakeGrayImage(gray)) return false;
    for (uint32_t y = 0; y < height; ++y) GrayRowFrom24(RowAddress(y), gray.RowAddress(y), width);
    return TakeOver(gray);
  }

  // Palette pictures: each entry's blue byte becomes the entry's gray level.
  CxRgbQuad* palette = Palette();
  const uint32_t used = PaletteEntries();
  for (uint32_t i = 0; i < used; ++i) {
    palette[i].blue = uint8_t(GrayOf(palette[i].red, palette[i].green, palette[i].blue));
  }
  if (info_.keyIndex != -1) {
    // An index outside the palette read as black before, and keeps doing so.
    const auto key = uint8_t(info_.keyIndex);
    info_.keyIndex = key < used ? palette[key].blue : 0;
  }

  if (header_.biBitCount == 8) {
    // Indices past the used entries read as black before the conversion, and still do.
    uint8_t levels[256];
    for (uint32_t i = 0; i < 256; ++i) levels[i] = i < used ? palette[i].blue : 0;
    uint8_t* bytes = info_.pixels;
    for (uint32_t i = 0; i < header_.biSizeImage; ++i) bytes[i] = levels[bytes[i]];
    // The levels span 0..255 whatever palette the decoder used, so every entry is needed.
    header_.biClrUsed = PaletteCapacity();
    header_.biClrImportant = 0;
    FillGrayPalette();
    return true;
  }

  CxImage gray;
  if (!MakeGrayImage(gray)) return false;
  const uint32_t depth = header_.biBitCount;
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* source = RowAddress(y);
    uint8_t* target = gray.RowAddress(y);
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t index = IndexInRow(source, x, depth);
      target[x] = index < used ? palette[index].blue : 0;
    }
  }
  return TakeOver(gray);
}

// ---------------------------------------------------------------------------------------------
// Alpha

void CxImage::AlphaCreate() {
  if (alpha_ != nullptr || block_ == nullptr) return;
  const size_t size = size_t(ImageWidth()) * ImageHeight();
  alpha_ = static_cast<uint8_t*>(std::malloc(size));
  if (alpha_ != nullptr) std::memset(alpha_, 255, size);
}

bool CxImage::AlphaCopy(const CxImage& source) {
  if (source.alpha_ == nullptr || source.header_.biWidth != header_.biWidth ||
      source.header_.biHeight != header_.biHeight) {
    return false;
  }
  const size_t size = size_t(ImageWidth()) * ImageHeight();
  if (alpha_ == nullptr) {
    alpha_ = static_cast<uint8_t*>(std::malloc(size));
    if (alpha_ == nullptr) return false;
  }
  std::memcpy(alpha_, source.alpha_, size);
  info_.alphaMax = source.info_.alphaMax;
  return true;
}

uint8_t CxImage::AlphaGet(int32_t x, int32_t y) const {
  if (alpha_ == nullptr || x < 0 || y < 0 || x >= header_.biWidth || y >= header_.biHeight) {
    return 0;
  }
  return alpha_[size_t(y) * ImageWidth() + x];
}

void CxImage::AlphaSet(int32_t x, int32_t y, uint8_t value) {
  if (alpha_ == nullptr || x < 0 || y < 0 || x >= header_.biWidth || y >= header_.biHeight) {
    return;
  }
  alpha_[size_t(y) * ImageWidth() + x] = value;
}

// ---------------------------------------------------------------------------------------------
// Orientation, key colour, resolution, codec options

bool CxImage::Flip() {
  if (block_ == nullptr) return false;
  // Swapping rows in place gives the same picture as copying them reversed into a new image,
  // without holding the picture twice.
  const uint32_t height = ImageHeight();
  const uint32_t stride = info_.rowStride;
  const size_t alphaStride = ImageWidth();
  for (uint32_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
    std::swap_ranges(RowAddress(top), RowAddress(top) + stride, RowAddress(bottom));
    if (alpha_ != nullptr) {
      uint8_t* a = alpha_ + top * alphaStride;
      std::swap_ranges(a, a + alphaStride, alpha_ + bottom * alphaStride);
    }
  }
  return true;
}

void CxImage::SetKeyColor(CxRgbQuad colour) {
  colour.reserved = 0;
  info_.keyColor = colour;
}

void CxImage::SetResolutionX(int32_t dpi) {
  if (dpi <= 0) dpi = kDefaultDpi;
  info_.dpiX = dpi;
  header_.biXPelsPerMeter = PelsPerMetre(dpi);
}

void CxImage::SetResolutionY(int32_t dpi) {
  if (dpi <= 0) dpi = kDefaultDpi;
  info_.dpiY = dpi;
  header_.biYPelsPerMeter = PelsPerMetre(dpi);
}

bool CxImage::SetCodecOption(uint32_t value, uint32_t formatCode) {
  if (formatCode == 0) formatCode = info_.formatCode;
  if (formatCode > 6) return false;
  info_.codecOptions[formatCode] = value;
  return true;
}

uint32_t CxImage::CodecOption(uint32_t formatCode) const {
  if (formatCode == 0) formatCode = info_.formatCode;
  if (formatCode > 6) return 0;
  return info_.codecOptions[formatCode];
}

// ---------------------------------------------------------------------------------------------
// Painting

int CxImage::PaintStretched(PixelSurface* surface, const PaintRect& rect,
                            uint32_t rasterOperation) const {
  return PaintStretched(surface, rect.left, rect.top, rect.right - rect.left,
                        rect.bottom - rect.top, rasterOperation);
}

int CxImage::PaintStretched(PixelSurface* surface, int32_t x, int32_t y, int32_t width,
                            int32_t height, uint32_t rasterOperation) const {
  if (block_ == nullptr || surface == nullptr) return 0;
  if (rasterOperation != kSourceCopy) return 0;
  if (surface->width <= 0 || surface->height <= 0 || surface->stride < 3 * surface->width ||
      surface->pixels.size() < size_t(surface->stride) * surface->height) {
    return 0;
  }
  if (width <= 0 || height <= 0) return 1;

  // The destination rectangle clipped to the surface, in 64 bits so that no edge overflows.
  const int64_t left = std::max<int64_t>(x, 0);
  const int64_t right = std::min<int64_t>(int64_t(x) + width, surface->width);
  const int64_t top = std::max<int64_t>(y, 0);
  const int64_t bottom = std::min<int64_t>(int64_t(y) + height, surface->height);
  if (left >= right || top >= bottom) return 1;

  // Nearest neighbour: each destination pixel takes the source pixel under its centre. The
  // source column of every destination column is worked out once, so the cost follows the
  // destination size however large the picture is.
  const uint64_t sourceWidth = ImageWidth();
  const uint64_t sourceHeight = ImageHeight();
  const auto columns = size_t(right - left);
  std::unique_ptr<uint32_t[]> sourceColumn(new (std::nothrow) uint32_t[columns]);
  if (!sourceColumn) return 0;
  for (size_t i = 0; i < columns; ++i) {
    const uint64_t dx = uint64_t(left - x) + i;
    sourceColumn[i] = uint32_t(((2 * dx + 1) * sourceWidth) / (2 * uint64_t(width)));
  }

  const uint32_t depth = header_.biBitCount;
  uint8_t paletteRgb[256][3] = {};
  if (depth <= 8) {
    for (uint32_t i = 0; i < 256; ++i) {
      const CxRgbQuad entry = PaletteColor(uint8_t(i));
      paletteRgb[i][0] = entry.red;
      paletteRgb[i][1] = entry.green;
      paletteRgb[i][2] = entry.blue;
    }
  } else {
    for (size_t i = 0; i < columns; ++i) sourceColumn[i] *= 3;
  }

  const auto sourceRowOf = [&](int64_t row) {
    const uint64_t dy = uint64_t(row - y);
    const uint64_t fromTop = ((2 * dy + 1) * sourceHeight) / (2 * uint64_t(height));
    return RowAddress(uint32_t(sourceHeight - 1 - fromTop));
  };
  const uint8_t* previousSource = nullptr;
  const uint8_t* previousTarget = nullptr;
  for (int64_t row = top; row < bottom; ++row) {
    const uint8_t* source = sourceRowOf(row);
    uint8_t* target = surface->Row(int(row)) + left * 3;
    if (source == previousSource) {  // enlarged pictures repeat rows
      std::memcpy(target, previousTarget, columns * 3);
      continue;
    }
    previousSource = source;
    previousTarget = target;
    // Shrunk pictures touch one pixel per few cache lines, far apart: fetching the next row's
    // pixels while this one is copied hides most of the memory latency.
    const uint8_t* next = row + 1 < bottom ? sourceRowOf(row + 1) : source;
    if (depth == 24) {
      for (size_t i = 0; i < columns; ++i, target += 3) {
        __builtin_prefetch(next + sourceColumn[i]);
        const uint8_t* pixel = source + sourceColumn[i];
        target[0] = pixel[2];
        target[1] = pixel[1];
        target[2] = pixel[0];
      }
    } else if (depth == 8) {
      for (size_t i = 0; i < columns; ++i, target += 3) {
        __builtin_prefetch(next + sourceColumn[i]);
        const uint8_t* rgb = paletteRgb[source[sourceColumn[i]]];
        target[0] = rgb[0];
        target[1] = rgb[1];
        target[2] = rgb[2];
      }
    } else {
      for (size_t i = 0; i < columns; ++i, target += 3) {
        const uint8_t* rgb = paletteRgb[IndexInRow(source, sourceColumn[i], depth)];
        target[0] = rgb[0];
        target[1] = rgb[1];
        target[2] = rgb[2];
      }
    }
  }
  return 1;
}
