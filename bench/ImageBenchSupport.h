// The large test picture of the image benchmarks: a smooth 24-megapixel colour JPEG written
// row by row with libjpeg, so that making it never holds the picture in memory.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

// clang-format off
#include <cstdio>  // jpeglib.h uses FILE and size_t without declaring them
#include <jpeglib.h>
// clang-format on

inline constexpr int kBenchWidth = 6000;
inline constexpr int kBenchHeight = 4000;

// Gradients and a triangle wave: smooth like a photograph's sky, not noise.
inline void SmoothRow(int y, int width, int height, uint8_t* rgb) {
  for (int x = 0; x < width; ++x) {
    const int t = (x + 2 * y) % 512;
    rgb[3 * x] = uint8_t(x * 255 / width);
    rgb[3 * x + 1] = uint8_t(y * 255 / height);
    rgb[3 * x + 2] = uint8_t(t < 256 ? t : 511 - t);
  }
}

// An EXIF block whose main directory holds only an orientation (1..8), little-endian.
inline std::vector<uint8_t> OrientationExif(int orientation) {
  return {'E',  'x',  'i', 'f', 0, 0, 'I', 'I', 42,
          0,    8,    0,   0,   0,  // TIFF header, IFD0 at 8
          1,    0,                  // one entry:
          0x12, 0x01, 3,   0,   1, 0, 0,   0,   uint8_t(orientation),
          0,    0,    0,        // 0x0112, SHORT, 1
          0,    0,    0,   0};  // no next directory
}

// Writes the picture to a file under TMPDIR (or /tmp) and returns its path; empty on failure.
// With an orientation, the file carries it in an EXIF block, as a phone's photo does.
inline std::string WriteSmoothJpeg(int width = kBenchWidth, int height = kBenchHeight,
                                   int orientation = 0) {
  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp != nullptr ? tmp : "/tmp") + "/engraving-bench-" +
                     std::to_string(getpid()) + ".jpg";
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return std::string();
  jpeg_compress_struct cinfo;
  jpeg_error_mgr errors;
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, file);
  cinfo.image_width = JDIMENSION(width);
  cinfo.image_height = JDIMENSION(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  if (orientation != 0) {
    const std::vector<uint8_t> exif = OrientationExif(orientation);
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, exif.data(), unsigned(exif.size()));
  }
  std::vector<uint8_t> row(size_t(width) * 3);
  while (cinfo.next_scanline < cinfo.image_height) {
    SmoothRow(int(cinfo.next_scanline), width, height, row.data());
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::fclose(file);
  return path;
}
