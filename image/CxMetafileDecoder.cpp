#include "image/CxMetafileDecoder.h"

#include <fcntl.h>
#include <libwmf/api.h>
#include <libwmf/gd.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "image/CxFile.h"
#include "image/CxMemFile.h"
#include "image/CxPngDecoder.h"

namespace {

constexpr uint32_t kPlaceableKey = 0x9AC6CDD7;
constexpr uint32_t kPlaceableHeaderSize = 22;
constexpr uint32_t kMetaHeaderSize = 18;
constexpr uint32_t kMaxUnitsPerInch = 2540;
constexpr double kPointsPerInch = 72.0;  // libwmf's device unit

uint16_t Le16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

struct Placeable {
  int16_t left = 0;
  int16_t top = 0;
  int16_t right = 0;
  int16_t bottom = 0;
  uint16_t unitsPerInch = 0;
};

// The placeable header as libwmf will play it; anything doubtful is refused before the renderer
// sees it (a units-per-inch of 0, for one, would crash it).
bool ParsePlaceable(const uint8_t* header, Placeable& placeable) {
  if (Le32(header) != kPlaceableKey) return false;
  uint16_t checksum = 0;
  for (int i = 0; i < 10; ++i) checksum ^= Le16(header + 2 * i);
  if (checksum != Le16(header + 20)) return false;
  placeable.left = int16_t(Le16(header + 6));
  placeable.top = int16_t(Le16(header + 8));
  placeable.right = int16_t(Le16(header + 10));
  placeable.bottom = int16_t(Le16(header + 12));
  placeable.unitsPerInch = Le16(header + 14);
  return placeable.unitsPerInch >= 1 && placeable.unitsPerInch <= kMaxUnitsPerInch;
}

// libwmf trusts the bitmaps inside a metafile; a damaged one makes it read far outside the file.
// The records are therefore walked first: each must lie inside the metafile, the last must be the
// end record, and every embedded bitmap must be a plain one whose pixels are all present.
constexpr uint16_t kEndRecord = 0x0000;

// Bitmaps held as device-independent bitmaps, and the parameter words before the bitmap.
int DibOffsetWords(uint16_t function) {
  switch (function) {
    case 0x0940:  // DIBBITBLT
      return 8;
    case 0x0B41:  // DIBSTRETCHBLT
      return 10;
    case 0x0F43:  // STRETCHDIB
      return 11;
    case 0x0D33:  // SETDIBTODEV
      return 9;
    case 0x0142:  // DIBCREATEPATTERNBRUSH
      return 2;
    default:
      return -1;
  }
}

// Bitmaps in the old device-dependent form, which nothing has written for decades.
bool IsDeviceBitmapRecord(uint16_t function) {
  return function == 0x0922 || function == 0x0B23 || function == 0x01F9;
}

bool IsPlainDib(const uint8_t* dib, size_t available) {
  if (available < 12) return false;
  const uint32_t headerSize = Le32(dib);
  uint64_t width = 0;
  uint64_t height = 0;
  uint32_t bitCount = 0;
  uint64_t colours = 0;
  uint64_t entrySize = 4;
  if (headerSize == 12) {
    width = Le16(dib + 4);
    height = Le16(dib + 6);
    bitCount = Le16(dib + 10);
    entrySize = 3;
  } else {
    if (headerSize < 40 || available < 40) return false;
    const auto signedWidth = int32_t(Le32(dib + 4));
    const auto signedHeight = int32_t(Le32(dib + 8));
    if (signedWidth <= 0 || signedHeight == 0 || signedHeight == INT32_MIN) return false;
    width = uint64_t(signedWidth);
    height = uint64_t(signedHeight < 0 ? -int64_t(signedHeight) : signedHeight);
    bitCount = Le16(dib + 14);
    const uint32_t compression = Le32(dib + 16);
    const bool masks = compression == 3 && (bitCount == 16 || bitCount == 32);
    if (compression != 0 && !masks) return false;
    colours = Le32(dib + 32) + (masks && headerSize == 40 ? 3 : 0);
  }
  if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 &&
      bitCount != 32) {
    return false;
  }
  if (width == 0 || height == 0 || width * height > (uint64_t(1) << 28)) return false;
  if (colours == 0 && bitCount <= 8) colours = uint64_t(1) << bitCount;
  if (colours > 256 + 3) return false;
  const uint64_t rowBytes = (width * bitCount + 31) / 32 * 4;
  return uint64_t(headerSize) + colours * entrySize + rowBytes * height <= available;
}

