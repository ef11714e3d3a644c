// A dialog described as data, the way a resource script describes it: caption, size and the
// controls in tab order, all positions in dialog units. Both UI backends build their dialogs
// from these tables, so the two can never disagree about ids, captions or order.
#pragma once

#include <span>
#include <string_view>

namespace ui {

enum class ControlKind {
  kEdit,           // bordered single-line edit field, scrolls horizontally
  kDefaultButton,  // push button pressed by the Enter key
  kButton,         // plain push button
  kLabel,          // static text
  kFrame,          // static frame the dialog paints into (the preview)
  kCheckBox,       // check box that toggles itself
};

// Controls without an id of their own (labels) carry this one.
inline constexpr int kNoControlId = -1;

struct ControlResource {
  int id;
  ControlKind kind;
  std::string_view caption;
  int x, y, width, height;  // dialog units
};

struct DialogResource {
  int id;
  std::string_view caption;
  int width, height;  // dialog units
  std::string_view fontName;
  int fontPoints;
  std::span<const ControlResource> controls;  // tab order

  const ControlResource* Find(int controlId) const {
    if (controlId == kNoControlId) return nullptr;
    for (const ControlResource& control : controls)
      if (control.id == controlId) return &control;
    return nullptr;
  }
  // The push button that the Enter key presses; kNoControlId when there is none.
  int DefaultButton() const {
    for (const ControlResource& control : controls)
      if (control.kind == ControlKind::kDefaultButton) return control.id;
    return kNoControlId;
  }
};

// A frame control paints inside a border of this many pixels on each side.
inline constexpr int kFrameBorder = 2;

// Dialog units to pixels: one horizontal unit is 1.5 px and one vertical unit 1.625 px (the
// base units of an 8-point dialog font at 96 dpi).
inline int HorizontalPixels(int dialogUnits) {
  return (dialogUnits * 3 + 1) / 2;
}
inline int VerticalPixels(int dialogUnits) {
  return (dialogUnits * 13 + 4) / 8;
}

// The pixels a frame control's dialog paints into, inside its border; both backends use them.
inline int FrameClientWidth(const ControlResource& frame) {
  return HorizontalPixels(frame.width) - 2 * kFrameBorder;
}
inline int FrameClientHeight(const ControlResource& frame) {
  return VerticalPixels(frame.height) - 2 * kFrameBorder;
}

}  // namespace ui
