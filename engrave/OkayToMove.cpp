#include "engrave/OkayToMove.h"

#include "engrave/DialogResources.h"

namespace engrave {

const ui::DialogResource& OkayToMove::Resource() const {
  return ConfirmDialogResource();
}

void OkayToMove::OnCommand(int controlId, ui::DialogControls& controls) {
  if (controlId == kYesButton) {
    confirmed_ = true;
    controls.End(ui::DialogResult::kOk);
  } else if (controlId == kNoButton) {
    confirmed_ = false;
    controls.End(ui::DialogResult::kCancel);
  }
}

bool ConfirmMovement() {
  OkayToMove dialog;
  ui::RunModal(dialog);
  return dialog.confirmed();
}

}  // namespace engrave
