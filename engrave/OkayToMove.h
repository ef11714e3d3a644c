// The confirmation "Start Movement???" shown before a scan is armed.
#pragma once

#include "ui/Ui.h"

namespace engrave {

class OkayToMove final : public ui::DialogLogic {
 public:
  const ui::DialogResource& Resource() const override;
  void OnCommand(int controlId, ui::DialogControls& controls) override;

  bool confirmed() const { return confirmed_; }

 private:
  bool confirmed_ = false;
};

// Dialog thread: shows OkayToMove modally; true when the user answered "Yes".
bool ConfirmMovement();

}  // namespace engrave
