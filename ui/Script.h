// Scripted user actions (ENGRAVING_UI_SCRIPT): one action per line, consumed in order whenever
// a dialog or the file chooser waits for the user.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

struct ScriptAction {
  enum class Kind {
    kFile,
    kFileCancel,
    kSet,
    kClick,
    kKeyEnter,
    kKeyEscape,
    kClose,
    kCheck,
    kSnapshot
  };
  Kind kind = Kind::kKeyEscape;
  int controlId = 0;  // set, click, check, snapshot
  std::string text;   // file, snapshot: the path; set: the new text; check: "0" or "1"

  bool IsFileAnswer() const { return kind == Kind::kFile || kind == Kind::kFileCancel; }
  bool operator==(const ScriptAction&) const = default;
};

// One script line. No value for blank lines and comments; a malformed line gives no value and
// an explanation in *error.
std::optional<ScriptAction> ParseScriptLine(std::string_view line, std::string* error);

// Where the actions come from. Next is non-blocking: kPending asks the caller to try again
// later (the dialog stays responsive meanwhile); kExhausted means no action will ever come.
class ActionSource {
 public:
  enum class Reply { kAction, kPending, kExhausted, kNotAccepted };
  virtual ~ActionSource() = default;
  // Takes the next action if accepts(action) holds; otherwise leaves it in place and answers
  // kNotAccepted.
  virtual Reply Next(bool (*accepts)(const ScriptAction&), ScriptAction& action) = 0;
};

// The actions of one script text, consumed in order by every dialog of the process.
class ScriptText final : public ActionSource {
 public:
  explicit ScriptText(std::string_view text, std::string_view name = "script");
  Reply Next(bool (*accepts)(const ScriptAction&), ScriptAction& action) override;
  const std::string& text() const { return text_; }

 private:
  std::mutex mutex_;
  std::string text_;
  std::vector<ScriptAction> actions_;
  size_t next_ = 0;
};

// The process-wide source for a script file: read once, and read afresh when the file named is
// another one or its text has changed since. Null for an empty path or an unreadable file.
std::shared_ptr<ActionSource> ScriptSourceFor(const std::string& path);

// Drops the cached script and the testing source.
void ForgetScripts();

// Tests: every session takes its actions from source instead of ENGRAVING_UI_SCRIPT (null
// restores the file script).
void SetActionSourceForTesting(std::shared_ptr<ActionSource> source);

}  // namespace ui
