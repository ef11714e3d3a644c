// The FLTK backend: real windows built from the dialog resources.
//
// One thread at a time owns FLTK (gFltk->owner, held from FltkAcquire to FltkRelease). Every
// modal loop of that thread - dialogs, message boxes, the file chooser - runs Fl::wait, and a
// repeating timer ("the poll") runs inside all of them: it ends everything when the session is
// cancelled, shows message boxes handed over by the host thread, and feeds the script's
// actions to whatever waits on top.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_File_Input.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Return_Button.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <dlfcn.h>

#include <array>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "ui/Backend.h"
#include "ui/NeverDestroyed.h"

namespace ui::detail {
namespace {

constexpr double kPollSeconds = 0.05;
constexpr int kFontSize = 11;  // an 8-point dialog font at 96 dpi

// The modal things of the owning thread, innermost last; the poll acts on the innermost.
class ModalFrame {
 public:
  virtual void Cancel() = 0;
  virtual void ScriptTick(Session& session) = 0;
  // A slice of the work the modal thing does while it waits.
  virtual void Idle() {}
  virtual bool IsMessageBox() const { return false; }
  bool busy = false;  // a scripted action is being carried out in it

 protected:
  ~ModalFrame() = default;
};

// Deep enough for the setup dialog, the confirmation or the file chooser over it, a message box
// over that, and a host thread's message box on top.
constexpr int kMaxFrames = 8;

// Message boxes that the host thread hands to the FLTK-owning thread; they live on the posting
// thread's stack until acknowledged.
struct PostedMessage {
  std::string text;
  bool done = false;
  PostedMessage* next = nullptr;
};

struct FltkState {
  std::mutex owner;  // held by the thread that uses FLTK, from FltkAcquire to FltkRelease
  // Touched only by the owner.
  Session* session = nullptr;
  std::array<ModalFrame*, kMaxFrames> frames{};
  int frameCount = 0;
  // The hand-over from the host thread.
  std::mutex routerMutex;
  std::condition_variable acknowledged;
  bool receiving = false;
  PostedMessage* firstPosted = nullptr;
};
// Holds nothing on the heap, so an unload leaves nothing behind; never destroyed, since a
// dialog thread may still be ending while the module's statics go at exit.
NeverDestroyed<FltkState> gFltk;

ModalFrame* TopFrame() {
  return gFltk->frameCount > 0 ? gFltk->frames[gFltk->frameCount - 1] : nullptr;
}

class FrameScope {
 public:
  explicit FrameScope(ModalFrame* frame) : pushed_(gFltk->frameCount < kMaxFrames) {
    if (pushed_) gFltk->frames[gFltk->frameCount++] = frame;
  }
  ~FrameScope() {
    if (pushed_) --gFltk->frameCount;
  }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

 private:
  bool pushed_;
};

bool Cancelled() {
  return gFltk->session == nullptr || gFltk->session->CancelRequested();
}

void RunLoop(const bool& finished) {
  while (!finished && !Cancelled()) Fl::wait(kPollSeconds);
}

template <typename Widget>
Widget* FindChild(Fl_Group* group) {
  for (int i = 0; i < group->children(); ++i) {
    Fl_Widget* child = group->child(i);
    if (auto* found = dynamic_cast<Widget*>(child)) return found;
    if (Fl_Group* inner = child->as_group())
      if (Widget* found = FindChild<Widget>(inner)) return found;
  }
  return nullptr;
}

void SendKey(Fl_Window* window, int key, const char* text) {
  Fl::e_keysym = key;
  Fl::e_text = const_cast<char*>(text);
  Fl::e_length = 1;
  Fl::e_state = 0;
  Fl::handle(FL_KEYBOARD, window);
}

// ---- message box ----------------------------------------------------------------------------

class MessageBox final : public ModalFrame {
 public:
  explicit MessageBox(const std::string& text) : title_(MessageTitle()), text_(text) {}

