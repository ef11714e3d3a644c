// The JPEG marker walk and the EXIF parser: the sections of a JPEG head in both reading modes,
// and a bare EXIF block (input starting with "Exif") straight into the TIFF directory parser.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/CxExifReader.h"
#include "image/CxMemFile.h"

namespace {

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

void CheckRecord(const CxExifInfo& info) {
  Check(std::memchr(info.cameraMake, '\0', sizeof info.cameraMake) != nullptr,
        "camera make not terminated");
  Check(std::memchr(info.cameraModel, '\0', sizeof info.cameraModel) != nullptr,
        "camera model not terminated");
  Check(info.orientation >= 0 && info.orientation <= 8, "orientation outside 0..8");
  Check(info.exifImageWidth >= 0, "negative EXIF image width");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 20)) return -1;
  std::vector<uint8_t> bytes(data, data + size);

  for (const int mode :
       {int(CxExifReader::kReadExif), CxExifReader::kReadExif | CxExifReader::kReadImage}) {
    CxExifInfo info{};
    CxExifReader reader(&info);
    CxMemFile stream(bytes.data(), uint32_t(size));
    reader.DecodeExif(stream, mode);
    Check(reader.SectionCount() <= 20, "more sections kept than the walk allows");
    CheckRecord(info);
  }

  if (size >= 4 && std::memcmp(data, "Exif", 4) == 0) {
    CxExifInfo info{};
    CxExifReader reader(&info);
    reader.ProcessExif(bytes.data(), uint32_t(size));
    CheckRecord(info);
  }
  return 0;
}