bool IsPlainDeviceBitmap(const uint8_t* bitmap, size_t available) {
  // Type, width, height, bytes per row, planes and bits per pixel, then the rows.
  if (available < 10) return false;
  const uint64_t height = Le16(bitmap + 4);
  const uint64_t rowBytes = Le16(bitmap + 6);
  return Le16(bitmap + 2) != 0 && height != 0 && rowBytes * height <= available - 10;
}

// The object table as the records use it: libwmf follows an object index without asking whether
// the slot holds anything.
class ObjectTable {
 public:
  explicit ObjectTable(size_t slots) : used_(slots, false) {}

  bool Create() {
    for (size_t i = 0; i < used_.size(); ++i) {
      if (used_[i]) continue;
      used_[i] = true;
      return true;
    }
    return false;  // more objects than the header announced
  }
  bool Holds(uint16_t index) const { return index < used_.size() && used_[index]; }
  bool Delete(uint16_t index) {
    if (!Holds(index)) return false;
    used_[index] = false;
    return true;
  }

  static bool IsCreation(uint16_t function) {
    switch (function) {
      case 0x02FC:  // CREATEBRUSHINDIRECT
      case 0x0142:  // DIBCREATEPATTERNBRUSH
      case 0x01F9:  // CREATEPATTERNBRUSH
      case 0x02FA:  // CREATEPENINDIRECT
      case 0x02FB:  // CREATEFONTINDIRECT
      case 0x00F7:  // CREATEPALETTE
      case 0x06FF:  // CREATEREGION
        return true;
      default:
        return false;
    }
  }

 private:
  std::vector<bool> used_;
};

// How many leading parameter words of a record are object indices.
int ObjectParameters(uint16_t function) {
  switch (function) {
    case 0x012D:  // SELECTOBJECT
    case 0x0234:  // SELECTPALETTE
    case 0x012A:  // INVERTREGION
    case 0x012B:  // PAINTREGION
    case 0x012C:  // SELECTCLIPREGION
      return 1;
    case 0x0228:  // FILLREGION: region, brush
    case 0x0429:  // FRAMEREGION: region, brush, height, width
      return 2;
    default:
      return 0;
  }
}

bool BitmapsArePlain(uint16_t function, const uint8_t* parameter, size_t parameters,
                     uint64_t recordBytes) {
  // A record of exactly its fixed length carries no bitmap.
  const bool hasBitmap = recordBytes != (uint64_t(function >> 8) + 3) * 2;
  if (!hasBitmap) return true;
  const int dibWords = DibOffsetWords(function);
  if (dibWords >= 0) {
    const size_t skip = size_t(dibWords) * 2;
    return skip <= parameters && IsPlainDib(parameter + skip, parameters - skip);
  }
  if (IsDeviceBitmapRecord(function)) {
    const size_t skip = function == 0x01F9 ? 0 : (function == 0x0922 ? 16 : 20);
    return skip <= parameters && IsPlainDeviceBitmap(parameter + skip, parameters - skip);
  }
  return true;
}

// Also reports the size of the largest record, in words.
bool RecordsAreSafeToPlay(const uint8_t* meta, size_t size, uint32_t& largestRecord) {
  size_t at = size_t(Le16(meta + 2)) * 2;  // the header's own size, in words
  if (at < kMetaHeaderSize) return false;
  ObjectTable objects(Le16(meta + 10));
  largestRecord = 0;
  while (at + 6 <= size) {
    const uint64_t bytes = uint64_t(Le32(meta + at)) * 2;
    const uint16_t function = Le16(meta + at + 4);
    if (bytes < 6 || bytes > size - at) return false;
    largestRecord = std::max(largestRecord, uint32_t(bytes / 2));
    if (function == kEndRecord) return true;
    const size_t parameters = size_t(bytes) - 6;
    const uint8_t* parameter = meta + at + 6;
    if (!BitmapsArePlain(function, parameter, parameters, bytes)) return false;

    // libwmf 0.2.12 never returns from text in a font of height 0 ("the default height").
    if (function == 0x02FB && (parameters < 2 || Le16(parameter) == 0)) return false;

    const int indices = ObjectParameters(function);
    if (size_t(indices) * 2 > parameters) return false;
    for (int i = 0; i < indices; ++i) {
      if (!objects.Holds(Le16(parameter + 2 * i))) return false;
    }
    if (function == 0x01F0) {  // DELETEOBJECT
      if (parameters < 2 || !objects.Delete(Le16(parameter))) return false;
    } else if (ObjectTable::IsCreation(function) && !objects.Create()) {
      return false;
    }
    at += size_t(bytes);
  }
  return false;
}

