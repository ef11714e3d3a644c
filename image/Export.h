// Marks the image and stream classes that the plug-in module exports under their own names;
// everything else in the module is hidden.
#pragma once

#define CX_EXPORT __attribute__((visibility("default")))