  void Run() {
    fl_font(FL_HELVETICA, kFontSize + 1);
    int textWidth = 360, textHeight = 0;
    fl_measure(text_.c_str(), textWidth, textHeight, 0);
    const int width = std::max(textWidth + 50, 220);
    const int height = textHeight + 75;
    Fl_Double_Window window(width, height);
    window.copy_label(title_.c_str());
    Fl_Box message(25, 15, width - 50, textHeight + 10);
    message.label(text_.c_str());
    message.labelsize(kFontSize + 1);
    message.align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT | FL_ALIGN_WRAP);
    Fl_Return_Button ok(width / 2 - 40, height - 40, 80, 25, "OK");
    ok.labelsize(kFontSize + 1);
    ok.callback(&MessageBox::Close, this);
    window.callback(&MessageBox::Close, this);  // Escape and the close box acknowledge too
    window.end();
    window.set_modal();
    window.position((Fl::w() - width) / 2, (Fl::h() - height) / 2);
    window_ = &window;
    window.show();

    FrameScope frame(this);
    RunLoop(finished_);
    window.hide();
    window_ = nullptr;
  }

  void Cancel() override { finished_ = true; }
  void ScriptTick(Session& session) override {
    if (session.script() != nullptr) finished_ = true;  // acknowledged with OK at once
  }
  bool IsMessageBox() const override { return true; }

 private:
  static void Close(Fl_Widget*, void* self) { static_cast<MessageBox*>(self)->finished_ = true; }

  std::string title_;
  std::string text_;
  Fl_Window* window_ = nullptr;
  bool finished_ = false;
};

void ShowMessageBox(const std::string& text) {
  LogEvent(gFltk->session->settings(), {"message", MessageTitle(), text});
  if (Cancelled()) return;
  MessageBox box(text);
  box.Run();
}

// ---- the file chooser -----------------------------------------------------------------------

class FileChooser final : public ModalFrame {
 public:
  std::optional<std::string> Run(const OpenFileRequest& request) {
    std::string filters;
    for (const FileFilter& filter : request.filters) {
      if (!filters.empty()) filters += '\n';
      filters += filter.name + '\t' + filter.pattern;
    }
    Fl_Native_File_Chooser chooser(Fl_Native_File_Chooser::BROWSE_FILE);
    chooser.title("Open");
    chooser.filter(filters.c_str());
    chooser.filter_value(0);
    if (!request.initialName.empty()) chooser.preset_file(request.initialName.c_str());

    int outcome = 1;
    {
      FrameScope frame(this);
      outcome = chooser.show();
    }
    if (outcome != 0 || Cancelled() || chooser.filename() == nullptr) return std::nullopt;
    return WithDefaultExtension(chooser.filename(), request.defaultExtension);
  }

  void Cancel() override { Answer(nullptr); }

  void ScriptTick(Session& session) override {
    if (session.script() == nullptr) return;
    ScriptAction action;
    switch (session.script()->Next([](const ScriptAction& next) { return next.IsFileAnswer(); },
                                   action)) {
      case ActionSource::Reply::kPending:
        return;
      case ActionSource::Reply::kAction:
        Answer(action.kind == ScriptAction::Kind::kFile ? action.text.c_str() : nullptr);
        return;
      case ActionSource::Reply::kNotAccepted:  // left for the dialog that follows
      case ActionSource::Reply::kExhausted:
        Answer(nullptr);
        return;
    }
  }

 private:
  // Types the path into the chooser's own name field and presses its OK button, or empties
  // the field and closes it (a cancel).
  static void Answer(const char* path) {
    for (Fl_Window* window = Fl::first_window(); window != nullptr;
         window = Fl::next_window(window)) {
      Fl_File_Input* name = FindChild<Fl_File_Input>(window);
      if (name == nullptr) continue;
      Fl_Return_Button* ok = FindChild<Fl_Return_Button>(window);
      if (path != nullptr && ok != nullptr) {
        name->value(path);
        ok->do_callback();
      } else {
        name->value("");
        window->hide();
      }
      return;
    }
  }

  static std::string WithDefaultExtension(const std::string& path, const std::string& extension) {
    namespace fs = std::filesystem;
    std::error_code ignored;
    if (extension.empty() || fs::path(path).has_extension() || fs::exists(path, ignored))
      return path;
    return path + "." + extension;
  }
};

// ---- dialogs --------------------------------------------------------------------------------

class FltkDialog;

class PreviewFrame final : public Fl_Box {
 public:
  PreviewFrame(int x, int y, int w, int h, const DialogLogic& logic, int controlId)
      : Fl_Box(FL_DOWN_FRAME, x, y, w, h, nullptr), logic_(logic), controlId_(controlId) {}

