#include "image/CxJpegDecoder.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>

#include "image/CxFile.h"
#include "image/CxJpegSource.h"

namespace {

// libjpeg reports fatal errors by calling error_exit, which must not return; ours records the
// message in the image and jumps back to the recovery point in Decompress.
struct ErrorManager {
  jpeg_error_mgr manager;  // must stay first: libjpeg passes its address around
  std::jmp_buf recovery;
  CxImage* image;
};

void ExitToRecoveryPoint(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<ErrorManager*>(cinfo->err);
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  errors->image->SetLastError(text);
  std::longjmp(errors->recovery, 1);
}

// Warnings (a truncated file, corrupt data) do not stop decoding, and a plug-in has no console
// to print them on.
void DiscardMessage(j_common_ptr) {}

// Each scan of a progressive file walks every block of the picture again; a file that repeats
// one scan thousands of times would keep the dialog busy for minutes. Encoders write about ten.
constexpr int kMaxScans = 200;

void LimitScans(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number <= kMaxScans) return;
  auto* errors = reinterpret_cast<ErrorManager*>(cinfo->err);
  errors->image->SetLastError("JPEG file has more than 200 scans");
  std::longjmp(errors->recovery, 1);
}

// Everything the decompression needs, in one record without destructors: a longjmp out of
// libjpeg may cross it, and nothing in it needs cleaning up besides jpeg_destroy_decompress.
struct Session {
  jpeg_decompress_struct cinfo;
  ErrorManager errors;
  jpeg_progress_mgr progress;
  CxJpegSource source;
};
static_assert(std::is_trivially_destructible_v<Session>);
static_assert(std::is_standard_layout_v<ErrorManager>);

// The resolution the EXIF walk found, copied out so that no C++ object is needed below.
struct ExifResolution {
  bool present;
  float x;
  float y;
  float unit;
};

constexpr int kRowsPerCall = 16;
// Scanlines decoded at a time for gray rows: two blue-green-red rows of a wide picture still fit
// the first-level cache, where converting them costs little.
constexpr int kGrayRowsPerCall = 2;

// dpi from a float in the file, truncated; values outside int range read as unknown (96).
int32_t DpiFrom(double value) {
  if (!std::isfinite(value) || value < 1 || value > double(std::numeric_limits<int32_t>::max())) {
    return 0;
  }
  return int32_t(value);
}

void SetResolution(CxImage& image, const jpeg_decompress_struct& cinfo,
                   const ExifResolution& exif) {
  if (exif.present) {
    if (exif.x != 0 && exif.unit != 0) image.SetResolutionX(DpiFrom(double(exif.x) / exif.unit));
    if (exif.y != 0 && exif.unit != 0) image.SetResolutionY(DpiFrom(double(exif.y) / exif.unit));
    return;
  }
  if (cinfo.density_unit == 2) {  // dots per centimetre
    image.SetResolutionX(int32_t(std::floor(cinfo.X_density * 2.54 + 0.5)));
    image.SetResolutionY(int32_t(std::floor(cinfo.Y_density * 2.54 + 0.5)));
  } else {
    image.SetResolutionX(cinfo.X_density);
    image.SetResolutionY(cinfo.Y_density);
  }
}

// CMYK and YCCK files arrive as four bytes c, m, y, k per pixel.
void StoreCmykRow(const JSAMPLE* scanline, size_t rowLength, uint8_t* row, size_t rowStride) {
  for (size_t in = 0, out = 0; in + 3 < rowLength && out + 2 < rowStride; in += 4, out += 3) {
    const unsigned k = scanline[in + 3];
    row[out] = uint8_t(scanline[in + 2] * k / 255);
    row[out + 1] = uint8_t(scanline[in + 1] * k / 255);
    row[out + 2] = uint8_t(scanline[in] * k / 255);
  }
}

