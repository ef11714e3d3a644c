// The dialog thread: runs one modal setup dialog at a time, apart from the host thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace engrave {

class EngraveSetup;
class EngraveThread;

// The dialog thread last started (cleared by the thread as it ends), and the setup dialog that
// is open now. Shared by the host thread and the dialog thread.
extern std::atomic<EngraveThread*> CurrentEngraveThread;
extern std::atomic<EngraveSetup*> CurrentEngraveSetup;

// Host thread. Opens the setup dialog on a new dialog thread and returns at once; does nothing
// while a dialog is open (or about to open). The host's ControlState::PulseMode is read here,
// on the host thread, and handed to the dialog. A previous thread whose dialog has closed is
// joined first.
void OpenSetupDialog();

// Host thread or library unload. Asks an open dialog (and any message box or file chooser on
// its thread) to close as if cancelled, then waits for the dialog thread to end.
void ShutdownDialogThread();

// True while a dialog thread runs.
bool DialogThreadRunning();

}  // namespace engrave
