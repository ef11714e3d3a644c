// The plug-in's image holder: owns the one picture, loaded from a file chosen in the setup
// dialog. The dialog thread loads and paints it; the host thread reads it during a raster,
// which only runs while no dialog can replace it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "image/CxImage.h"

class EngraveImage {
 public:
  EngraveImage();
  ~EngraveImage();
  EngraveImage(const EngraveImage&) = delete;
  EngraveImage& operator=(const EngraveImage&) = delete;

  // Discards the held picture, then loads path with the format its extension names, falling
  // back to every decoder. A failed load leaves the holder empty.
  // A JPEG is turned upright as its EXIF orientation says the camera was held (CxImage's own
  // LoadFile and Decode keep the stored pixels). A quarter turn holds the picture twice for a
  // moment; should the turned picture not fit the memory guard, the load fails.
  bool LoadPicture(const std::string& path);
  // LoadPicture(path) followed by Picture()->ToGray(): on success the same picture, byte for
  // byte. Colour JPEGs are decoded straight to gray rows, which spares making and converting a
  // picture three times the size; so a colour JPEG whose gray picture fits the memory guard
  // loads here even when its 24-bit picture would not (a 96-megapixel photograph, say). The
  // picture is turned upright after its conversion: the peak is two gray pictures.
  bool LoadPictureGray(const std::string& path);
  // The text after the last "." of the path; empty without one.
  static std::string ExtensionOf(const std::string& path);
  // The code for an extension already in lower case (including the odd codes 5 to 9).
  static uint32_t FormatFromExtension(const std::string& extension);

  // The held picture, or null.
  CxImage* Picture() const { return picture_.get(); }
  void Clear() { picture_.reset(); }

 private:
  bool Load(const std::string& path, bool grayRows);

  std::unique_ptr<CxImage> picture_;
};

// The process-wide holder, alive from library load to unload.
EngraveImage& TheEngraveImage();
