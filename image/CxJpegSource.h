// A libjpeg source manager that reads the compressed data from a CxFile in 4096-byte blocks.
#pragma once

#include <cstddef>
#include <type_traits>

// clang-format off
#include <cstdio>  // jpeglib.h uses FILE and size_t without declaring them
#include <jpeglib.h>
// clang-format on

class CxFile;

inline constexpr size_t kCxJpegSourceBufferSize = 4096;

// A plain C-layout record: libjpeg holds a pointer to its first member, and it may live across
// the decoder's setjmp/longjmp recovery, so it has no destructor and nothing to free.
struct CxJpegSource {
  jpeg_source_mgr manager;  // must stay first: libjpeg's callbacks get its address
  CxFile* stream;
  bool startOfFile;  // no byte read yet: running dry now means an empty file
  JOCTET buffer[kCxJpegSourceBufferSize];

  // Installs this source on the decompression object, reading from stream.
  void Attach(j_decompress_ptr cinfo, CxFile& input);
};

static_assert(std::is_standard_layout_v<CxJpegSource>);
static_assert(std::is_trivially_destructible_v<CxJpegSource>);
