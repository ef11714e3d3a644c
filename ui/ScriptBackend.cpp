// The window-less backend: dialogs keep their controls' texts in memory and take the user's
// actions from the session's script.
#include <chrono>
#include <map>
#include <thread>

#include "ui/Backend.h"

namespace ui::detail {
namespace {

constexpr auto kPendingPoll = std::chrono::milliseconds(5);

bool AnyAction(const ScriptAction&) {
  return true;
}
bool FileAnswer(const ScriptAction& action) {
  return action.IsFileAnswer();
}

// The frame's background where the dialog paints nothing: the dialogs' usual light gray.
constexpr uint8_t kFrameBackground = 192;

class ScriptDialog final : public DialogControls, public ActionTarget {
 public:
  ScriptDialog(DialogLogic& logic, const Settings& settings)
      : logic_(logic), resource_(logic.Resource()), settings_(settings) {}

  // Without a screen nobody watches the work progress: it is all done before the next action.
  void FinishIdleWork() {
    while (!ended_ && logic_.OnIdle(*this)) {
    }
  }

  bool ended() const { return ended_; }
  DialogResult result() const { return result_; }

  // DialogControls
  std::string Text(int controlId) const override {
    const auto found = texts_.find(controlId);
    return found != texts_.end() ? found->second : std::string();
  }
  void SetText(int controlId, const std::string& text) override {
    if (resource_.Find(controlId) != nullptr) texts_[controlId] = text;
  }
  bool Checked(int controlId) const override {
    const auto found = checks_.find(controlId);
    return found != checks_.end() && found->second;
  }
  void SetChecked(int controlId, bool checked) override {
    if (resource_.Find(controlId) != nullptr) checks_[controlId] = checked;
  }
  void Focus(int) override {}
  void End(DialogResult result) override {
    ended_ = true;
    result_ = result;
  }

  // ActionTarget
  void SetEditText(int controlId, const std::string& text) override {
    SetText(controlId, text);
    logic_.OnTextChanged(controlId, *this);
  }
  void Click(int controlId) override {
    const ControlResource* control = resource_.Find(controlId);
    if (control == nullptr) return;
    if (control->kind == ControlKind::kCheckBox) checks_[controlId] = !checks_[controlId];
    logic_.OnCommand(controlId, *this);
  }
  void SetCheck(int controlId, bool checked) override {
    const ControlResource* control = resource_.Find(controlId);
    if (control == nullptr || checks_[controlId] == checked) return;
    checks_[controlId] = checked;
    logic_.OnCommand(controlId, *this);
  }
  void Snapshot(int controlId, const std::string& path) override {
    const ControlResource* frame = resource_.Find(controlId);
    if (frame == nullptr) return;
    FinishIdleWork();
    WriteSnapshot(settings_, logic_, *frame, path, kFrameBackground, kFrameBackground,
                  kFrameBackground);
  }
  void PressEnter() override {
    const int button = resource_.DefaultButton();
    if (button != kNoControlId) logic_.OnCommand(button, *this);
  }
  void PressEscape() override { logic_.OnCancel(*this); }
  void CloseBox() override { logic_.OnCancel(*this); }

 private:
  DialogLogic& logic_;
  const DialogResource& resource_;
  const Settings& settings_;
  std::map<int, std::string> texts_;
  std::map<int, bool> checks_;
  bool ended_ = false;
  DialogResult result_ = DialogResult::kCancel;
};

// Waits (without blocking a cancel) for the next action that accepts() takes. No value when
// the script is used up, has none, or the session was cancelled; *refused when the next
// action is of another kind.
std::optional<ScriptAction> NextAction(Session& session, bool (*accepts)(const ScriptAction&),
                                       bool* refused = nullptr) {
  ActionSource* source = session.script();
  while (source != nullptr && !session.CancelRequested()) {
    ScriptAction action;
    switch (source->Next(accepts, action)) {
      case ActionSource::Reply::kAction:
        return action;
      case ActionSource::Reply::kPending:
        std::this_thread::sleep_for(kPendingPoll);
        break;
      case ActionSource::Reply::kNotAccepted:
        if (refused != nullptr) *refused = true;
        return std::nullopt;
      case ActionSource::Reply::kExhausted:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace

DialogResult ScriptRunModal(DialogLogic& logic, Session& session) {
  ScriptDialog dialog(logic, session.settings());
  logic.OnInitDialog(dialog);
  if (dialog.ended()) return dialog.result();
  if (session.CancelRequested()) return DialogResult::kCancel;

  LogDialog(session, logic.Resource().id, true, DialogResult::kOk);
  while (!dialog.ended()) {
    dialog.FinishIdleWork();
    const std::optional<ScriptAction> action = NextAction(session, &AnyAction);
    if (session.CancelRequested()) {
      dialog.End(DialogResult::kCancel);
      break;
    }
    if (action) {
      Dispatch(*action, logic.Resource(), dialog);
    } else {
      dialog.PressEscape();  // the script is used up: nothing may wait forever
      if (!dialog.ended()) dialog.End(DialogResult::kCancel);
    }
  }
  // A dialog ended by a shutdown counts as cancelled, whatever its last handler chose.
  const DialogResult result = session.CancelRequested() ? DialogResult::kCancel : dialog.result();
  LogDialog(session, logic.Resource().id, false, result);
  return result;
}

std::optional<std::string> ScriptChooseFile(Session& session) {
  // Any other action is left for the dialog that follows: the chooser is then cancelled.
  const std::optional<ScriptAction> answer = NextAction(session, &FileAnswer);
  if (!answer || answer->kind != ScriptAction::Kind::kFile) return std::nullopt;
  return answer->text;
}

}  // namespace ui::detail
