#include "image/CxPngDecoder.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>

#include "image/CxFile.h"

// What libpng's error path must release: kept outside the frame that holds the recovery point,
// so that its values survive the jump back into that frame.
struct CxPngReadState {
  png_structp png = nullptr;
  png_infop info = nullptr;
  uint8_t* row = nullptr;
};

namespace {

void ReadFromStream(png_structp png, png_bytep data, size_t length) {
  auto* stream = static_cast<CxFile*>(png_get_io_ptr(png));
  if (length > UINT32_MAX || stream->Read(data, 1, uint32_t(length)) != length) {
    png_error(png, "Read Error");
  }
}

[[noreturn]] void OnLibraryError(png_structp png, png_const_charp message) {
  static_cast<CxImage*>(png_get_error_ptr(png))->SetLastError(message);
  png_longjmp(png, 1);
}

// Warnings (a damaged ancillary chunk, a doubtful colour profile) do not stop the decode, and the
// library writes nothing to the console on our behalf.
void OnLibraryWarning(png_structp, png_const_charp) {}

int32_t DotsPerInchFromMetre(png_uint_32 perMetre) {
  return int32_t(std::floor(double(perMetre) * 0.0254 + 0.5));
}

// The background for pictures without one of their own: light gray 192 for colour pictures,
// black for gray ones (libpng takes the gray value for those, in the picture's own sample range,
// where 0 is black at every bit depth).
png_color_16 DefaultBackground() {
  png_color_16 background{};
  background.index = 0;
  background.red = background.green = background.blue = 192;
  background.gray = 0;
  return background;
}

// Widens packed 2-bit pixels to 4-bit ones in place, from the last pixel backwards so that no
// source pixel is overwritten before it is read.
void Expand2BitRow(uint8_t* row, png_uint_32 width) {
  for (png_uint_32 x = width; x-- > 0;) {
    const uint8_t value = (row[x / 4] >> (6 - 2 * (x % 4))) & 0x03;
    uint8_t& target = row[x / 2];
    target =
        (x % 2 == 0) ? uint8_t((target & 0x0F) | (value << 4)) : uint8_t((target & 0xF0) | value);
  }
}

}  // namespace

CxPngDecoder::CxPngDecoder() : CxImage(kCxFormatPng) {}

bool CxPngDecoder::Read(CxFile& stream) {
  CxPngReadState state;
  // Created for the libpng this program was built with: libpng 1.6 refuses a structure made for
  // another interface version, which would fail every picture.
  state.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, this, OnLibraryError, OnLibraryWarning);
  if (state.png == nullptr) {
    SetLastError("Failed to create PNG structure");
    return false;
  }
  state.info = png_create_info_struct(state.png);
  if (state.info == nullptr) {
    png_destroy_read_struct(&state.png, nullptr, nullptr);
    SetLastError("Failed to initialize PNG info structure");
    return false;
  }

  // libpng reads text, palette-suggestion, EXIF and calibration chunks whole into memory at the
  // length their header claims (a damaged length asks for gigabytes, and the limit below only
  // warns about it); none of them changes a pixel, so they are skipped unread.
  static constexpr png_byte kUnusedChunks[] = {'t',  'E',  'X',  't', '\0', 'z',  'T',  'X', 't',
                                               '\0', 'i',  'T',  'X', 't',  '\0', 's',  'P', 'L',
                                               'T',  '\0', 'e',  'X', 'I',  'f',  '\0', 'p', 'C',
                                               'A',  'L',  '\0', 's', 'C',  'A',  'L',  '\0'};
  png_set_keep_unknown_chunks(state.png, PNG_HANDLE_CHUNK_NEVER, kUnusedChunks,
                              int(sizeof kUnusedChunks / 5));
  // Bounds what libpng inflates or keeps of the chunks it does read (a colour profile).
  constexpr png_alloc_size_t kMaxChunkBytes = 8000000;
  png_set_chunk_malloc_max(state.png, kMaxChunkBytes);

  const bool decoded = Decode(stream, state);

  std::free(state.row);
  png_destroy_read_struct(&state.png, &state.info, nullptr);
  return decoded;
}