struct WmfApiDeleter {
  void operator()(wmfAPI* api) const { wmf_api_destroy(api); }
};
using WmfApi = std::unique_ptr<wmfAPI, WmfApiDeleter>;

int CollectPng(void* context, char* buffer, int length) {
  auto* png = static_cast<std::vector<uint8_t>*>(context);
  try {
    png->insert(png->end(), buffer, buffer + length);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return length;
}

// Plays the metafile onto a white page of width x height pixels and returns it as PNG bytes;
// empty when the renderer fails.
std::vector<uint8_t> Render(std::vector<uint8_t>& metafile, const Placeable& frame, uint32_t width,
                            uint32_t height) {
  std::vector<uint8_t> png;
  wmfAPI_Options options{};
  options.function = wmf_gd_function;
  const unsigned long flags =
      WMF_OPT_FUNCTION | WMF_OPT_IGNORE_NONFATAL | WMF_OPT_NO_ERROR | WMF_OPT_NO_DEBUG;
  wmfAPI* created = nullptr;
  if (wmf_api_create(&created, flags, &options) != wmf_E_None) {
    if (created != nullptr) wmf_api_destroy(created);
    return png;
  }
  WmfApi api(created);
  if (wmf_mem_open(api.get(), metafile.data(), long(metafile.size())) != wmf_E_None) return png;
  wmfD_Rect scanned{};
  if (wmf_scan(api.get(), 0, &scanned) != wmf_E_None) return png;

  // The scan's box covers only what is drawn; the placeable frame is the picture's extent.
  const double scale = kPointsPerInch / frame.unitsPerInch;
  wmf_gd_t* device = WMF_GD_GetData(api.get());
  device->type = wmf_gd_png;
  device->flags |= WMF_GD_OUTPUT_MEMORY | WMF_GD_OWN_BUFFER;
  device->sink.context = &png;
  device->sink.function = CollectPng;
  device->width = width;
  device->height = height;
  device->bbox.TL.x = float(std::min(frame.left, frame.right) * scale);
  device->bbox.TL.y = float(std::min(frame.top, frame.bottom) * scale);
  device->bbox.BR.x = float(std::max(frame.left, frame.right) * scale);
  device->bbox.BR.y = float(std::max(frame.top, frame.bottom) * scale);
  // wmf_play stores the scanned box into its argument, which must not be the device's own box.
  wmfD_Rect played = device->bbox;
  if (wmf_play(api.get(), 0, &played) != wmf_E_None) png.clear();
  api.reset();  // the device writes its picture when it closes
  return png;
}

// libwmf is not safe against every metafile: damaged ones (a font 30000 units wide, for one) make
// it crash or hang. It therefore plays in a child process, so that a crash or a hang
// costs one picture, not the host; the child hands the page back as PNG bytes through a pipe.
std::vector<uint8_t> RenderInChildProcess(std::vector<uint8_t>& metafile, const Placeable& frame,
                                          uint32_t width, uint32_t height) {
  constexpr int kTimeoutMilliseconds = 10000;
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) return {};
  const pid_t child = fork();
  if (child < 0) {
    close(channel[0]);
    close(channel[1]);
    return {};
  }
  if (child == 0) {
    close(channel[0]);
    // A crash here is an expected outcome, reported through the exit status: no crash handler.
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) signal(fault, SIG_DFL);
    const std::vector<uint8_t> png = Render(metafile, frame, width, height);
    size_t sent = 0;
    while (sent < png.size()) {
      const ssize_t n = write(channel[1], png.data() + sent, png.size() - sent);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) _exit(1);
      sent += size_t(n);
    }
    _exit(png.empty() ? 1 : 0);
  }

  close(channel[1]);
  std::vector<uint8_t> png;
  bool timedOut = false;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMilliseconds);
  uint8_t buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    pollfd wait{channel[0], POLLIN, 0};
    const int ready = poll(&wait, 1, int(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timedOut = ready == 0;
      break;
    }
    const ssize_t n = read(channel[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    png.insert(png.end(), buffer, buffer + n);
  }
  close(channel[0]);
  if (timedOut) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return png;
}

}  // namespace

CxMetafileDecoder::CxMetafileDecoder() : CxImage(kCxFormatMetafile) {}

