// engrave-lcnc-window: the host window of engrave-lcnc, in a process of its own. It shows the
// menu bar that the plug-in filled, the status line and the machine, and reports the operator's
// menu choices and buttons to engrave-lcnc. It owns no state of the machine or the plug-in.
//
//   engrave-lcnc-window FD     FD: the socket to engrave-lcnc
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Menu_Bar.H>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "lcnc/WindowProtocol.h"

namespace {

struct Window {
  int fd = -1;
  lcnc::MessageReader reader;
  Fl_Double_Window* window = nullptr;
  Fl_Menu_Bar* menu = nullptr;
  Fl_Box* status = nullptr;
  Fl_Box* machine = nullptr;
  Fl_Box* position = nullptr;
  Fl_Box* raster = nullptr;
  std::map<int, int> commandOfItem;  // menu item index -> plug-in command id
  std::string statusText, machineText, positionText, rasterText;  // the boxes keep pointers
};

Window gWindow;

void Send(const std::vector<std::string>& fields) {
  lcnc::SendMessage(gWindow.fd, fields);
}

void OnMenuItem(Fl_Widget*, void* data) {
  Send({"menu", std::to_string(reinterpret_cast<intptr_t>(data))});
}

void OnQuit(Fl_Widget*, void*) {
  Send({"close"});
}

void OnButton(Fl_Widget*, void* data) {
  Send({static_cast<const char*>(data)});
}

void SetLabel(Fl_Box* box, std::string& keep, const std::string& text) {
  keep = text;
  box->label(keep.c_str());
  box->redraw();
}

void Apply(const std::vector<std::string>& fields) {
  if (fields.empty()) return;
  const std::string& kind = fields[0];
  if (kind == "menu" && fields.size() >= 4) {
    // "&Tarvex/Laser Engraving" would make FLTK open a submenu at the slash: escape it.
    std::string path;
    for (const char c : fields[1]) path += c == '/' ? std::string("\\/") : std::string(1, c);
    path += "/" + fields[2];
    const int command = std::atoi(fields[3].c_str());
    gWindow.menu->add(path.c_str(), 0, OnMenuItem, reinterpret_cast<void*>(intptr_t(command)));
    gWindow.menu->redraw();
  } else if (kind == "status" && fields.size() >= 2) {
    SetLabel(gWindow.status, gWindow.statusText, fields[1]);
  } else if (kind == "machine" && fields.size() >= 4) {
    SetLabel(gWindow.machine, gWindow.machineText, "Machine: " + fields[1]);
    SetLabel(gWindow.position, gWindow.positionText, "X " + fields[2] + "   Y " + fields[3]);
  } else if (kind == "raster" && fields.size() >= 2) {
    SetLabel(gWindow.raster, gWindow.rasterText, fields[1]);
  } else if (kind == "quit") {
    gWindow.window->hide();
  }
}

void OnSocket(int fd, void*) {
  const bool open = gWindow.reader.ReadAvailable(fd);
  std::vector<std::string> fields;
  while (gWindow.reader.Next(&fields)) Apply(fields);
  if (!open) {
    Fl::remove_fd(fd);
    gWindow.window->hide();
  }
}

Fl_Box* Line(int y, int height, Fl_Fontsize size) {
  Fl_Box* box = new Fl_Box(10, y, 600, height);
  box->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
  box->labelsize(size);
  return box;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: engrave-lcnc-window FD (started by engrave-lcnc)\n");
    return 2;
  }
  gWindow.fd = std::atoi(argv[1]);
  Fl::scheme("gtk+");
  Fl_Double_Window window(620, 230, "engrave-lcnc");
  gWindow.window = &window;
  gWindow.menu = new Fl_Menu_Bar(0, 0, 620, 25);
  gWindow.menu->add("&File/&Quit", FL_CTRL + 'q', OnQuit);
  gWindow.status = Line(35, 25, 16);
  gWindow.status->box(FL_DOWN_BOX);
  gWindow.machine = Line(70, 22, 14);
  gWindow.position = Line(95, 22, 14);
  gWindow.raster = Line(120, 22, 14);
  struct ButtonDef {
    const char* label;
    const char* message;
  };
  static const ButtonDef kButtons[] = {
      {"E-Stop", "estop"},           {"Machine On", "machine-on"},   {"Home", "home"},
      {"Go to X0 Y0", "go-to-zero"}, {"Cycle Start", "cycle-start"}, {"Reset", "reset"},
      {"Resume", "resume"}};
  int x = 10;
  for (const ButtonDef& def : kButtons) {
    Fl_Button* button = new Fl_Button(x, 160, 82, 30, def.label);
    button->callback(OnButton, const_cast<char*>(def.message));
    x += 86;
  }
  window.end();
  window.callback(OnQuit);  // the close box asks engrave-lcnc, which decides when to go
  window.show(1, argv);
  Fl::add_fd(gWindow.fd, FL_READ, OnSocket);
  return Fl::run();
}
