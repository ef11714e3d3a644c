#include "JpegTestSupport.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

struct TestErrors {
  jpeg_error_mgr manager;
  std::jmp_buf recovery;
  char message[JMSG_LENGTH_MAX];
};

void TestErrorExit(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<TestErrors*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, errors->message);
  std::longjmp(errors->recovery, 1);
}

void Silent(j_common_ptr) {}

// Plain C-style decode so that no destructor sits between setjmp and longjmp; the results go
// into malloc'd memory that the caller adopts.
struct RawDecode {
  int ok;
  int width, height, components, colours, mapComponents;
  unsigned char* pixels;
  unsigned char* colormap;  // mapComponents rows of colours entries
  char message[JMSG_LENGTH_MAX];
};

void DecodeRaw(const unsigned char* data, unsigned long size, J_COLOR_SPACE outSpace, int colours,
               RawDecode* out) {
  jpeg_decompress_struct cinfo;
  TestErrors errors;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = TestErrorExit;
  errors.manager.output_message = Silent;
  if (setjmp(errors.recovery) != 0) {
    std::memcpy(out->message, errors.message, sizeof out->message);
    std::free(out->pixels);
    out->pixels = nullptr;
    std::free(out->colormap);
    out->colormap = nullptr;
    jpeg_destroy_decompress(&cinfo);
    return;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, size);
  jpeg_read_header(&cinfo, TRUE);
  if (outSpace != JCS_UNKNOWN) cinfo.out_color_space = outSpace;
  if (colours > 0) {
    cinfo.quantize_colors = TRUE;
    cinfo.desired_number_of_colors = colours;
  }
  jpeg_start_decompress(&cinfo);
  out->width = int(cinfo.output_width);
  out->height = int(cinfo.output_height);
  out->components = cinfo.output_components;
  const size_t rowLength = size_t(out->width) * out->components;
  out->pixels = static_cast<unsigned char*>(std::malloc(rowLength * out->height));
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out->pixels + rowLength * cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  if (colours > 0) {
    out->colours = cinfo.actual_number_of_colors;
    out->mapComponents = cinfo.out_color_components;
    out->colormap =
        static_cast<unsigned char*>(std::malloc(size_t(out->colours) * out->mapComponents));
    for (int c = 0; c < out->mapComponents; ++c) {
      std::memcpy(out->colormap + c * out->colours, cinfo.colormap[c], out->colours);
    }
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  out->ok = 1;
}

}  // namespace

std::vector<uint8_t> CompressJpeg(const JpegRecipe& recipe) {
  const int components = recipe.inputSpace == JCS_GRAYSCALE ? 1
                         : recipe.inputSpace == JCS_CMYK    ? 4
                                                            : 3;
  std::vector<uint8_t> pixels(size_t(recipe.width) * recipe.height * components);
  for (int y = 0; y < recipe.height; ++y) {
    for (int x = 0; x < recipe.width; ++x) {
      for (int c = 0; c < components; ++c) {
        pixels[(size_t(y) * recipe.width + x) * components + c] = recipe.sample(x, y, c);
      }
    }
  }

  jpeg_compress_struct cinfo;
  jpeg_error_mgr errors;
  cinfo.err = jpeg_std_error(&errors);  // a failure here is a broken test: let libjpeg exit
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = JDIMENSION(recipe.width);
  cinfo.image_height = JDIMENSION(recipe.height);
  cinfo.input_components = components;
  cinfo.in_color_space = recipe.inputSpace;
  jpeg_set_defaults(&cinfo);
  if (recipe.fileSpace != JCS_UNKNOWN) jpeg_set_colorspace(&cinfo, recipe.fileSpace);
  jpeg_set_quality(&cinfo, recipe.quality, TRUE);
  if (recipe.progressive) jpeg_simple_progression(&cinfo);
  cinfo.write_JFIF_header = recipe.jfif ? TRUE : FALSE;
  cinfo.density_unit = UINT8(recipe.densityUnit);
  cinfo.X_density = UINT16(recipe.xDensity);
  cinfo.Y_density = UINT16(recipe.yDensity);
  jpeg_start_compress(&cinfo, TRUE);
  for (const JpegMarker& marker : recipe.markers) {
    jpeg_write_marker(&cinfo, marker.code, marker.data.data(), unsigned(marker.data.size()));
  }
  const size_t rowLength = size_t(recipe.width) * components;
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = pixels.data() + rowLength * cinfo.next_scanline;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::vector<uint8_t> file(buffer, buffer + size);
  std::free(buffer);
  return file;
}

bool WriteRgbJpeg(const std::string& path, int width, int height, const RgbRowWriter& row,
                  int quality) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  jpeg_compress_struct cinfo;
  jpeg_error_mgr errors;
  cinfo.err = jpeg_std_error(&errors);  // a failure here is a broken test: let libjpeg exit
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, file);
  cinfo.image_width = JDIMENSION(width);
  cinfo.image_height = JDIMENSION(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<uint8_t> scanline(size_t(width) * 3);
  while (cinfo.next_scanline < cinfo.image_height) {
    row(int(cinfo.next_scanline), scanline.data());
    JSAMPROW rows[1] = {scanline.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return std::fclose(file) == 0;
}

bool ReadRgbJpeg(const std::string& path, int width, int height, const RgbRowReader& row) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr errors;
  cinfo.err = jpeg_std_error(&errors);  // only files the test has just written come here
  jpeg_create_decompress(&cinfo);
  jpeg_stdio_src(&cinfo, file);
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  const bool fits = int(cinfo.output_width) == width && int(cinfo.output_height) == height &&
                    cinfo.output_components == 3;
  if (fits) {
    std::vector<uint8_t> scanline(size_t(width) * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
      const int y = int(cinfo.output_scanline);
      JSAMPROW rows[1] = {scanline.data()};
      jpeg_read_scanlines(&cinfo, rows, 1);
      row(y, scanline.data());
    }
    jpeg_finish_decompress(&cinfo);
  }
  jpeg_destroy_decompress(&cinfo);
  std::fclose(file);
  return fits;
}

IndependentDecode DecodeIndependently(const std::vector<uint8_t>& file, J_COLOR_SPACE outSpace,
                                      int colours) {
  RawDecode raw;
  std::memset(&raw, 0, sizeof raw);
  DecodeRaw(file.data(), static_cast<unsigned long>(file.size()), outSpace, colours, &raw);
  IndependentDecode result;
  result.ok = raw.ok != 0;
  result.error = raw.message;
  if (result.ok) {
    result.width = raw.width;
    result.height = raw.height;
    result.components = raw.components;
    result.pixels.assign(raw.pixels, raw.pixels + size_t(raw.width) * raw.height * raw.components);
    for (int c = 0; c < raw.mapComponents; ++c) {
      const unsigned char* row = raw.colormap + c * raw.colours;
      result.colormap.emplace_back(row, row + raw.colours);
    }
  }
  std::free(raw.pixels);
  std::free(raw.colormap);
  return result;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}
