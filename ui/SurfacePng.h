// Writing a pixel surface as an RGB PNG file (libpng): the snapshots of a dialog's frame.
#pragma once

#include <string>

#include "image/PixelSurface.h"

namespace ui {

// False when the file cannot be made or written; a partly written file is removed.
bool WriteSurfacePng(const std::string& path, const PixelSurface& surface);

}  // namespace ui
