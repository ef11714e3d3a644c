// The setup dialog "Photo Engraving": picks and previews the picture, exchanges the engraving
// parameters with its fields, recalculates, and starts the scanning. Toolkit-free: the UI
// backends show it and feed it the user's actions.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engrave/EngravingView.h"
#include "engrave/MachineEnvelope.h"
#include "engrave/RasterStart.h"
#include "engrave/ToneAdjustment.h"
#include "ui/Ui.h"

namespace engrave {

class EngraveSetup final : public ui::DialogLogic {
 public:
  // hostPulseMode: the host's ControlState::PulseMode; machine: what the host told of its
  // machine; resume: how far the line it wants to go on with has fired. All read on the host
  // thread.
  explicit EngraveSetup(uint8_t hostPulseMode, const MachineEnvelope& machine = {},
                        const ResumePoint& resume = {});

  const ui::DialogResource& Resource() const override;
  void OnInitDialog(ui::DialogControls& controls) override;
  void OnCommand(int controlId, ui::DialogControls& controls) override;
  void OnCancel(ui::DialogControls& controls) override;
  // The picture adjustments renew the previews as they are typed.
  void OnTextChanged(int controlId, ui::DialogControls& controls) override;
  void Paint(int controlId, PixelSurface& surface) const override;
  // Draws more lines of the engraving view.
  bool OnIdle(ui::DialogControls& controls) override;

  // Moves every field one way, in exchange order. Reading stops at the first field that cannot
  // be read, after saying so and putting the focus there; the fields before it are read.
  bool DoDataExchange(ui::DialogControls& controls, bool saveAndValidate);
  // Reads the fields, derives the parameters and shows them. False when a field was unreadable.
  bool Recalculate(ui::DialogControls& controls);
  // "Start Scanning": checks, confirmation, arming, then closing as accepted.
  void StartScanning(ui::DialogControls& controls);

  bool imageLoaded() const { return imageLoaded_; }
  const std::string& picturePath() const { return picturePath_; }
  int pulseCheck() const { return pulseCheck_; }
  int invertedCheck() const { return invertedCheck_; }
  int aspectCheck() const { return aspectCheck_; }
  int ditherCheck() const { return ditherCheck_; }
  int viewCheck() const { return viewCheck_; }
  int skipBlankCheck() const { return skipBlankCheck_; }
  int startLine() const { return startLine_; }
  const EngravingView& engravingView() const { return view_; }
  // The adjustments the previews show: those read last, or typed since.
  const ToneAdjustment& previewTone() const { return previewTone_; }

 private:
  friend class SetupFields;  // binds the check boxes to the states below

  // The time and the hint below the preview, from the parameter set as it is now.
  void ShowEstimate(ui::DialogControls& controls) const;
  // Starts the engraving view over from the parameter set and the previews' adjustments,
  // drawing for firstSlice, or stops it when it is not shown and the time does not need it.
  void RefreshView(std::chrono::steady_clock::duration firstSlice);
  void SetPreviewTone(const ToneAdjustment& tone);
  // "Auto": the overscan from X's acceleration at the feed rate typed.
  void FillAutoOverscan(ui::DialogControls& controls);
  // X's steps per unit as the host gives them.
  double StepsPerUnitX() const;
  // The first line the raster engraves, from 0, as far as the parameters have lines.
  int64_t FirstLine() const;

  uint8_t hostPulseMode_;
  bool imageLoaded_ = false;
  std::string picturePath_;
  int pulseCheck_;
  int invertedCheck_;
  int aspectCheck_ = 0;
  int ditherCheck_;
  int viewCheck_;  // the preview shows the engraving rather than the picture
  int skipBlankCheck_;
  int startLine_ = 1;  // "Start at line": every dialog starts at the first line
  MachineEnvelope machine_;
  ResumePoint resume_;
  EngravingView view_;
  ToneAdjustment previewTone_;
  std::optional<ToneTable> previewTable_;  // none while the adjustments are neutral
};

// The request for the picture file: "Jpeg", "Bitmap" and "Png files", initial name "*.jpg".
ui::OpenFileRequest PictureFileRequest();

// How the real fields read and show their values: the leading decimal number of the text
// (leading blanks skipped, anything after it ignored), and up to 15 significant digits.
std::optional<double> ParseFieldReal(std::string_view text);
std::optional<int32_t> ParseFieldInteger(std::string_view text);
std::string FormatFieldReal(double value);

}  // namespace engrave