// Reads every scanline, top of the picture first, into the stored rows from the top one down.
// Returns false when escape stops it. Holds only trivially destructible locals: libjpeg may
// longjmp out of it.
bool ReadRows(jpeg_decompress_struct& cinfo, CxImage& image, bool cmyk) {
  const uint32_t height = image.ImageHeight();
  const size_t rowStride = image.RowStride();
  const size_t rowLength = size_t(cinfo.output_width) * cinfo.output_components;
  const bool direct = !cmyk && rowLength <= rowStride;
  if (cinfo.output_height != height || cinfo.output_width != image.ImageWidth()) {
    image.SetLastError("JPEG output size differs from the picture");
    return false;
  }

  if (direct) {
    // Decode straight into the pixel rows, several at a time.
    JSAMPROW rows[kRowsPerCall];
    while (cinfo.output_scanline < cinfo.output_height) {
      if (image.Info().escape != 0) return false;
      const uint32_t first = cinfo.output_scanline;
      const uint32_t count = std::min<uint32_t>(kRowsPerCall, cinfo.output_height - first);
      for (uint32_t i = 0; i < count; ++i) rows[i] = image.RowAddress(height - 1 - (first + i));
      jpeg_read_scanlines(&cinfo, rows, count);
    }
    return true;
  }

  JSAMPARRAY buffer = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo),
                                                 JPOOL_IMAGE, JDIMENSION(rowLength), 1);
  while (cinfo.output_scanline < cinfo.output_height) {
    if (image.Info().escape != 0) return false;
    uint8_t* row = image.RowAddress(height - 1 - cinfo.output_scanline);
    jpeg_read_scanlines(&cinfo, buffer, 1);
    if (cmyk) {
      StoreCmykRow(buffer[0], rowLength, row, rowStride);
    } else {
      std::memcpy(row, buffer[0], std::min(rowLength, rowStride));
    }
  }
  return true;
}

// Decodes a few scanlines at a time into a small blue-green-red buffer and stores their gray
// levels, top scanline in the top stored row: the 24-bit picture is never made or touched.
bool ReadRowsAsGray(jpeg_decompress_struct& cinfo, CxImage& image) {
  const uint32_t width = image.ImageWidth();
  const uint32_t height = image.ImageHeight();
  if (cinfo.output_height != height || cinfo.output_width != width ||
      cinfo.output_components != 3) {
    image.SetLastError("JPEG output size differs from the picture");
    return false;
  }
  // libjpeg-turbo writes rows that start on a 16-byte boundary with non-temporal stores, which
  // send them past the cache; rows starting one byte later stay cached for the conversion.
  JSAMPARRAY buffer =
      (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                 JDIMENSION(width) * 3 + 1, kGrayRowsPerCall);
  for (int i = 0; i < kGrayRowsPerCall; ++i) buffer[i] += 1;
  while (cinfo.output_scanline < cinfo.output_height) {
    if (image.Info().escape != 0) return false;
    const uint32_t first = cinfo.output_scanline;
    const JDIMENSION count = jpeg_read_scanlines(&cinfo, buffer, kGrayRowsPerCall);
    for (JDIMENSION i = 0; i < count; ++i) {
      CxImage::GrayRowFromBgr(buffer[i], image.RowAddress(height - 1 - (first + i)), width);
    }
  }
  return true;
}

// libjpeg delivers red, green, blue; the picture stores blue, green, red.
bool SwapRedAndBlue(CxImage& image) {
  const uint32_t width = image.ImageWidth();
  for (uint32_t y = 0; y < image.ImageHeight(); ++y) {
    if (image.Info().escape != 0) return false;
    uint8_t* pixel = image.RowAddress(y);
    for (uint32_t x = 0; x < width; ++x, pixel += 3) std::swap(pixel[0], pixel[2]);
  }
  return true;
}

void ApplyOptions(jpeg_decompress_struct& cinfo, const CxImage& image, int ditherMode) {
  const uint32_t options = image.CodecOption(kCxFormatJpeg);
  if (options & kCxJpegGrayscale) cinfo.out_color_space = JCS_GRAYSCALE;
  if (options & kCxJpegQuantize) {
    cinfo.quantize_colors = TRUE;
    cinfo.desired_number_of_colors = image.Info().quality;
  }
  if (options & kCxJpegDither) cinfo.dither_mode = J_DITHER_MODE(ditherMode);
  if (options & kCxJpegOnePassQuantize) cinfo.two_pass_quantize = FALSE;
  if (options & kCxJpegNoFancyUpsampling) cinfo.do_fancy_upsampling = FALSE;
  if (image.Info().jpegScale != 0) {
    cinfo.scale_num = 1;
    cinfo.scale_denom = image.Info().jpegScale;
  }
}

