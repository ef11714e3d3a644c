#include "image/EngraveImage.h"

#include <new>

#include "image/CxJpegDecoder.h"

namespace {

// True when ToGray would leave the picture exactly as it is: 8 bits, all 256 entries in place
// and in use as (i, i, i), no key index, no cached nearest colour (ToGray drops it). Gray JPEGs
// and JPEGs decoded to gray rows arrive so.
bool HoldsGrayLevels(const CxImage& picture) {
  constexpr size_t kGrayPaletteEnd = sizeof(CxBitmapInfoHeader) + 256 * sizeof(CxRgbQuad);
  if (picture.BitsPerPixel() != 8 || picture.PaletteSize() != 256) return false;
  if (picture.RowAddress(0) != picture.PixelBlock() + kGrayPaletteEnd) return false;
  const CxImageInfo& info = picture.Info();
  if (picture.Header().biClrImportant != 0 || info.keyIndex != -1 || info.nearestValid) {
    return false;
  }
  const CxRgbQuad* palette = picture.Palette();
  for (uint32_t i = 0; i < 256; ++i) {
    if (palette[i].blue != i || palette[i].green != i || palette[i].red != i) return false;
  }
  return true;
}

}  // namespace

EngraveImage::EngraveImage() = default;
EngraveImage::~EngraveImage() = default;

bool EngraveImage::LoadPicture(const std::string& path) {
  return Load(path, false);
}

bool EngraveImage::LoadPictureGray(const std::string& path) {
  return Load(path, true);
}

bool EngraveImage::Load(const std::string& path, bool grayRows) {
  picture_.reset();
  std::string extension = ExtensionOf(path);
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  if (extension.empty()) return false;
  const uint32_t code = FormatFromExtension(extension);

  std::unique_ptr<CxImage> picture(new (std::nothrow) CxImage(code));
  if (!picture) return false;
  // The request travels in the information block into whichever decoder reads the file, and
  // is withdrawn afterwards so that the picture's block is the one a plain load gives.
  if (grayRows) picture->SetCodecOption(kCxJpegGrayRows, kCxFormatJpeg);
  picture->LoadFile(path.c_str(), code);
  if (grayRows) picture->SetCodecOption(0, kCxFormatJpeg);
  if (!picture->IsLoaded()) return false;
  const int32_t orientation = picture->ExifOrientation();  // before ToGray makes a new picture
  if (grayRows && !HoldsGrayLevels(*picture)) picture->ToGray();
  // Turned after the gray conversion, the dialog's picture is turned at one byte a pixel. A
  // photograph that cannot be turned upright is not engraved on its side.
  if (!picture->ApplyOrientation(orientation)) return false;
  if (code == kCxFormatBmp) picture->SetKeyColor(CxRgbQuad{254, 254, 254, 0});
  picture_ = std::move(picture);
  return true;
}

std::string EngraveImage::ExtensionOf(const std::string& path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos) return std::string();
  return path.substr(dot + 1);
}

uint32_t EngraveImage::FormatFromExtension(const std::string& extension) {
  // The codes from "ico" on are not the library's codes for those formats; LoadFile's fallback
  // is what still brings such files to the right decoder.
  struct Entry {
    const char* extension;
    uint32_t code;
  };
  static constexpr Entry kTable[] = {
      {"bmp", 1}, {"jpg", 3}, {"jpeg", 3}, {"gif", 2}, {"png", 4}, {"ico", 5},
      {"tga", 6}, {"pcx", 7}, {"wbmp", 8}, {"wmf", 9}, {"emf", 9},
  };
  for (const Entry& entry : kTable) {
    if (extension == entry.extension) return entry.code;
  }
  return 0;
}

EngraveImage& TheEngraveImage() {
  static EngraveImage holder;
  return holder;
}

namespace {
// Creates the holder when the library is loaded, as the plug-in's other process-wide objects
// are; it is destroyed with the library's static objects at unload.
[[maybe_unused]] const bool kHolderCreatedAtLoad = (TheEngraveImage(), true);
}  // namespace