  void draw() override {
    draw_box();
    // The same border as the script backend's snapshots, whatever the scheme draws.
    const int left = x() + kFrameBorder, top = y() + kFrameBorder;
    const int width = w() - 2 * kFrameBorder, height = h() - 2 * kFrameBorder;
    if (width <= 0 || height <= 0) return;
    PixelSurface surface(width, height);
    uchar red = 0, green = 0, blue = 0;
    Fl::get_color(color(), red, green, blue);
    for (int y = 0; y < height; ++y) {
      uint8_t* row = surface.Row(y);
      for (int x = 0; x < width; ++x) {
        row[3 * x] = red;
        row[3 * x + 1] = green;
        row[3 * x + 2] = blue;
      }
    }
    logic_.Paint(controlId_, surface);
    fl_draw_image(surface.pixels.data(), left, top, width, height, 3, surface.stride);
  }

 private:
  const DialogLogic& logic_;
  int controlId_;
};

class FltkDialog final : public DialogControls, public ActionTarget, public ModalFrame {
 public:
  explicit FltkDialog(DialogLogic& logic) : logic_(logic), resource_(logic.Resource()) {
    const int width = HorizontalPixels(resource_.width);
    const int height = VerticalPixels(resource_.height);
    window_ = std::make_unique<Fl_Double_Window>(width, height);
    window_->copy_label(std::string(resource_.caption).c_str());
    window_->callback(&FltkDialog::OnWindow, this);  // Escape and the close box
    window_->begin();
    for (const ControlResource& control : resource_.controls) AddControl(control);
    window_->end();
    window_->set_modal();
    window_->position((Fl::w() - width) / 2, (Fl::h() - height) / 2);
  }

  ~FltkDialog() {
    // The widgets' callbacks point at this object: make sure none can run during teardown.
    window_->hide();
  }

  DialogResult Run(Session& session) {
    logic_.OnInitDialog(*this);
    if (ended_) return result_;
    if (Cancelled()) return DialogResult::kCancel;

    window_->show();
    for (int i = 0; i < 40 && !window_->visible(); ++i) Fl::wait(kPollSeconds);
    Fl::flush();
    LogDialog(session, resource_.id, true, DialogResult::kOk);
    {
      FrameScope frame(this);
      RunLoop(ended_);
    }
    // A dialog ended by a shutdown counts as cancelled, whatever its last handler chose.
    if (!ended_ || Cancelled()) End(DialogResult::kCancel);
    window_->hide();
    Fl::flush();
    LogDialog(session, resource_.id, false, result_);
    return result_;
  }

  // DialogControls
  std::string Text(int controlId) const override {
    auto* input = As<Fl_Input>(controlId);
    return input != nullptr && input->value() != nullptr ? input->value() : "";
  }
  void SetText(int controlId, const std::string& text) override {
    if (auto* input = As<Fl_Input>(controlId)) {
      input->value(text.c_str());
    } else if (const ControlResource* control = resource_.Find(controlId);
               control != nullptr && control->kind == ControlKind::kLabel) {
      Fl_Widget* label = Widget(controlId);
      label->copy_label(text.c_str());
      label->redraw_label();
    }
  }
  bool Checked(int controlId) const override {
    auto* box = As<Fl_Check_Button>(controlId);
    return box != nullptr && box->value() != 0;
  }
  void SetChecked(int controlId, bool checked) override {
    if (auto* box = As<Fl_Check_Button>(controlId)) box->value(checked ? 1 : 0);
  }
  void Focus(int controlId) override {
    if (Fl_Widget* widget = Widget(controlId)) widget->take_focus();
  }
  void End(DialogResult result) override {
    ended_ = true;
    result_ = result;
  }

  // ActionTarget: the script's actions go through the real widgets.
  void SetEditText(int controlId, const std::string& text) override {
    auto* input = As<Fl_Input>(controlId);
    if (input == nullptr) return;
    input->take_focus();  // so that a following Enter arrives as it would from this field
    input->value(text.c_str());
    input->set_changed();
    input->do_callback();
  }
  void Click(int controlId) override {
    Fl_Widget* widget = Widget(controlId);
    if (widget == nullptr) return;
    if (auto* box = dynamic_cast<Fl_Check_Button*>(widget)) box->value(box->value() ? 0 : 1);
    widget->do_callback();
  }
  void SetCheck(int controlId, bool checked) override {
    auto* box = As<Fl_Check_Button>(controlId);
    if (box == nullptr || (box->value() != 0) == checked) return;
    box->value(checked ? 1 : 0);
    box->do_callback();
  }
  void Snapshot(int controlId, const std::string& path) override {
    const ControlResource* frame = resource_.Find(controlId);
    Fl_Widget* widget = Widget(controlId);
    if (frame == nullptr || widget == nullptr) return;
    while (!ended_ && logic_.OnIdle(*this)) {
    }
    uchar red = 0, green = 0, blue = 0;
    Fl::get_color(widget->color(), red, green, blue);
    WriteSnapshot(gFltk->session->settings(), logic_, *frame, path, red, green, blue);
  }
  void PressEnter() override { SendKey(window_.get(), FL_Enter, "\r"); }
  void PressEscape() override { SendKey(window_.get(), FL_Escape, "\033"); }
  void CloseBox() override { window_->do_callback(); }

