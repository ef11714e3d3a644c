// Inside the UI layer: what the front functions of Ui.h share with the two backends.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "ui/Script.h"
#include "ui/Ui.h"

namespace ui::detail {

// The session of the calling thread, or null.
Session* CurrentSession();
void SetCurrentSession(Session* session);

// Appends one tab-separated event line to the session's log, if it has one.
void LogEvent(const Settings& settings, std::initializer_list<std::string_view> fields);
void LogDialog(const Session& session, int dialogId, bool open, DialogResult result);

// The filters as name and pattern pairs joined by "|".
std::string FilterText(const OpenFileRequest& request);
// The title of every message box: the module name.
std::string MessageTitle();

// What a scripted action acts on: the controls of one shown dialog.
class ActionTarget {
 public:
  virtual void SetEditText(int controlId, const std::string& text) = 0;  // fires text-changed
  virtual void Click(int controlId) = 0;  // presses a button or toggles a check box
  // Sets a check box to this state; its handler runs only when that changes it.
  virtual void SetCheck(int controlId, bool checked) = 0;
  // Writes frame control controlId as the dialog paints it now (its work done) to a PNG file.
  virtual void Snapshot(int controlId, const std::string& path) = 0;
  virtual void PressEnter() = 0;
  virtual void PressEscape() = 0;
  virtual void CloseBox() = 0;

 protected:
  ~ActionTarget() = default;
};

// Paints a frame of the dialog into a surface of the frame's client size over this background
// and writes it to path as a PNG file; logs "snapshot" id path "ok" or "failed".
void WriteSnapshot(const Settings& settings, const DialogLogic& logic, const ControlResource& frame,
                   const std::string& path, uint8_t red, uint8_t green, uint8_t blue);

// Carries out one action on a dialog; actions for controls the dialog lacks, and file answers,
// do nothing.
void Dispatch(const ScriptAction& action, const DialogResource& resource, ActionTarget& target);

// Script backend.
DialogResult ScriptRunModal(DialogLogic& logic, Session& session);
std::optional<std::string> ScriptChooseFile(Session& session);

// FLTK backend. Acquire makes the calling thread FLTK's only user (false: no display, and the
// session falls back to the script backend); Release ends that and answers the message boxes
// still handed to it.
bool FltkAcquire(Session& session);
void FltkRelease(Session& session);
DialogResult FltkRunModal(DialogLogic& logic, Session& session);
void FltkShowMessage(const std::string& text, Session& session);
std::optional<std::string> FltkChooseFile(const OpenFileRequest& request, Session& session);
// Host thread: hands a message box to the running FLTK dialog thread and waits until it has
// been acknowledged; false when no such thread runs.
bool FltkPostMessage(const std::string& text);

}  // namespace ui::detail
