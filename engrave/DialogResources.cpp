#include "engrave/DialogResources.h"

#include <array>

namespace engrave {
namespace {

using ui::ControlKind;
using ui::ControlResource;
using ui::kNoControlId;

constexpr std::array kSetupControls = {
    ControlResource{kLengthEdit, ControlKind::kEdit, "", 346, 31, 110, 14},
    ControlResource{kWidthEdit, ControlKind::kEdit, "", 346, 15, 110, 14},
    ControlResource{kFeedRateEdit, ControlKind::kEdit, "", 394, 62, 61, 14},
    ControlResource{kStartScanningButton, ControlKind::kDefaultButton, "Start Scanning", 353, 271,
                    110, 14},
    ControlResource{kNoControlId, ControlKind::kLabel, "Width", 322, 17, 20, 8},
    ControlResource{kNoControlId, ControlKind::kLabel, "Height", 320, 34, 22, 8},
    ControlResource{kNoControlId, ControlKind::kLabel, "Feedrate", 356, 65, 30, 8},
    ControlResource{kCancelButton, ControlKind::kButton, "Cancel", 353, 223, 110, 14},
    ControlResource{kNoControlId, ControlKind::kLabel, "Image pixels:", 381, 132, 44, 8},
    ControlResource{kNoControlId, ControlKind::kLabel, "Y:", 405, 145, 8, 8},
    ControlResource{kImagePixelsXEdit, ControlKind::kEdit, "", 357, 143, 39, 12},
    ControlResource{kImagePixelsYEdit, ControlKind::kEdit, "", 417, 143, 38, 12},
    ControlResource{kCalculateButton, ControlKind::kButton, "Calculate Parameters", 354, 246, 109,
                    16},
    ControlResource{kNoControlId, ControlKind::kLabel, "X pixel steps", 337, 166, 41, 8},
    ControlResource{kNoControlId, ControlKind::kLabel, "Y-StepOver", 351, 49, 38, 8},
    ControlResource{kYStepOverEdit, ControlKind::kEdit, "", 394, 47, 61, 14},
    ControlResource{kXPixelStepsEdit, ControlKind::kEdit, "", 380, 162, 75, 13},
    ControlResource{kNoControlId, ControlKind::kLabel, " Y pixel steps", 335, 181, 43, 8},
    ControlResource{kYPixelStepsEdit, ControlKind::kEdit, "", 380, 178, 76, 13},
    ControlResource{kNoControlId, ControlKind::kLabel, "Trigger Line length", 341, 197, 60, 8},
    ControlResource{kTriggerLineLengthEdit, ControlKind::kEdit, "", 403, 194, 53, 12},
    ControlResource{kNoControlId, ControlKind::kLabel, "Limit 1 million bits", 401, 208, 55, 8},
    ControlResource{kPreviewFrame, ControlKind::kFrame, "", 7, 7, 309, 278},
    ControlResource{kPulseCheck, ControlKind::kCheckBox, "use 40us pulses at triggertime", 341, 84,
                    112, 10},
    ControlResource{kInvertedCheck, ControlKind::kCheckBox, "Inverted (Black  = On)", 342, 102, 110,
                    10},
    ControlResource{kAspectCheck, ControlKind::kCheckBox, "Maintain Aspect Ratio", 342, 119, 110,
                    10},
    ControlResource{kNoControlId, ControlKind::kLabel, "X:", 346, 144, 8, 8},
    // The strip added below the original dialog.
    ControlResource{kDitherCheck, ControlKind::kCheckBox, "Dithered (photo)", 342, 292, 110, 10},
    ControlResource{kEngravingViewCheck, ControlKind::kCheckBox, "Show engraving", 7, 292, 90, 10},
    ControlResource{kEstimateLabel, ControlKind::kLabel, "Engraving time:", 100, 293, 216, 8},
    ControlResource{kHintLabel, ControlKind::kLabel, "", 7, 306, 309, 16},
    // The lines' moves, below the mode.
    ControlResource{kNoControlId, ControlKind::kLabel, "Overscan", 322, 308, 32, 8},
    ControlResource{kOverscanEdit, ControlKind::kEdit, "", 356, 306, 60, 12},
    ControlResource{kOverscanAutoButton, ControlKind::kButton, "Auto", 420, 305, 36, 14},
    ControlResource{kRunUpLabel, ControlKind::kLabel, "", 322, 322, 140, 8},
    ControlResource{kSkipBlankCheck, ControlKind::kCheckBox, "Skip blank ends", 342, 334, 110, 10},
    // The picture adjustments, in a row of their own along the bottom left.
    ControlResource{kNoControlId, ControlKind::kLabel, "Brightness", 7, 329, 38, 8},
    ControlResource{kBrightnessEdit, ControlKind::kEdit, "", 48, 326, 52, 14},
    ControlResource{kNoControlId, ControlKind::kLabel, "Contrast", 112, 329, 32, 8},
    ControlResource{kContrastEdit, ControlKind::kEdit, "", 146, 326, 52, 14},
    ControlResource{kNoControlId, ControlKind::kLabel, "Gamma", 210, 329, 28, 8},
    ControlResource{kGammaEdit, ControlKind::kEdit, "", 240, 326, 52, 14},
    // Where the raster starts, under the lines' moves.
    ControlResource{kNoControlId, ControlKind::kLabel, "Start at line", 322, 349, 44, 8},
    ControlResource{kStartLineEdit, ControlKind::kEdit, "", 370, 346, 52, 12},
};

constexpr std::array kConfirmControls = {
    ControlResource{kNoControlId, ControlKind::kLabel, "Sequence will start with Cycle/Start", 36,
                    14, 131, 8},
    ControlResource{kNoControlId, ControlKind::kLabel, "Start Sequence operation?", 51, 36, 86, 8},
    ControlResource{kYesButton, ControlKind::kDefaultButton, "Yes", 25, 52, 50, 14},
    ControlResource{kNoButton, ControlKind::kButton, "No", 109, 52, 50, 14},
};

constexpr ui::DialogResource kSetupDialog{
    kSetupDialogId, "Photo Engraving", 470, 366, "MS Shell Dlg", 8, kSetupControls};
constexpr ui::DialogResource kConfirmDialog{
    kConfirmDialogId, "Start Movement???", 187, 73, "MS Shell Dlg", 8, kConfirmControls};

}  // namespace

const ui::DialogResource& SetupDialogResource() {
  return kSetupDialog;
}
const ui::DialogResource& ConfirmDialogResource() {
  return kConfirmDialog;
}

}  // namespace engrave
