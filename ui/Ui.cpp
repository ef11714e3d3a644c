#include "ui/Ui.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "plugin/PluginServices.h"
#include "ui/Backend.h"
#include "ui/NeverDestroyed.h"
#include "ui/SurfacePng.h"

namespace ui {
namespace {

// A trivially destructible pointer: a thread_local with a destructor from a dlopen'ed module
// would make thread exit take the loader lock that an unload holds while it joins us.
thread_local Session* tCurrentSession = nullptr;

NeverDestroyed<std::mutex> gLogMutex;  // a dialog thread may log while the statics go

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

void ShowMessageHere(Session& session, const std::string& text) {
  detail::LogEvent(session.settings(), {"message", detail::MessageTitle(), text});
  if (session.CancelRequested()) return;
  if (session.settings().backend == Backend::kFltk) detail::FltkShowMessage(text, session);
  // The script backend acknowledges every message box at once.
}

// Runs body with the calling thread's session, or with a session of its own for the call when
// the thread has none (a caller outside any dialog thread).
template <typename Body>
auto WithSession(Body body) {
  if (Session* session = detail::CurrentSession()) return body(*session);
  Session session(Settings::FromEnvironment());
  SessionScope scope(session);
  return body(session);
}

}  // namespace

Settings Settings::FromEnvironment() {
  Settings settings;
  const std::string chosen = Environment("ENGRAVING_UI");
  if (chosen == "fltk")
    settings.backend = Backend::kFltk;
  else if (chosen == "script")
    settings.backend = Backend::kScript;
  else
    settings.backend = Environment("DISPLAY").empty() ? Backend::kScript : Backend::kFltk;
  settings.scriptPath = Environment("ENGRAVING_UI_SCRIPT");
  settings.logPath = Environment("ENGRAVING_UI_LOG");
  return settings;
}

Session::Session(Settings settings)
    : settings_(std::move(settings)), script_(ScriptSourceFor(settings_.scriptPath)) {}

Session::~Session() = default;

SessionScope::SessionScope(Session& session)
    : session_(session), previous_(detail::CurrentSession()) {
  detail::SetCurrentSession(&session_);
  if (session_.settings().backend == Backend::kFltk && !detail::FltkAcquire(session_)) {
    std::fprintf(stderr, "%s: cannot open the display; using the script backend\n",
                 detail::MessageTitle().c_str());
    session_.UseScriptBackend();
  }
}

SessionScope::~SessionScope() {
  if (session_.settings().backend == Backend::kFltk) detail::FltkRelease(session_);
  detail::SetCurrentSession(previous_);
}

DialogResult RunModal(DialogLogic& logic) {
  return WithSession([&](Session& session) {
    if (session.CancelRequested()) return DialogResult::kCancel;
    return session.settings().backend == Backend::kFltk ? detail::FltkRunModal(logic, session)
                                                        : detail::ScriptRunModal(logic, session);
  });
}

void ShowMessage(const std::string& text) {
  if (Session* session = detail::CurrentSession()) {
    ShowMessageHere(*session, text);
    return;
  }
  const Settings settings = Settings::FromEnvironment();
  if (settings.backend == Backend::kScript) {
    detail::LogEvent(settings, {"message", detail::MessageTitle(), text});
    return;
  }
  if (detail::FltkPostMessage(text)) return;
  // No dialog thread owns FLTK now: a short-lived UI thread shows the box and we wait for it.
  try {
    std::thread uiThread([&settings, &text] {
      Session session(settings);
      SessionScope scope(session);
      ShowMessageHere(session, text);
    });
    uiThread.join();
  } catch (const std::system_error&) {
    std::fprintf(stderr, "%s: %s\n", detail::MessageTitle().c_str(), text.c_str());
  }
}

std::optional<std::string> ChooseFile(const OpenFileRequest& request) {
  return WithSession([&](Session& session) -> std::optional<std::string> {
    detail::LogEvent(session.settings(), {"filedialog", detail::FilterText(request),
                                          request.initialName, request.defaultExtension});
    if (session.CancelRequested()) return std::nullopt;
    return session.settings().backend == Backend::kFltk ? detail::FltkChooseFile(request, session)
                                                        : detail::ScriptChooseFile(session);
  });
}

void LogShown(int controlId, const std::string& text) {
  const std::string id = std::to_string(controlId);
  if (Session* session = detail::CurrentSession()) {
    detail::LogEvent(session->settings(), {"show", id, text});
    return;
  }
  detail::LogEvent(Settings::FromEnvironment(), {"show", id, text});
}

void LogPicture(const std::string& path) {
  if (Session* session = detail::CurrentSession()) {
    detail::LogEvent(session->settings(), {"picture", path});
    return;
  }
  detail::LogEvent(Settings::FromEnvironment(), {"picture", path});
}

namespace detail {

Session* CurrentSession() {
  return tCurrentSession;
}
void SetCurrentSession(Session* session) {
  tCurrentSession = session;
}

void LogEvent(const Settings& settings, std::initializer_list<std::string_view> fields) {
  if (settings.logPath.empty()) return;
  std::string line;
  for (std::string_view field : fields) {
    if (!line.empty()) line += '\t';
    line += field;
  }
  line += '\n';
  std::lock_guard lock(gLogMutex.get());
  // Opened per line so that the file is complete at every moment, whoever reads it.
  if (std::FILE* file = std::fopen(settings.logPath.c_str(), "a")) {
    std::fputs(line.c_str(), file);
    std::fclose(file);
  }
}

void LogDialog(const Session& session, int dialogId, bool open, DialogResult result) {
  const std::string id = std::to_string(dialogId);
  if (open) {
    LogEvent(session.settings(), {"dialog", id, "open"});
    return;
  }
  LogEvent(session.settings(),
           {"dialog", id, "close", result == DialogResult::kOk ? "ok" : "cancel"});
}

std::string FilterText(const OpenFileRequest& request) {
  std::string text;
  for (const FileFilter& filter : request.filters) {
    if (!text.empty()) text += '|';
    text += filter.name + '|' + filter.pattern;
  }
  return text;
}

std::string MessageTitle() {
  return plugin::ModuleName();
}

void WriteSnapshot(const Settings& settings, const DialogLogic& logic, const ControlResource& frame,
                   const std::string& path, uint8_t red, uint8_t green, uint8_t blue) {
  PixelSurface surface(FrameClientWidth(frame), FrameClientHeight(frame));
  for (size_t i = 0; i + 2 < surface.pixels.size(); i += 3) {
    surface.pixels[i] = red;
    surface.pixels[i + 1] = green;
    surface.pixels[i + 2] = blue;
  }
  logic.Paint(frame.id, surface);
  const bool written = WriteSurfacePng(path, surface);
  LogEvent(settings, {"snapshot", std::to_string(frame.id), path, written ? "ok" : "failed"});
}

void Dispatch(const ScriptAction& action, const DialogResource& resource, ActionTarget& target) {
  using Kind = ScriptAction::Kind;
  const ControlResource* control = resource.Find(action.controlId);
  switch (action.kind) {
    case Kind::kSet:
      if (control != nullptr && control->kind == ControlKind::kEdit)
        target.SetEditText(action.controlId, action.text);
      break;
    case Kind::kClick:
      if (control != nullptr &&
          (control->kind == ControlKind::kButton || control->kind == ControlKind::kDefaultButton ||
           control->kind == ControlKind::kCheckBox))
        target.Click(action.controlId);
      break;
    case Kind::kCheck:
      if (control != nullptr && control->kind == ControlKind::kCheckBox)
        target.SetCheck(action.controlId, action.text == "1");
      break;
    case Kind::kSnapshot:
      if (control != nullptr && control->kind == ControlKind::kFrame)
        target.Snapshot(action.controlId, action.text);
      break;
    case Kind::kKeyEnter:
      target.PressEnter();
      break;
    case Kind::kKeyEscape:
      target.PressEscape();
      break;
    case Kind::kClose:
      target.CloseBox();
      break;
    case Kind::kFile:
    case Kind::kFileCancel:
      break;  // no file chooser is waiting
  }
}

}  // namespace detail
}  // namespace ui
