#include "ui/Script.h"

#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "ui/NeverDestroyed.h"

namespace ui {
namespace {

std::optional<int> ParseControlId(std::string_view text) {
  int id = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return id;
}

// Splits "word rest of line" at the first blank; rest keeps its own blanks.
std::pair<std::string_view, std::string_view> SplitWord(std::string_view line) {
  const size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return {line, {}};
  return {line.substr(0, blank), line.substr(blank + 1)};
}

std::optional<ScriptAction> Malformed(std::string* error, std::string_view why) {
  if (error != nullptr) *error = std::string(why);
  return std::nullopt;
}

struct ScriptSources {
  std::mutex mutex;
  std::shared_ptr<ActionSource> testing;
  std::string path;
  std::shared_ptr<ScriptText> script;
};
NeverDestroyed<ScriptSources> gSources;

// At unload the cached script goes (a dialog still ending keeps its own reference).
struct ForgetScriptsAtUnload {
  ~ForgetScriptsAtUnload() { ForgetScripts(); }
} gForgetScriptsAtUnload;

}  // namespace

std::optional<ScriptAction> ParseScriptLine(std::string_view line, std::string* error) {
  if (error != nullptr) error->clear();
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.find_first_not_of(" \t") == std::string_view::npos || line.front() == '#')
    return std::nullopt;

  const auto [word, rest] = SplitWord(line);
  ScriptAction action;
  if (word == "file") {
    action.kind = ScriptAction::Kind::kFile;
    action.text = std::string(rest);
    return action;
  }
  if (word == "file-cancel" && rest.empty()) {
    action.kind = ScriptAction::Kind::kFileCancel;
    return action;
  }
  if (word == "close" && rest.empty()) {
    action.kind = ScriptAction::Kind::kClose;
    return action;
  }
  if (word == "key") {
    if (rest == "Enter")
      action.kind = ScriptAction::Kind::kKeyEnter;
    else if (rest == "Escape")
      action.kind = ScriptAction::Kind::kKeyEscape;
    else
      return Malformed(error, "unknown key (Enter or Escape)");
    return action;
  }
  if (word == "set" || word == "click") {
    const auto [idText, text] = SplitWord(rest);
    const std::optional<int> id = ParseControlId(idText);
    if (!id) return Malformed(error, "missing or malformed control id");
    if (word == "click" && !text.empty()) return Malformed(error, "click takes only an id");
    action.kind = word == "set" ? ScriptAction::Kind::kSet : ScriptAction::Kind::kClick;
    action.controlId = *id;
    action.text = std::string(text);
    return action;
  }
  if (word == "check") {
    // A state, not a toggle: the box ends as asked whatever it showed before.
    const auto [idText, state] = SplitWord(rest);
    const std::optional<int> id = ParseControlId(idText);
    if (!id) return Malformed(error, "missing or malformed control id");
    if (state != "0" && state != "1") return Malformed(error, "check takes an id and 0 or 1");
    action.kind = ScriptAction::Kind::kCheck;
    action.controlId = *id;
    action.text = std::string(state);
    return action;
  }
  if (word == "snapshot") {
    const auto [idText, path] = SplitWord(rest);
    const std::optional<int> id = ParseControlId(idText);
    if (!id) return Malformed(error, "missing or malformed control id");
    if (path.empty()) return Malformed(error, "snapshot takes an id and a file");
    action.kind = ScriptAction::Kind::kSnapshot;
    action.controlId = *id;
    action.text = std::string(path);
    return action;
  }
  return Malformed(error, "unknown action");
}

ScriptText::ScriptText(std::string_view text, std::string_view name) : text_(text) {
  std::istringstream lines{std::string(text)};
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    std::string error;
    if (std::optional<ScriptAction> action = ParseScriptLine(line, &error)) {
      actions_.push_back(std::move(*action));
    } else if (!error.empty()) {
      // A misspelt action would otherwise vanish silently and leave the reader puzzled.
      std::fprintf(stderr, "%.*s:%d: ignored (%s): %s\n", int(name.size()), name.data(), number,
                   error.c_str(), line.c_str());
    }
  }
}

ActionSource::Reply ScriptText::Next(bool (*accepts)(const ScriptAction&), ScriptAction& action) {
  std::lock_guard lock(mutex_);
  if (next_ >= actions_.size()) return Reply::kExhausted;
  if (accepts != nullptr && !accepts(actions_[next_])) return Reply::kNotAccepted;
  action = actions_[next_++];
  return Reply::kAction;
}

std::shared_ptr<ActionSource> ScriptSourceFor(const std::string& path) {
  std::lock_guard lock(gSources->mutex);
  if (gSources->testing) return gSources->testing;
  if (path.empty()) return nullptr;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "ENGRAVING_UI_SCRIPT: cannot read %s\n", path.c_str());
    return nullptr;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!gSources->script || gSources->path != path || gSources->script->text() != text.str()) {
    gSources->script = std::make_shared<ScriptText>(text.str(), path);
    gSources->path = path;
  }
  return gSources->script;
}

void ForgetScripts() {
  std::lock_guard lock(gSources->mutex);
  gSources->testing.reset();
  gSources->script.reset();
  std::string().swap(gSources->path);
}

void SetActionSourceForTesting(std::shared_ptr<ActionSource> source) {
  std::lock_guard lock(gSources->mutex);
  gSources->testing = std::move(source);
}

}  // namespace ui
