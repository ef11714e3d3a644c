// The plug-in's user-interface layer: message boxes, the open-file dialog and modal dialogs,
// shown by the backend chosen with ENGRAVING_UI (fltk or script).
//
// Threads. A dialog thread enters the layer with a SessionScope; everything modal it shows runs
// on it, and only it touches FLTK while it lives. A message box requested on any other thread
// (the host thread) while a dialog thread runs is handed to that thread and waited for; while
// none runs, it is shown on a short-lived UI thread that the caller joins. So FLTK is never used
// by two threads at once, and the host thread never touches it at all.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/PixelSurface.h"
#include "ui/DialogResource.h"

namespace ui {

class ActionSource;

enum class Backend { kFltk, kScript };

// Where the UI comes from and where its events go, as the environment says at one moment.
struct Settings {
  Backend backend = Backend::kScript;
  std::string scriptPath;  // ENGRAVING_UI_SCRIPT; empty: no script
  std::string logPath;     // ENGRAVING_UI_LOG; empty: no event log

  // ENGRAVING_UI (fltk or script; default fltk when DISPLAY is set, else script).
  static Settings FromEnvironment();
};

// One UI thread's connection to the layer: its settings, its script and the request to end
// everything modal on it as cancelled.
class Session {
 public:
  // Reads the script (if any) on the constructing thread.
  explicit Session(Settings settings);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const Settings& settings() const { return settings_; }
  // The script's actions; null when the user answers in person.
  ActionSource* script() const { return script_.get(); }

  // Any thread: closes every dialog, message box and file chooser of the session as cancelled,
  // now and from then on.
  void RequestCancel() { cancelRequested_.store(true, std::memory_order_release); }
  bool CancelRequested() const { return cancelRequested_.load(std::memory_order_acquire); }

  // The backend falls back to the script when no display can be opened.
  void UseScriptBackend() { settings_.backend = Backend::kScript; }

 private:
  Settings settings_;
  std::shared_ptr<ActionSource> script_;
  std::atomic<bool> cancelRequested_{false};
};

// Makes a session the UI of the calling thread for the scope's life. With the fltk backend the
// thread owns FLTK meanwhile, and takes over the host thread's message boxes.
class SessionScope {
 public:
  explicit SessionScope(Session& session);
  ~SessionScope();
  SessionScope(const SessionScope&) = delete;
  SessionScope& operator=(const SessionScope&) = delete;

 private:
  Session& session_;
  Session* previous_;
};

enum class DialogResult { kOk, kCancel };

// The dialog on screen as its logic sees it. Used on the dialog's thread, from the handlers.
class DialogControls {
 public:
  virtual std::string Text(int controlId) const = 0;
  virtual void SetText(int controlId, const std::string& text) = 0;
  virtual bool Checked(int controlId) const = 0;
  virtual void SetChecked(int controlId, bool checked) = 0;
  virtual void Focus(int controlId) = 0;
  // Closes the dialog with this result once the running handler has returned.
  virtual void End(DialogResult result) = 0;

 protected:
  ~DialogControls() = default;
};

// What a dialog does; the backends only show it and feed it the user's actions.
class DialogLogic {
 public:
  virtual ~DialogLogic() = default;
  virtual const DialogResource& Resource() const = 0;
  // Before the dialog becomes visible.
  virtual void OnInitDialog(DialogControls&) {}
  // A push button was pressed (the Enter key presses the default button), or a check box was
  // toggled and already shows its new state.
  virtual void OnCommand(int controlId, DialogControls& controls) = 0;
  // The user changed the text of an edit field.
  virtual void OnTextChanged(int, DialogControls&) {}
  // The Escape key or the close box.
  virtual void OnCancel(DialogControls& controls) { controls.End(DialogResult::kCancel); }
  // Paints frame control controlId; the surface covers its client area and already holds the
  // frame's background.
  virtual void Paint(int, PixelSurface&) const {}
  // Work left to do while the dialog waits for the user, a slice at a time; true when a slice
  // was done (the dialog is then repainted and asked again).
  virtual bool OnIdle(DialogControls&) { return false; }
};

// Shows the dialog modally on the calling thread and returns how it closed. A session whose
// cancel was requested closes it at once as cancelled.
DialogResult RunModal(DialogLogic& logic);

// Any thread: a modal message box with an OK button, titled with the module name; returns once
// it has been acknowledged.
void ShowMessage(const std::string& text);

struct FileFilter {
  std::string name;
  std::string pattern;
};

struct OpenFileRequest {
  std::vector<FileFilter> filters;  // the first one is selected
  std::string initialName;
  std::string defaultExtension;  // appended when a typed name has none and does not exist
};

// Dialog thread: the open-file dialog; no value when it was cancelled.
std::optional<std::string> ChooseFile(const OpenFileRequest& request);

// Dialog thread: records one control's text after an exchange towards the controls.
void LogShown(int controlId, const std::string& text);
// Dialog thread: records the path of the picture the dialog loaded ("picture" PATH), so that a
// host can tell which file an engraving came from.
void LogPicture(const std::string& path);

}  // namespace ui
