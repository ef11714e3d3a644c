#include "image/CxJpegSource.h"

#include <jerror.h>

#include "image/CxFile.h"

namespace {

CxJpegSource& SourceOf(j_decompress_ptr cinfo) {
  return *reinterpret_cast<CxJpegSource*>(cinfo->src);
}

void InitSource(j_decompress_ptr cinfo) {
  SourceOf(cinfo).startOfFile = true;
}

boolean FillInputBuffer(j_decompress_ptr cinfo) {
  CxJpegSource& source = SourceOf(cinfo);
  size_t count = source.stream->Read(source.buffer, 1, kCxJpegSourceBufferSize);
  if (count == 0) {
    if (source.startOfFile) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    // A truncated file ends in a supplied end-of-image marker: the rows decoded so far are kept
    // and the rest comes out as the library fills missing data.
    WARNMS(cinfo, JWRN_JPEG_EOF);
    source.buffer[0] = JOCTET(0xFF);
    source.buffer[1] = JOCTET(JPEG_EOI);
    count = 2;
  }
  source.manager.next_input_byte = source.buffer;
  source.manager.bytes_in_buffer = count;
  source.startOfFile = false;
  return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count) {
  if (count <= 0) return;
  CxJpegSource& source = SourceOf(cinfo);
  auto remaining = size_t(count);
  while (remaining > source.manager.bytes_in_buffer) {
    remaining -= source.manager.bytes_in_buffer;
    FillInputBuffer(cinfo);
  }
  source.manager.next_input_byte += remaining;
  source.manager.bytes_in_buffer -= remaining;
}

void TermSource(j_decompress_ptr) {}

}  // namespace

void CxJpegSource::Attach(j_decompress_ptr cinfo, CxFile& input) {
  manager.init_source = InitSource;
  manager.fill_input_buffer = FillInputBuffer;
  manager.skip_input_data = SkipInputData;
  manager.resync_to_restart = jpeg_resync_to_restart;
  manager.term_source = TermSource;
  manager.bytes_in_buffer = 0;
  manager.next_input_byte = nullptr;
  stream = &input;
  startOfFile = true;
  cinfo->src = &manager;
}
