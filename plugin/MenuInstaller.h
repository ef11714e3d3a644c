// Adds the plug-in's popup "&Tarvex/Laser Engraving" with its item "&Engrave Photo" to the
// host's menu bar.
#pragma once

#include "plugin/HostInterface.h"

namespace plugin {

// Failed insertions go unnoticed; a host without a window or menu bar gets no menu.
void InstallMenu(DriverState* driver, int commandId);

}  // namespace plugin