  // ModalFrame
  void Cancel() override { End(DialogResult::kCancel); }
  void Idle() override {
    if (ended_ || !logic_.OnIdle(*this)) return;
    window_->redraw();
  }
  void ScriptTick(Session& session) override {
    if (session.script() == nullptr || ended_) return;
    ScriptAction action;
    switch (session.script()->Next(nullptr, action)) {
      case ActionSource::Reply::kPending:
        return;
      case ActionSource::Reply::kAction:
        Dispatch(action, resource_, *this);
        break;
      case ActionSource::Reply::kNotAccepted:
      case ActionSource::Reply::kExhausted:
        PressEscape();  // the script is used up: nothing may wait forever
        if (!ended_) End(DialogResult::kCancel);
        break;
    }
    window_->redraw();
    Fl::flush();
  }

 private:
  struct Binding {
    FltkDialog* dialog;
    int controlId;
  };

  void AddControl(const ControlResource& control) {
    const int x = HorizontalPixels(control.x), y = VerticalPixels(control.y);
    const int w = HorizontalPixels(control.width), h = VerticalPixels(control.height);
    Fl_Widget* widget = nullptr;
    switch (control.kind) {
      case ControlKind::kEdit: {
        auto* input = new Fl_Input(x, y, w, h);
        input->textsize(kFontSize);
        input->when(FL_WHEN_CHANGED);
        widget = input;
        break;
      }
      case ControlKind::kDefaultButton:
        widget = new Fl_Return_Button(x, y, w, h);
        break;
      case ControlKind::kButton:
        widget = new Fl_Button(x, y, w, h);
        break;
      case ControlKind::kLabel:
        widget = new Fl_Box(x, y, w, h);
        // A label two lines high wraps its text from the top.
        widget->align(control.height >= 16
                          ? FL_ALIGN_INSIDE | FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_WRAP
                          : FL_ALIGN_INSIDE | FL_ALIGN_LEFT);
        break;
      case ControlKind::kFrame:
        widget = new PreviewFrame(x, y, w, h, logic_, control.id);
        break;
      case ControlKind::kCheckBox:
        widget = new Fl_Check_Button(x, y, w, h);
        break;
    }
    if (!control.caption.empty()) widget->copy_label(std::string(control.caption).c_str());
    // Labels were laid out for a narrower font than FLTK's; a point less keeps them clear of
    // the fields beside them.
    widget->labelsize(control.kind == ControlKind::kLabel ? kFontSize - 1 : kFontSize);
    if (control.id == kNoControlId) return;
    widgets_[control.id] = widget;
    bindings_.push_back(std::make_unique<Binding>(Binding{this, control.id}));
    widget->callback(&FltkDialog::OnControl, bindings_.back().get());
  }

  Fl_Widget* Widget(int controlId) const {
    const auto found = widgets_.find(controlId);
    return found != widgets_.end() ? found->second : nullptr;
  }
  template <typename T>
  T* As(int controlId) const {
    return dynamic_cast<T*>(Widget(controlId));
  }

  static void OnControl(Fl_Widget* widget, void* data) {
    const Binding& binding = *static_cast<Binding*>(data);
    FltkDialog& dialog = *binding.dialog;
    if (dialog.ended_) return;
    if (dynamic_cast<Fl_Input*>(widget) != nullptr)
      dialog.logic_.OnTextChanged(binding.controlId, dialog);
    else
      dialog.logic_.OnCommand(binding.controlId, dialog);
    dialog.window_->redraw();
  }

  static void OnWindow(Fl_Widget*, void* data) {
    FltkDialog& dialog = *static_cast<FltkDialog*>(data);
    if (!dialog.ended_) dialog.logic_.OnCancel(dialog);
  }

