// The plug-in's user-interface layer: message boxes, the open-file dialog and the modal
// dialogs, shown by the backend chosen with ENGRAVING_UI (fltk or script).
#pragma once

#include <string>

namespace ui {

// Shows a modal message box with an OK button, titled with the module name, and returns when it
// has been acknowledged. Callable from the host thread and from the dialog thread.
void ShowMessage(const std::string& text);

}  // namespace ui
