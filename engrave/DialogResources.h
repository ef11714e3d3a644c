// The setup dialog "Photo Engraving" (4021) and the confirmation "Start Movement???" (4022) as
// data, with the ids the dialog logic refers to.
#pragma once

#include "ui/DialogResource.h"

namespace engrave {

inline constexpr int kSetupDialogId = 4021;
inline constexpr int kConfirmDialogId = 4022;

// Controls of the setup dialog.
inline constexpr int kStartScanningButton = 1;
inline constexpr int kLengthEdit = 4164;  // labelled "Height"
inline constexpr int kWidthEdit = 4165;
inline constexpr int kYStepOverEdit = 4167;
inline constexpr int kFeedRateEdit = 4170;
inline constexpr int kCalculateButton = 4178;
inline constexpr int kPreviewFrame = 4179;
inline constexpr int kImagePixelsXEdit = 4180;
inline constexpr int kImagePixelsYEdit = 4181;
inline constexpr int kXPixelStepsEdit = 4182;
inline constexpr int kYPixelStepsEdit = 4183;
inline constexpr int kTriggerLineLengthEdit = 4184;
inline constexpr int kPulseCheck = 4186;
inline constexpr int kInvertedCheck = 4187;
inline constexpr int kAspectCheck = 4188;
inline constexpr int kDitherCheck = 4189;
inline constexpr int kEngravingViewCheck = 4190;  // the preview shows the engraving
inline constexpr int kEstimateLabel = 4191;       // "Engraving time: H:MM:SS (N lines)"
inline constexpr int kHintLabel = 4192;           // advice on the classic fill, or empty
inline constexpr int kOverscanEdit = 4193;        // "Overscan": run-in and run-out of every line
inline constexpr int kOverscanAutoButton = 4194;  // the overscan from X's acceleration
inline constexpr int kSkipBlankCheck = 4195;      // "Skip blank ends"
inline constexpr int kRunUpLabel = 4196;          // how far X runs to reach the feed rate
inline constexpr int kCancelButton = 4029;
// The picture adjustments, in a row below the strip.
inline constexpr int kBrightnessEdit = 4200;
inline constexpr int kContrastEdit = 4201;
inline constexpr int kGammaEdit = 4202;
// The line the raster starts at ("Start at line"), below the lines' moves; 1 in every dialog.
inline constexpr int kStartLineEdit = 4205;

// Controls of the confirmation.
inline constexpr int kYesButton = 6;
inline constexpr int kNoButton = 7;

const ui::DialogResource& SetupDialogResource();
const ui::DialogResource& ConfirmDialogResource();

}  // namespace engrave
