// The dialog thread: runs one modal setup dialog at a time, apart from the host thread.
#pragma once

#include <cstdint>

namespace engrave {

// Host thread. Opens the setup dialog on a new dialog thread and returns at once; does nothing
// while a dialog is open. The host's ControlState::PulseMode is read here, on the host thread,
// and handed to the dialog.
void OpenSetupDialog();

// Host thread or library unload. Asks an open dialog (and any message box on its thread) to
// close as if cancelled, then waits for the dialog thread to end.
void ShutdownDialogThread();

// True while a dialog thread runs.
bool DialogThreadRunning();

}  // namespace engrave
