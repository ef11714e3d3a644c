#include "host/PngFile.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <memory>

namespace host {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

bool WritePng(const std::string& path, const GrayPicture& picture, std::string* error) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    *error = "cannot write " + path;
    return false;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    *error = "out of memory";
    return false;
  }
  // libpng reports its errors by longjmp; nothing with a destructor lives between here and it.
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    *error = "libpng could not write " + path;
    return false;
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, picture.width, picture.height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < picture.height; ++y)
    png_write_row(png, picture.pixels.data() + size_t(y) * picture.width);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace host
