#include "image/EngraveImage.h"

#include <new>

EngraveImage::EngraveImage() = default;
EngraveImage::~EngraveImage() = default;

bool EngraveImage::LoadPicture(const std::string& path) {
  picture_.reset();
  std::string extension = ExtensionOf(path);
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  if (extension.empty()) return false;
  const uint32_t code = FormatFromExtension(extension);

  std::unique_ptr<CxImage> picture(new (std::nothrow) CxImage(path.c_str(), code));
  if (!picture || !picture->IsLoaded()) return false;
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
