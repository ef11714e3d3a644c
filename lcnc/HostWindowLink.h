// The interactive mode of engrave-lcnc: the host window. FLTK may be used by one thread of a
// process only, and the plug-in's setup dialog owns FLTK in this process while it is open, so
// the host window runs in a child process (engrave-lcnc-window) that shows what this process
// tells it and reports the operator's clicks back over a pipe.
#pragma once

#include "host/HostOptions.h"

namespace lcnc {

int RunGui(const host::Options& options);

}  // namespace lcnc
