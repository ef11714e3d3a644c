#include "image/CxExifReader.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "image/CxFile.h"

namespace {

constexpr size_t kMaxSections = 20;
// Directories link to each other by offsets; a crafted block can link in loops or fan out, so
// nesting and the number of directories per block are bounded.
constexpr int kMaxDirectoryDepth = 8;
constexpr int kMaxDirectories = 32;

constexpr int kMarkerEoi = 0xD9;
constexpr int kMarkerSos = 0xDA;
constexpr int kMarkerApp0 = 0xE0;
constexpr int kMarkerApp1 = 0xE1;
constexpr int kMarkerComment = 0xFE;

enum Tag : uint16_t {
  kTagMake = 0x010F,
  kTagModel = 0x0110,
  kTagOrientation = 0x0112,
  kTagXResolution = 0x011A,
  kTagYResolution = 0x011B,
  kTagResolutionUnit = 0x0128,
  kTagThumbnailOffset = 0x0201,
  kTagThumbnailLength = 0x0202,
  kTagExifOffset = 0x8769,
  kTagExifImageWidth = 0xA002,
  kTagExifImageLength = 0xA003,
  kTagInteropOffset = 0xA005,
  kTagFocalPlaneXResolution = 0xA20E,
  kTagFocalPlaneYResolution = 0xA20F,
  kTagFocalPlaneUnit = 0xA210,
};

// Bytes per component of the TIFF formats 1..12 (index 0 unused).
constexpr uint32_t kBytesPerFormat[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};

bool IsFrameMarker(int marker) {
  switch (marker) {
    case 0xC0:
    case 0xC1:
    case 0xC2:
    case 0xC3:
    case 0xC5:
    case 0xC6:
    case 0xC7:
    case 0xC9:
    case 0xCA:
    case 0xCB:
    case 0xCD:
    case 0xCE:
    case 0xCF:
      return true;
    default:
      return false;
  }
}

// Unit tag values to a factor from that unit to inches; other values leave the factor.
void ApplyUnit(double unit, float& factor) {
  // The value may come as a rational or a double: NaN or one beyond int has no integer to be.
  if (!(unit >= 0 && unit < 6)) return;
  switch (int(unit)) {
    case 1:
    case 2:
      factor = 1.0f;
      break;
    case 3:
      factor = 0.3937007874f;
      break;
    case 4:
      factor = 0.03937007874f;
      break;
    case 5:
      factor = 0.00003937007874f;
      break;
    default:
      break;
  }
}

// Narrowing that cannot overflow: values a crafted block makes out of range read as 0.
float ToFloat(double value) {
  return std::isfinite(value) && std::fabs(value) <= FLT_MAX ? float(value) : 0.0f;
}
uint32_t ToUnsigned(double value) {
  return value >= 0 && value <= double(UINT32_MAX) ? uint32_t(value) : 0;
}

}  // namespace

struct CxExifReader::Block {
  const uint8_t* data;  // the TIFF header
  uint32_t length;
  bool bigEndian;

