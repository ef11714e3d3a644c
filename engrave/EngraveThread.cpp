#include "engrave/EngraveThread.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "engrave/EngraveSetup.h"
#include "image/EngraveImage.h"
#include "plugin/PluginServices.h"
#include "ui/NeverDestroyed.h"
#include "ui/Ui.h"

namespace engrave {

std::atomic<EngraveThread*> CurrentEngraveThread{nullptr};
std::atomic<EngraveSetup*> CurrentEngraveSetup{nullptr};

class EngraveThread {
 public:
  EngraveThread(uint8_t hostPulseMode, const MachineEnvelope& machine, const ResumePoint& resume,
                ui::Settings settings)
      : hostPulseMode_(hostPulseMode),
        machine_(machine),
        resume_(resume),
        session_(std::move(settings)) {}
  ~EngraveThread() { Join(); }
  EngraveThread(const EngraveThread&) = delete;
  EngraveThread& operator=(const EngraveThread&) = delete;

  void Start() { thread_ = std::thread(&EngraveThread::Run, this); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  // Any thread: ends the dialog, its message boxes and its file chooser as cancelled.
  void RequestCancel() { session_.RequestCancel(); }
  // True once the thread has no dialog left to show: joining it then waits for no user.
  bool DialogFinished() const { return dialogFinished_.load(std::memory_order_acquire); }

 private:
  void Run() {
    {
      ui::SessionScope scope(session_);
      InitInstance();
    }
    ExitInstance();
  }

  void InitInstance() {
    if (CurrentEngraveSetup.load(std::memory_order_acquire) == nullptr) {
      EngraveSetup setup(hostPulseMode_, machine_, resume_);
      CurrentEngraveSetup.store(&setup, std::memory_order_release);
      ui::RunModal(setup);
      CurrentEngraveSetup.store(nullptr, std::memory_order_release);
    }
    dialogFinished_.store(true, std::memory_order_release);
  }

  void ExitInstance() {
    EngraveThread* self = this;
    CurrentEngraveThread.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
  }

  const uint8_t hostPulseMode_;
  const MachineEnvelope machine_;
  const ResumePoint resume_;
  ui::Session session_;
  std::atomic<bool> dialogFinished_{false};
  std::thread thread_;
};

namespace {

// The thread object lives here from its start until it has been joined.
struct DialogThreadHolder {
  std::mutex mutex;
  std::unique_ptr<EngraveThread> thread;
};
// Never destroyed: ShutdownDialogThread must work from any unload or exit hook, whichever of
// the module's statics are already gone.
ui::NeverDestroyed<DialogThreadHolder> gHolder;

// At exit the C++ statics are destroyed before the module's unload hooks run. This guard is
// made when the first dialog opens, after everything a dialog thread uses, so its destructor
// runs before theirs and ends the thread while they are still whole.
struct ShutdownGuard {
  ~ShutdownGuard() { ShutdownDialogThread(); }
};

void InstallShutdownGuard() {
  plugin::ModuleName();
  TheEngraveImage();
  static ShutdownGuard guard;
}

}  // namespace

void OpenSetupDialog() {
  InstallShutdownGuard();
  DialogThreadHolder& holder = gHolder.get();
  std::lock_guard lock(holder.mutex);
  if (holder.thread && !holder.thread->DialogFinished()) return;  // open, or about to open
  holder.thread.reset();  // retire the previous thread: its dialog has closed, so it ends soon

  const ControlState* control = plugin::Control();
  const uint8_t pulseMode = control != nullptr ? control->PulseMode : 0;
  // What the host tells of its machine is read here, on its thread, while it may change it.
  const MachineEnvelope machine = MachineEnvelope::From(plugin::Motion());
  const ResumePoint resume = ResumePoint::From(control);
  auto thread =
      std::make_unique<EngraveThread>(pulseMode, machine, resume, ui::Settings::FromEnvironment());
  CurrentEngraveThread.store(thread.get(), std::memory_order_release);
  try {
    thread->Start();
  } catch (const std::system_error& error) {
    CurrentEngraveThread.store(nullptr, std::memory_order_release);
    std::fprintf(stderr, "%s: cannot start the dialog thread: %s\n", plugin::ModuleName().c_str(),
                 error.what());
    return;
  }
  holder.thread = std::move(thread);
}

void ShutdownDialogThread() {
  DialogThreadHolder& holder = gHolder.get();
  std::lock_guard lock(holder.mutex);
  if (!holder.thread) return;
  holder.thread->RequestCancel();
  holder.thread.reset();  // joins
}

bool DialogThreadRunning() {
  return CurrentEngraveThread.load(std::memory_order_acquire) != nullptr;
}

}  // namespace engrave
