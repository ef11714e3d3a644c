// Writes the hand-made JPEG seeds (fuzz/corpus/<target>/own-*.jpg) that the public test
// pictures lack: CMYK, restart markers, 4:2:0 and 4:4:4 sampling, tiny odd sizes, and EXIF and
// JFIF density variants. Build and run from the repository root:
//   c++ -std=c++20 fuzz/seeds/make_jpeg_seeds.cpp -ljpeg -o /tmp/make_jpeg_seeds
//   /tmp/make_jpeg_seeds
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace {

struct Options {
  int width = 9;
  int height = 7;
  int components = 3;
  J_COLOR_SPACE space = JCS_RGB;
  int restartRows = 0;
  bool progressive = false;
  bool subsample = true;
  int densityUnit = 0;
  int density = 0;
  std::vector<unsigned char> app1;  // an APP1 block written after the JFIF header
};

std::vector<unsigned char> Encode(const Options& o) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr jerr{};
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = o.width;
  cinfo.image_height = o.height;
  cinfo.input_components = o.components;
  cinfo.in_color_space = o.space;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 75, TRUE);
  if (o.restartRows) cinfo.restart_in_rows = o.restartRows;
  if (o.progressive) jpeg_simple_progression(&cinfo);
  if (!o.subsample) {
    for (int c = 0; c < cinfo.num_components; ++c) {
      cinfo.comp_info[c].h_samp_factor = 1;
      cinfo.comp_info[c].v_samp_factor = 1;
    }
  }
  if (o.densityUnit) {
    cinfo.density_unit = UINT8(o.densityUnit);
    cinfo.X_density = UINT16(o.density);
    cinfo.Y_density = UINT16(o.density);
  }
  jpeg_start_compress(&cinfo, TRUE);
  if (!o.app1.empty()) {
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, o.app1.data(), unsigned(o.app1.size()));
  }
  jpeg_write_marker(&cinfo, JPEG_COM, reinterpret_cast<const JOCTET*>("seed"), 4);
  std::vector<unsigned char> row(size_t(o.width) * o.components);
  for (int y = 0; y < o.height; ++y) {
    for (size_t i = 0; i < row.size(); ++i) {
      row[i] = static_cast<unsigned char>((i * 37 + size_t(y) * 61) & 0xFF);
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<unsigned char> bytes(buffer, buffer + size);
  jpeg_destroy_compress(&cinfo);
  std::free(buffer);
  return bytes;
}

std::vector<unsigned char> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

void Put(const std::string& target, const std::string& name,
         const std::vector<unsigned char>& bytes) {
  const std::string folder = "fuzz/corpus/" + target;
  std::filesystem::create_directories(folder);
  const std::string path = folder + "/own-" + name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void PutBoth(const std::string& name, const std::vector<unsigned char>& bytes) {
  Put("fuzz_decode_jpeg", name, bytes);
  Put("fuzz_jpeg_markers", name, bytes);
}

}  // namespace

int main() {
  Options cmyk;
  cmyk.components = 4;
  cmyk.space = JCS_CMYK;
  Put("fuzz_decode_jpeg", "cmyk-9x7.jpg", Encode(cmyk));

  Options restart;
  restart.width = 33;
  restart.height = 17;
  restart.restartRows = 1;
  Put("fuzz_decode_jpeg", "restart-33x17.jpg", Encode(restart));

  Options gray;
  gray.components = 1;
  gray.space = JCS_GRAYSCALE;
  gray.width = 1;
  gray.height = 1;
  Put("fuzz_decode_jpeg", "gray-1x1.jpg", Encode(gray));

  Options full;
  full.subsample = false;
  full.progressive = true;
  full.densityUnit = 2;
  full.density = 118;
  Put("fuzz_decode_jpeg", "progressive-444-118dpcm.jpg", Encode(full));

  Options exif;
  exif.app1 = ReadFile("fuzz/corpus/fuzz_jpeg_markers/own-exif-ii.bin");
  PutBoth("exif-ii.jpg", Encode(exif));
  exif.app1 = ReadFile("fuzz/corpus/fuzz_jpeg_markers/own-exif-mm.bin");
  exif.densityUnit = 1;
  exif.density = 200;
  PutBoth("exif-mm.jpg", Encode(exif));
  return 0;
}
