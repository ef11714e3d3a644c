// The built-in sample picture: gradients, a step wedge, a soft disk and rings, made to show how
// gray levels turn into dot densities.
#pragma once

#include "host/PngFile.h"

namespace host {

inline constexpr int kSampleWidth = 100;
inline constexpr int kSampleHeight = 80;

GrayPicture MakeSamplePicture();

}  // namespace host
