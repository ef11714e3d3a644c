#include "ui/SurfacePng.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <vector>

namespace ui {
namespace {

// libpng reports errors by longjmp; nothing with a destructor may live between the setjmp and
// the calls that can jump, so the rows are prepared by the caller.
bool WriteRows(std::FILE* file, const PixelSurface& surface, png_bytep* rows) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, png_uint_32(surface.width), png_uint_32(surface.height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

bool WriteSurfacePng(const std::string& path, const PixelSurface& surface) {
  if (surface.width <= 0 || surface.height <= 0) return false;
  std::vector<png_bytep> rows(size_t(surface.height));
  for (int y = 0; y < surface.height; ++y) rows[size_t(y)] = const_cast<png_bytep>(surface.Row(y));
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = WriteRows(file, surface, rows.data());
  const bool closed = std::fclose(file) == 0;
  if (written && closed) return true;
  std::remove(path.c_str());
  return false;
}

}  // namespace ui