bool CxPngDecoder::Decode(CxFile& stream, CxPngReadState& state) {
  png_structp png = state.png;
  png_infop info = state.info;
  if (setjmp(png_jmpbuf(png)) != 0) return false;

  png_set_read_fn(png, &stream, ReadFromStream);
  png_read_info(png, info);

  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int bitDepth = 0;
  int colorType = 0;
  int interlace = 0;
  png_get_IHDR(png, info, &width, &height, &bitDepth, &colorType, &interlace, nullptr, nullptr);
  const int pixelDepth = bitDepth * png_get_channels(png, info);

  png_color_16p fileBackground = nullptr;
  const bool hasBackground = png_get_bKGD(png, info, &fileBackground) != 0;
  if (pixelDepth != 32) {
    if (hasBackground) {
      png_set_background(png, fileBackground, PNG_BACKGROUND_GAMMA_FILE, 1, 1.0);
    } else {
      png_color_16 background = DefaultBackground();
      png_set_background(png, &background, PNG_BACKGROUND_GAMMA_SCREEN, 0, 1.0);
    }
  } else if (hasBackground) {
    SetKeyColor(CxRgbQuad{uint8_t(fileBackground->blue), uint8_t(fileBackground->green),
                          uint8_t(fileBackground->red), 0});
  }

  if (bitDepth == 16) png_set_strip_16(png);

  const uint32_t bits = pixelDepth > 16 ? 24 : (pixelDepth == 16 ? 8 : uint32_t(pixelDepth));
  if (Create(width, height, bits, kCxFormatPng) == nullptr) return false;

  png_uint_32 resolutionX = 0;
  png_uint_32 resolutionY = 0;
  int unit = PNG_RESOLUTION_UNKNOWN;
  png_get_pHYs(png, info, &resolutionX, &resolutionY, &unit);
  if (unit == PNG_RESOLUTION_UNKNOWN) {
    SetResolutionX(int32_t(resolutionX));
    SetResolutionY(int32_t(resolutionY));
  } else if (unit == PNG_RESOLUTION_METER) {
    SetResolutionX(DotsPerInchFromMetre(resolutionX));
    SetResolutionY(DotsPerInchFromMetre(resolutionY));
  }

  png_colorp palette = nullptr;
  int paletteCount = 0;
  if (png_get_PLTE(png, info, &palette, &paletteCount) != 0) {
    CxRgbTriple triples[256];
    paletteCount = std::clamp(paletteCount, 0, 256);
    for (int i = 0; i < paletteCount; ++i) {
      triples[i] = CxRgbTriple{palette[i].red, palette[i].green, palette[i].blue};
    }
    SetPaletteRgb(triples, uint32_t(paletteCount));
  } else if (bitDepth == 2) {
    for (uint8_t i = 0; i < 4; ++i)
      SetPaletteColor(i, uint8_t(85 * i), uint8_t(85 * i), uint8_t(85 * i));
  } else {
    FillGrayPalette();
  }

  // Alpha values per palette entry exist only in palette pictures; for gray and colour pictures
  // the chunk names one transparent sample value, which the compositing above already handles.
  png_bytep transparency = nullptr;
  int transparencyCount = 0;
  if (colorType == PNG_COLOR_TYPE_PALETTE &&
      png_get_tRNS(png, info, &transparency, &transparencyCount, nullptr) != 0 &&
      transparency != nullptr) {
    const uint32_t entries = PaletteSize();
    const uint32_t given =
        std::min({uint32_t(std::max(transparencyCount, 0)), entries, uint32_t(paletteCount)});
    for (uint32_t i = 0; i < given; ++i) {
      const CxRgbQuad c = PaletteColor(uint8_t(i));
      SetPaletteColor(uint8_t(i), c.red, c.green, c.blue, transparency[i]);
    }
    if (transparencyCount == 1 && given == 1 && transparency[0] == 0) {
      info_.keyIndex = 0;
    } else {
      info_.alphaPaletteEnabled = true;
      for (uint32_t i = given; i < entries; ++i) {
        const CxRgbQuad c = PaletteColor(uint8_t(i));
        SetPaletteColor(uint8_t(i), c.red, c.green, c.blue, 255);
      }
    }
  }

  if (colorType == PNG_COLOR_TYPE_RGB_ALPHA ||
      (colorType == PNG_COLOR_TYPE_GRAY_ALPHA && pixelDepth == 32)) {
    if (colorType == PNG_COLOR_TYPE_GRAY_ALPHA) {
      png_set_gray_to_rgb(png);
      png_set_expand(png);
    }
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    AlphaCreate();
  }
  if ((colorType & PNG_COLOR_MASK_COLOR) != 0) png_set_bgr(png);

  if (info_.escape != 0) return false;

  const int passes = png_set_interlace_handling(png);
  SetCodecOption(passes > 1 ? 1 : 0, 0);
  png_read_update_info(png, info);

  // The buffer holds a row as libpng delivers it and also as this image stores it.
  const size_t bufferSize =
      std::max<size_t>({size_t((pixelDepth + 7) / 8) * width + 10, png_get_rowbytes(png, info),
                        info_.rowStride, size_t(width) * 4});
  state.row = static_cast<uint8_t*>(std::calloc(bufferSize, 1));
  if (state.row == nullptr) {
    SetLastError("CxImage::Create can't allocate memory");
    return false;
  }
  uint8_t* const row = state.row;

  const bool hasAlpha = HasAlpha();
  for (int pass = 0; pass < passes; ++pass) {
    const bool refining = pass > 0;  // later interlace passes only add pixels to a row
    const bool lastPass = pass == passes - 1;
    for (png_uint_32 j = 0; j < height; ++j) {
      if (info_.escape != 0) return false;
      const int32_t y = int32_t(height - 1 - j);
      uint8_t* stored = RowAddress(uint32_t(y));
      if (!hasAlpha) {
        if (refining) std::copy(stored, stored + info_.rowStride, row);
        png_read_row(png, row, nullptr);
        if (bitDepth == 2 && lastPass) Expand2BitRow(row, width);
        std::copy(row, row + info_.rowStride, stored);
      } else {
        if (refining) {
          for (png_uint_32 x = 0; x < width; ++x) {
            std::copy(stored + 3 * size_t(x), stored + 3 * size_t(x) + 3, row + 4 * size_t(x));
            row[4 * size_t(x) + 3] = AlphaGet(int32_t(x), y);
          }
        }
        png_read_row(png, row, nullptr);
        for (png_uint_32 x = 0; x < width; ++x) {
          std::copy(row + 4 * size_t(x), row + 4 * size_t(x) + 3, stored + 3 * size_t(x));
          AlphaSet(int32_t(x), y, row[4 * size_t(x) + 3]);
        }
      }
    }
  }

  png_read_end(png, nullptr);
  return true;
}