void CxMetafileDecoder::LimitSize(uint32_t& width, uint32_t& height) {
  // Never below one pixel: a very thin picture still has a row or a column.
  if (width > kMaxSide) {
    height = std::max<uint32_t>(1, uint32_t(uint64_t(height) * kMaxSide / width));
    width = kMaxSide;
  }
  if (height > kMaxSide) {
    width = std::max<uint32_t>(1, uint32_t(uint64_t(width) * kMaxSide / height));
    height = kMaxSide;
  }
}

bool CxMetafileDecoder::Read(CxFile& stream) {
  const int32_t start = stream.Tell();
  const int32_t streamSize = stream.Size();

  uint8_t headers[kPlaceableHeaderSize + kMetaHeaderSize];
  Placeable frame;
  bool placeable = stream.Read(headers, sizeof headers, 1) == 1 && ParsePlaceable(headers, frame);
  uint64_t metafileBytes = 0;
  if (placeable) {
    const uint8_t* meta = headers + kPlaceableHeaderSize;
    const uint16_t type = Le16(meta);
    metafileBytes = uint64_t(Le32(meta + 6)) * 2;
    const int64_t available = int64_t(streamSize) - start - kPlaceableHeaderSize;
    placeable = (type == 1 || type == 2) && metafileBytes >= kMetaHeaderSize &&
                int64_t(metafileBytes) <= available;
  }
  if (!placeable) {
    // Only an enhanced metafile could remain, and nothing here renders those.
    stream.Seek(start, 0);
    SetLastError("corrupted WMF");
    return false;
  }

  if (info_.escape != 0) {
    SetLastError("Cancelled");
    return false;
  }
  const uint32_t unitsWide = uint32_t(std::abs(frame.right - frame.left));
  const uint32_t unitsHigh = uint32_t(std::abs(frame.bottom - frame.top));
  uint32_t width = unitsWide * kScreenDpi / frame.unitsPerInch;
  uint32_t height = unitsHigh * kScreenDpi / frame.unitsPerInch;
  if (width == 0 || height == 0) {
    SetLastError("empty WMF");
    return false;
  }
  LimitSize(width, height);

  std::vector<uint8_t> metafile;
  try {
    metafile.resize(size_t(kPlaceableHeaderSize + metafileBytes));
  } catch (const std::bad_alloc&) {
    SetLastError("Cancelled");
    return false;
  }
  stream.Seek(start, 0);
  if (stream.Read(metafile.data(), 1, uint32_t(metafile.size())) != metafile.size()) {
    SetLastError("corrupted WMF");
    return false;
  }

  uint8_t* const meta = metafile.data() + kPlaceableHeaderSize;
  uint32_t largestRecord = 0;
  if (!RecordsAreSafeToPlay(meta, metafile.size() - kPlaceableHeaderSize, largestRecord)) {
    SetLastError("corrupted WMF");
    return false;
  }
  // libwmf sizes its record buffer from the header's largest-record field; a damaged field would
  // have it ask for gigabytes (or for too little), so it gets the size the records really have.
  constexpr size_t kLargestRecordField = 12;
  for (int i = 0; i < 4; ++i) meta[kLargestRecordField + i] = uint8_t(largestRecord >> (8 * i));
  std::vector<uint8_t> png = RenderInChildProcess(metafile, frame, width, height);
  if (info_.escape != 0) {
    SetLastError("Cancelled");
    return false;
  }
  CxPngDecoder page;
  CxMemFile pngStream(png.data(), uint32_t(png.size()));
  if (png.empty() || !page.Read(pngStream)) {
    SetLastError("corrupted WMF");
    return false;
  }

  if (Create(width, height, 24, kCxFormatMetafile) == nullptr) return false;
  // Copy the rendered page over a white one; partly transparent pixels are blended onto white.
  const uint32_t rows = std::min(height, page.ImageHeight());
  const uint32_t columns = std::min(width, page.ImageWidth());
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* target = RowAddress(height - 1 - y);
    std::fill(target, target + 3 * size_t(width), uint8_t(255));
    if (y >= rows) continue;
    const int32_t sourceRow = int32_t(page.ImageHeight() - 1 - y);
    for (uint32_t x = 0; x < columns; ++x) {
      const CxRgbQuad c = page.PixelColor(int32_t(x), sourceRow, false);
      const uint32_t alpha = page.HasAlpha() ? page.AlphaGet(int32_t(x), sourceRow) : 255;
      auto blend = [alpha](uint8_t v) {
        return uint8_t((v * alpha + 255 * (255 - alpha) + 127) / 255);
      };
      target[3 * x] = blend(c.blue);
      target[3 * x + 1] = blend(c.green);
      target[3 * x + 2] = blend(c.red);
    }
  }
  return true;
}