// The whole libjpeg conversation. The function that calls setjmp owns no object with a
// destructor, and neither do the functions libjpeg can longjmp out of, so the jump skips no
// cleanup; jpeg_destroy_decompress frees everything libjpeg allocated.
bool Decompress(Session& session, CxImage& image, CxFile& stream, const ExifResolution& exif,
                int ditherMode) {
  jpeg_decompress_struct& cinfo = session.cinfo;
  cinfo.err = jpeg_std_error(&session.errors.manager);
  session.errors.manager.error_exit = ExitToRecoveryPoint;
  session.errors.manager.output_message = DiscardMessage;
  session.errors.image = &image;
  if (setjmp(session.errors.recovery) != 0) {
    jpeg_destroy_decompress(&session.cinfo);
    return false;
  }

  jpeg_create_decompress(&cinfo);
  session.progress.progress_monitor = LimitScans;
  cinfo.progress = &session.progress;
  session.source.Attach(&cinfo, stream);
  jpeg_read_header(&cinfo, TRUE);
  ApplyOptions(cinfo, image, ditherMode);

  if (image.Info().escape == -1) {
    jpeg_calc_output_dimensions(&cinfo);
    image.MutableHeader().biWidth = int32_t(cinfo.output_width);
    image.MutableHeader().biHeight = int32_t(cinfo.output_height);
    jpeg_destroy_decompress(&cinfo);
    return true;
  }

  // Asking for blue-green-red output gives the same bytes as decoding red-green-blue and
  // swapping, without a second pass over the picture.
  const bool quantized = cinfo.quantize_colors != FALSE;
  const bool bgrOutput = !quantized && cinfo.out_color_space == JCS_RGB;
  if (bgrOutput) cinfo.out_color_space = JCS_EXT_BGR;

  // The picture is made (or refused) before decompression starts: a small file can claim a
  // huge frame, and libjpeg would allocate its own buffers for it first. The memory guard
  // weighs the picture actually made, so gray rows are bounded by their own 8-bit size: a
  // photograph too large for the 24-bit picture still loads as gray.
  jpeg_calc_output_dimensions(&cinfo);
  const bool grayRows = bgrOutput && cinfo.output_components == 3 &&
                        (image.CodecOption(kCxFormatJpeg) & kCxJpegGrayRows) != 0;
  const uint32_t depth = grayRows ? 8 : 8 * uint32_t(cinfo.output_components);
  // One- and three-channel output lands in every row in full (a failed read discards the
  // picture), so its pixels need not be cleared first; four-channel output is converted.
  const bool everyRowWritten = grayRows || cinfo.output_components != 4;
  const auto create = everyRowWritten ? &CxImage::CreateForDecoding : &CxImage::Create;
  if ((image.*create)(cinfo.output_width, cinfo.output_height, depth, kCxFormatJpeg) == nullptr) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_start_decompress(&cinfo);
  SetResolution(image, cinfo, exif);
  if (grayRows) {
    // ToGray leaves the block's header copy matching the header, resolution included.
    std::memcpy(image.PixelBlock(), &image.Header(), sizeof(CxBitmapInfoHeader));
  }

  if (cinfo.out_color_space == JCS_GRAYSCALE || grayRows) image.FillGrayPalette();
  if (quantized) {
    const int colours = cinfo.actual_number_of_colors;
    JSAMPARRAY map = cinfo.colormap;
    const bool threeChannels = cinfo.out_color_components >= 3;
    image.SetPaletteChannels(uint32_t(colours), map[0], threeChannels ? map[1] : nullptr,
                             threeChannels ? map[2] : nullptr);
    image.MutableHeader().biClrUsed = uint32_t(colours);
  }

  const bool cmyk = cinfo.output_components == 4 && !quantized;
  const bool rowsRead = grayRows ? ReadRowsAsGray(cinfo, image) : ReadRows(cinfo, image, cmyk);
  if (!rowsRead) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_finish_decompress(&cinfo);

  const bool swap =
      cinfo.num_components == 3 && !quantized && !bgrOutput && image.PaletteSize() == 0;
  if (swap && !SwapRedAndBlue(image)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_destroy_decompress(&cinfo);
  return true;
}

}  // namespace

CxJpegDecoder::CxJpegDecoder() : CxImage(kCxFormatJpeg), ditherMode_(JDITHER_FS) {}

bool CxJpegDecoder::Read(CxFile& stream) {
  exif_ = CxExifInfo{};
  const int32_t start = stream.Tell();
  exifReader_.DecodeExif(stream, CxExifReader::kReadExif);
  stream.Seek(start, SEEK_SET);
  const ExifResolution exif{exif_.isExif, exif_.xResolution, exif_.yResolution,
                            exif_.resolutionUnit};

  // Value-initialised, so that a failure before jpeg_create_decompress finds nothing to free.
  static_assert(sizeof(Session) < 8192);
  Session session{};
  if (!Decompress(session, *this, stream, exif, ditherMode_)) return false;
  // A block that breaks off may have been read up to anything: its orientation is no more
  // trusted than its resolution is.
  MutableInfo().exifOrientation = exif_.isExif ? exif_.orientation : 0;
  return true;
}