  uint16_t Get16(const uint8_t* p) const {
    return bigEndian ? uint16_t((p[0] << 8) | p[1]) : uint16_t((p[1] << 8) | p[0]);
  }
  uint32_t Get32(const uint8_t* p) const {
    return bigEndian
               ? (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]
               : (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
  }
  bool Contains(uint64_t offset, uint64_t size) const { return offset + size <= length; }

  // One value of the given format as a number; rationals with a zero denominator give 0.
  double Number(const uint8_t* p, uint32_t format) const {
    switch (format) {
      case 1:
      case 7:
        return p[0];
      case 6:
        return int8_t(p[0]);
      case 3:
        return Get16(p);
      case 8:
        return int16_t(Get16(p));
      case 4:
        return Get32(p);
      case 9:
        return int32_t(Get32(p));
      case 5: {
        const uint32_t denominator = Get32(p + 4);
        return denominator == 0 ? 0.0 : double(Get32(p)) / denominator;
      }
      case 10: {
        const auto denominator = int32_t(Get32(p + 4));
        return denominator == 0 ? 0.0 : double(int32_t(Get32(p))) / denominator;
      }
      case 11: {
        const uint32_t bits = Get32(p);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
      }
      case 12: {
        const uint64_t bits = bigEndian ? (uint64_t(Get32(p)) << 32) | Get32(p + 4)
                                        : (uint64_t(Get32(p + 4)) << 32) | Get32(p);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
      }
      default:
        return 0.0;
    }
  }
};

CxExifReader::CxExifReader(CxExifInfo* info) : info_(info) {}

bool CxExifReader::Fail(const char* message) {
  message_ = message;
  return false;
}

bool CxExifReader::DecodeExif(CxFile& stream, int readMode) {
  sections_.clear();
  message_.clear();
  commentSeen_ = false;
  if (stream.GetC() != 0xFF || stream.GetC() != 0xD8) return Fail("Not a JPEG file");
  bool finished = false;
  while (!finished) {
    if (!ReadSection(stream, readMode, finished)) return false;
  }
  return true;
}

bool CxExifReader::KeepSection(int marker, std::vector<uint8_t>&& data) {
  if (sections_.size() >= kMaxSections) return Fail("Too many sections in jpg file");
  sections_.push_back(Section{marker, std::move(data)});
  return true;
}

bool CxExifReader::ReadSection(CxFile& stream, int readMode, bool& finished) {
  int marker = 0;
  for (int padding = 0;; ++padding) {
    marker = stream.GetC();
    if (marker < 0) return Fail("Premature end of file?");
    if (marker != 0xFF) break;
    if (padding >= 6) {
      std::printf("too many padding bytes\n");
      return Fail("too many padding bytes");
    }
  }
  if (marker == kMarkerEoi) {  // no length follows an end-of-image marker
    std::printf("No image in jpeg!\n");
    return Fail("No image in jpeg!");
  }

  const int high = stream.GetC();
  const int low = stream.GetC();
  if (high < 0 || low < 0) return Fail("Premature end of file?");
  const auto length = uint32_t((high << 8) | low);
  if (length < 2) return Fail("invalid marker");

  std::vector<uint8_t> data;
  try {
    data.resize(length);
  } catch (const std::bad_alloc&) {
    return Fail("Could not allocate memory");
  }
  data[0] = uint8_t(high);
  data[1] = uint8_t(low);
  if (stream.Read(data.data() + 2, 1, length - 2) != length - 2) {
    return Fail("Premature end of file?");
  }

  const bool readExif = (readMode & kReadExif) != 0;
  if (IsFrameMarker(marker)) {
    if (length >= 8) {
      info_->frameHeight = (data[3] << 8) | data[4];
      info_->frameWidth = (data[5] << 8) | data[6];
    }
    info_->process = marker;
    return KeepSection(marker, std::move(data));
  }
  switch (marker) {
    case kMarkerSos:
      finished = true;
      if (!KeepSection(marker, std::move(data))) return false;
      if ((readMode & kReadImage) != 0) {
        const int32_t here = stream.Tell();
        const int32_t size = stream.Size();
        const uint32_t rest = size > here ? uint32_t(size - here) : 0;
        std::vector<uint8_t> image;
        try {
          image.resize(rest);
        } catch (const std::bad_alloc&) {
          return Fail("could not allocate data for entire image");
        }
        if (stream.Read(image.data(), 1, rest) != rest) {
          return Fail("could not read the rest of the image");
        }
        return KeepSection(0, std::move(image));
      }
      return true;
    case kMarkerApp1:
      if (readExif && length >= 6 && std::memcmp(data.data() + 2, "Exif", 4) == 0) {
        ProcessExif(data.data() + 2, length - 2);
        return KeepSection(marker, std::move(data));
      }
      return true;  // other APP1 blocks (XMP and the like) are dropped
    case kMarkerComment:
      if (readExif && !commentSeen_) {
        commentSeen_ = true;
        info_->comment.assign(reinterpret_cast<const char*>(data.data() + 2), length - 2);
        return KeepSection(marker, std::move(data));
      }
      return true;
    case kMarkerApp0:
      return true;
    default:
      return KeepSection(marker, std::move(data));
  }
}

bool CxExifReader::ProcessExif(const uint8_t* block, uint32_t length) {
  info_->isExif = false;
  directoriesRead_ = 0;
  static constexpr uint8_t kExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
  if (block == nullptr || length < 6 || std::memcmp(block, kExifHeader, 6) != 0) {
    return Fail("Incorrect Exif header");
  }
  if (length < 6 + 8) return Fail("Invalid Exif alignment marker.");
  Block tiff{block + 6, length - 6, false};
  if (tiff.data[0] == 'I' && tiff.data[1] == 'I') {
    tiff.bigEndian = false;
  } else if (tiff.data[0] == 'M' && tiff.data[1] == 'M') {
    tiff.bigEndian = true;
  } else {
    return Fail("Invalid Exif alignment marker.");
  }
  if (tiff.Get16(tiff.data + 2) != 42) return Fail("Invalid Exif start (1)");

  const uint32_t firstOffset = tiff.Get32(tiff.data + 4);
  if (!ProcessDirectory(tiff, 8, 0)) return false;
  if (firstOffset >= 9 && !ProcessDirectory(tiff, firstOffset, 0)) return false;

  if (info_->focalPlaneXResolution != 0) {
    info_->sensorWidth = ToFloat(double(info_->exifImageWidth) * info_->focalPlaneUnits /
                                 info_->focalPlaneXResolution);
  }
  info_->isExif = true;
  return true;
}

bool CxExifReader::ProcessDirectory(const Block& block, uint32_t offset, int depth) {
  if (depth > kMaxDirectoryDepth || ++directoriesRead_ > kMaxDirectories) {
    return Fail("Illegal subdirectory link");
  }
  if (!block.Contains(offset, 2)) return Fail("Illegal subdirectory link");
  const uint8_t* directory = block.data + offset;
  const uint32_t entries = block.Get16(directory);
  if (!block.Contains(uint64_t(offset) + 2, uint64_t(entries) * 12)) {
    return Fail("Illegal pointer offset value in EXIF.");
  }
  for (uint32_t i = 0; i < entries; ++i) {
    if (!ProcessEntry(block, directory + 2 + 12 * i, depth)) return false;
  }
  // The link after the entries leads to the next directory (the thumbnail's); one that points
  // outside the block is ignored rather than followed.
  const uint64_t linkOffset = uint64_t(offset) + 2 + uint64_t(entries) * 12;
  if (block.Contains(linkOffset, 4)) {
    const uint32_t next = block.Get32(block.data + linkOffset);
    if (next != 0 && block.Contains(next, 2)) return ProcessDirectory(block, next, depth + 1);
  }
  return true;
}

bool CxExifReader::ProcessEntry(const Block& block, const uint8_t* entry, int depth) {
  const uint16_t tag = block.Get16(entry);
  const uint32_t format = block.Get16(entry + 2);
  const uint32_t components = block.Get32(entry + 4);
  if (format >= 13) return Fail("Illegal format code in EXIF dir");

  const uint64_t byteCount = uint64_t(components) * kBytesPerFormat[format];
  const uint8_t* value = entry + 8;
  if (byteCount > 4) {
    const uint32_t valueOffset = block.Get32(entry + 8);
    if (!block.Contains(valueOffset, byteCount)) {
      return Fail("Illegal pointer offset value in EXIF.");
    }
    value = block.data + valueOffset;
  }
  if (components == 0 || format == 0) return true;  // no value to read

  switch (tag) {
    case kTagMake:
    case kTagModel: {
      char* target = tag == kTagMake ? info_->cameraMake : info_->cameraModel;
      const size_t capacity =
          tag == kTagMake ? sizeof info_->cameraMake : sizeof info_->cameraModel;
      const size_t n = std::min<uint64_t>(byteCount, capacity - 1);
      std::memcpy(target, value, n);
      target[n] = '\0';
      break;
    }
    case kTagOrientation: {
      // Only the main directory speaks for the picture; the thumbnail's directory may carry an
      // orientation of its own, which must not turn the photograph.
      if (depth != 0) break;
      const double orientation = block.Number(value, format);
      if (orientation >= 1 && orientation <= 8) {
        info_->orientation = int32_t(orientation);
      } else {
        message_ = "Undefined rotation value";
        info_->orientation = 0;
      }
      break;
    }
    case kTagXResolution:
      info_->xResolution = ToFloat(block.Number(value, format));
      break;
    case kTagYResolution:
      info_->yResolution = ToFloat(block.Number(value, format));
      break;
    case kTagResolutionUnit:
      ApplyUnit(block.Number(value, format), info_->resolutionUnit);
      break;
    case kTagFocalPlaneXResolution:
      info_->focalPlaneXResolution = ToFloat(block.Number(value, format));
      break;
    case kTagFocalPlaneYResolution:
      info_->focalPlaneYResolution = ToFloat(block.Number(value, format));
      break;
    case kTagFocalPlaneUnit:
      ApplyUnit(block.Number(value, format), info_->focalPlaneUnits);
      break;
    case kTagExifImageWidth:
    case kTagExifImageLength: {
      const double size = block.Number(value, format);
      if (size > info_->exifImageWidth && size <= 0x7FFFFFFF) info_->exifImageWidth = int32_t(size);
      break;
    }
    case kTagThumbnailOffset:
      info_->thumbnailOffset = ToUnsigned(block.Number(value, format));
      break;
    case kTagThumbnailLength:
      info_->thumbnailSize = ToUnsigned(block.Number(value, format));
      break;
    case kTagExifOffset:
    case kTagInteropOffset: {
      const uint32_t link = block.Get32(value);
      if (!block.Contains(link, 2)) return Fail("Illegal subdirectory link");
      return ProcessDirectory(block, link, depth + 1);
    }
    default:
      break;
  }
  return true;
}
