#include "image/CxMetafileDecoder.h"

#include <libwmf/api.h>
#include <libwmf/gd.h>

#include <algorithm>
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

  std::vector<uint8_t> png = Render(metafile, frame, width, height);
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