  DialogLogic& logic_;
  const DialogResource& resource_;
  std::unique_ptr<Fl_Double_Window> window_;
  std::map<int, Fl_Widget*> widgets_;
  std::vector<std::unique_ptr<Binding>> bindings_;
  bool ended_ = false;
  DialogResult result_ = DialogResult::kCancel;
};

// ---- the poll -------------------------------------------------------------------------------

PostedMessage* TakePostedMessage() {
  std::lock_guard lock(gFltk->routerMutex);
  PostedMessage* message = gFltk->firstPosted;
  if (message != nullptr) gFltk->firstPosted = message->next;
  return message;
}

void Acknowledge(PostedMessage* message) {
  std::lock_guard lock(gFltk->routerMutex);
  message->done = true;
  gFltk->acknowledged.notify_all();
}

void Poll(void*) {
  Fl::repeat_timeout(kPollSeconds, &Poll);  // first, so that loops nested below keep polling
  if (gFltk->session == nullptr) return;
  if (Cancelled()) {
    for (int i = 0; i < gFltk->frameCount; ++i) gFltk->frames[i]->Cancel();
    return;
  }
  ModalFrame* top = TopFrame();
  if (top == nullptr || !top->IsMessageBox()) {
    if (PostedMessage* message = TakePostedMessage()) {
      ShowMessageBox(message->text);
      Acknowledge(message);
      return;
    }
  }
  if (top == nullptr || top->busy) return;
  top->busy = true;
  top->Idle();
  top->ScriptTick(*gFltk->session);
  top->busy = false;
}

// FLTK is loaded once per process and stays: the display, once opened, stays open with FLTK's
// handlers installed in Xlib, and FLTK's own start-up allocations are meant to live as long as
// the process. Unloading it with the plug-in would leave Xlib calling into unmapped code.
void KeepFltkLoaded() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(static_cast<void (*)(Display*)>(&fl_open_display)), &info) !=
          0 &&
      info.dli_fname != nullptr)
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}
const bool gFltkKeptLoaded = (KeepFltkLoaded(), true);

bool EnsureDisplay() {
  if (fl_display != nullptr) return true;
  // Opened here rather than by FLTK, which would end the whole host process without a display.
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  fl_open_display(display);
  Fl::scheme("gtk+");
  // A GTK chooser would run its own event loop on this thread, out of reach of the poll.
  Fl::option(Fl::OPTION_FNFC_USES_GTK, false);
  return true;
}

}  // namespace

bool FltkAcquire(Session& session) {
  gFltk->owner.lock();
  if (!EnsureDisplay()) {
    gFltk->owner.unlock();
    return false;
  }
  gFltk->session = &session;
  gFltk->frameCount = 0;
  Fl::add_timeout(kPollSeconds, &Poll);
  std::lock_guard lock(gFltk->routerMutex);
  gFltk->receiving = true;
  return true;
}

void FltkRelease(Session& session) {
  PostedMessage* pending = nullptr;
  {
    std::lock_guard lock(gFltk->routerMutex);
    gFltk->receiving = false;
    std::swap(pending, gFltk->firstPosted);
  }
  while (pending != nullptr) {
    PostedMessage* next = pending->next;  // read first: the poster may go once acknowledged
    if (!session.CancelRequested()) ShowMessageBox(pending->text);
    Acknowledge(pending);
    pending = next;
  }
  Fl::remove_timeout(&Poll);
  Fl::flush();
  gFltk->session = nullptr;
  gFltk->owner.unlock();
}

DialogResult FltkRunModal(DialogLogic& logic, Session& session) {
  FltkDialog dialog(logic);
  return dialog.Run(session);
}

void FltkShowMessage(const std::string& text, Session&) {
  MessageBox box(text);
  box.Run();
}

std::optional<std::string> FltkChooseFile(const OpenFileRequest& request, Session&) {
  FileChooser chooser;
  return chooser.Run(request);
}

bool FltkPostMessage(const std::string& text) {
  std::unique_lock lock(gFltk->routerMutex);
  if (!gFltk->receiving) return false;
  PostedMessage message{text};
  PostedMessage** last = &gFltk->firstPosted;
  while (*last != nullptr) last = &(*last)->next;
  *last = &message;  // the owner's next poll shows it
  gFltk->acknowledged.wait(lock, [&] { return message.done; });
  return true;
}

}  // namespace ui::detail
