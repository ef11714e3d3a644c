#include "plugin/MenuInstaller.h"

namespace plugin {

void InstallMenu(DriverState* driver, int commandId) {
  if (driver == nullptr || driver->MainWindow == nullptr) return;
  HostMenuBar* bar = driver->MainWindow->MenuBar();
  if (bar == nullptr) return;
  const int popup = bar->CreatePopup();
  if (popup < 0) return;
  bar->InsertItem(popup, 0, commandId, "&Engrave Photo");
  bar->AppendPopup(popup, "&Tarvex/Laser Engraving");
}

}  // namespace plugin
