#include "engrave/EngraveSetup.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>

#include "engrave/DialogResources.h"
#include "engrave/OkayToMove.h"
#include "engrave/Parameters.h"
#include "image/EngraveImage.h"
#include "plugin/PluginServices.h"

namespace engrave {
namespace {

// The engraving view draws for this long within a click, then a slice at a time while the
// dialog waits, so that the dialog never stops answering.
constexpr auto kFirstSlice = std::chrono::milliseconds(100);
constexpr auto kIdleSlice = std::chrono::milliseconds(25);

// The view the user chose last; every dialog of this run starts with it.
std::atomic<bool> gShowEngraving{false};

// One field of the exchange: an edit bound to a real or the integer of the parameter set, an
// edit or a check box bound to one of the dialog's own states and, for the stored boxes, to its
// flag in the parameter set as well.
struct Field {
  enum class Kind { kReal, kInteger, kCheck, kAdjustment, kDialogInteger };
  int controlId;
  Kind kind;
  std::atomic<double> ParameterSet::*real = nullptr;
  int EngraveSetup::*check = nullptr;  // kCheck, kDialogInteger
  std::atomic<bool> ParameterSet::*flag = nullptr;
  ToneSetting adjustment = ToneSetting::kBrightness;  // kAdjustment: a real within its range
};

std::string_view SkipBlanks(std::string_view text) {
  size_t start = 0;
  while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
  return text.substr(start);
}

// A sign is optional; from_chars takes no "+", and it would also take "inf" and "nan", which
// are no decimal numbers and would poison every derived value.
std::string_view UnsignedStart(std::string_view text, bool* negative) {
  *negative = !text.empty() && text.front() == '-';
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  return text;
}

// Shows one integer field, or reads it; false, with the user told, when its text holds no
// integer (the focus is then on it).
template <typename Store>
bool ExchangeInteger(ui::DialogControls& controls, int id, bool read, int32_t shown, Store store) {
  if (!read) {
    const std::string text = std::to_string(shown);
    controls.SetText(id, text);
    ui::LogShown(id, text);
    return true;
  }
  const std::optional<int32_t> value = ParseFieldInteger(controls.Text(id));
  if (!value) {
    ui::ShowMessage("Please enter an integer.");
    controls.Focus(id);
    return false;
  }
  store(*value);
  return true;
}

class DialogScanStarter final : public ScanStarter {
 public:
  void SetPulseMode(uint8_t pulseMode) override { plugin::PostPulseMode(pulseMode); }
  void ShowMessage(const std::string& text) override { ui::ShowMessage(text); }
  bool ConfirmMovement() override { return engrave::ConfirmMovement(); }
  void Arm() override { plugin::ArmSequence(); }
};

}  // namespace

// The exchange order of the dialog's fields.
class SetupFields {
 public:
  static constexpr std::array<Field, 20> kFields = {{
      {kLengthEdit, Field::Kind::kReal, &ParameterSet::Length},
      {kWidthEdit, Field::Kind::kReal, &ParameterSet::Width},
      {kFeedRateEdit, Field::Kind::kReal, &ParameterSet::FeedRate},
      {kImagePixelsXEdit, Field::Kind::kReal, &ParameterSet::ImagePixelsX},
      {kImagePixelsYEdit, Field::Kind::kReal, &ParameterSet::ImagePixelsY},
      {kXPixelStepsEdit, Field::Kind::kReal, &ParameterSet::XPixelSteps},
      {kYPixelStepsEdit, Field::Kind::kReal, &ParameterSet::YPixelSteps},
      {kTriggerLineLengthEdit, Field::Kind::kInteger},
      {kYStepOverEdit, Field::Kind::kReal, &ParameterSet::YStepOver},
      {kPulseCheck, Field::Kind::kCheck, nullptr, &EngraveSetup::pulseCheck_},
      {kInvertedCheck, Field::Kind::kCheck, nullptr, &EngraveSetup::invertedCheck_,
       &ParameterSet::Inverse},
      {kAspectCheck, Field::Kind::kCheck, nullptr, &EngraveSetup::aspectCheck_},
      {kDitherCheck, Field::Kind::kCheck, nullptr, &EngraveSetup::ditherCheck_,
       &ParameterSet::Dither},
      {kEngravingViewCheck, Field::Kind::kCheck, nullptr, &EngraveSetup::viewCheck_},
      {kOverscanEdit, Field::Kind::kReal, &ParameterSet::Overscan},
      {kSkipBlankCheck, Field::Kind::kCheck, nullptr, &EngraveSetup::skipBlankCheck_,
       &ParameterSet::SkipBlank},
      {kBrightnessEdit, Field::Kind::kAdjustment, &ParameterSet::Brightness, nullptr, nullptr,
       ToneSetting::kBrightness},
      {kContrastEdit, Field::Kind::kAdjustment, &ParameterSet::Contrast, nullptr, nullptr,
       ToneSetting::kContrast},
      {kGammaEdit, Field::Kind::kAdjustment, &ParameterSet::Gamma, nullptr, nullptr,
       ToneSetting::kGamma},
      {kStartLineEdit, Field::Kind::kDialogInteger, nullptr, &EngraveSetup::startLine_},
  }};

  static std::optional<ToneSetting> AdjustmentOf(int controlId) {
    for (const Field& field : kFields)
      if (field.controlId == controlId && field.kind == Field::Kind::kAdjustment)
        return field.adjustment;
    return std::nullopt;
  }
};

std::optional<double> ParseFieldReal(std::string_view text) {
  bool negative = false;
  const std::string_view number = UnsignedStart(SkipBlanks(text), &negative);
  const bool startsWithDigit =
      !number.empty() && std::isdigit(static_cast<unsigned char>(number[0]));
  const bool startsWithPoint =
      number.size() > 1 && number[0] == '.' && std::isdigit(static_cast<unsigned char>(number[1]));
  if (!startsWithDigit && !startsWithPoint) return std::nullopt;
  double value = 0.0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error != std::errc()) return std::nullopt;  // out of range: no finite number
  return negative ? -value : value;
}

std::optional<int32_t> ParseFieldInteger(std::string_view text) {
  bool negative = false;
  const std::string_view digits = UnsignedStart(SkipBlanks(text), &negative);
  if (digits.empty() || !std::isdigit(static_cast<unsigned char>(digits[0]))) return std::nullopt;
  int64_t magnitude = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  const int64_t value = negative ? -magnitude : magnitude;
  if (error != std::errc() || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return int32_t(value);
}

std::string FormatFieldReal(double value) {
  std::array<char, 64> text{};
  const auto result =
      std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::general, 15);
  return std::string(text.data(), result.ptr);
}

ui::OpenFileRequest PictureFileRequest() {
  return {{{"Jpeg", "*.jpg"}, {"Bitmap", "*.bmp"}, {"Png files", "*.png"}}, "*.jpg", "JPegs"};
}

EngraveSetup::EngraveSetup(uint8_t hostPulseMode, const MachineEnvelope& machine,
                           const ResumePoint& resume)
    // The pulse box starts from the host's choice, so that it shows it even when no picture
    // is loaded in this dialog.
    : hostPulseMode_(hostPulseMode),
      pulseCheck_(hostPulseMode != 0 ? 1 : 0),
      // The two modes start as stored, and every reading of the boxes stores them again.
      invertedCheck_(gParameters.Inverse ? 1 : 0),
      ditherCheck_(gParameters.Dither ? 1 : 0),
      viewCheck_(gShowEngraving.load() ? 1 : 0),
      skipBlankCheck_(gParameters.SkipBlank ? 1 : 0),
      machine_(machine),
      resume_(resume) {}

int64_t EngraveSetup::FirstLine() const {
  if (startLine_ <= 1) return 0;
  const int64_t lines = CountRasterLines(gParameters.Length, gParameters.YStepOver);
  if (lines < 1) return 0;
  return std::min<int64_t>(startLine_, lines) - 1;
}

double EngraveSetup::StepsPerUnitX() const {
  if (machine_.stepsPerUnitX > 0.0) return machine_.stepsPerUnitX;
  const MotionState* motion = plugin::Motion();
  return motion != nullptr ? motion->StepsPerUnitX : 0.0;
}

const ui::DialogResource& EngraveSetup::Resource() const {
  return SetupDialogResource();
}

bool EngraveSetup::DoDataExchange(ui::DialogControls& controls, bool saveAndValidate) {
  for (const Field& field : SetupFields::kFields) {
    const int id = field.controlId;
    switch (field.kind) {
      case Field::Kind::kReal:
      case Field::Kind::kAdjustment: {
        std::atomic<double>& value = gParameters.*field.real;
        if (!saveAndValidate) {
          const std::string text = FormatFieldReal(value);
          controls.SetText(id, text);
          ui::LogShown(id, text);
          break;
        }
        std::optional<double> read = ParseFieldReal(controls.Text(id));
        const bool adjustment = field.kind == Field::Kind::kAdjustment;
        if (adjustment && read && !InRange(field.adjustment, *read)) read.reset();
        if (!read) {
          ui::ShowMessage(adjustment ? RangeMessage(field.adjustment) : "Please enter a number.");
          controls.Focus(id);
          return false;
        }
        value = *read;
        break;
      }
      case Field::Kind::kInteger: {
        std::atomic<int32_t>& length = gParameters.TriggerLineLength;
        if (!ExchangeInteger(controls, id, saveAndValidate, length.load(),
                             [&](int32_t read) { length = read; }))
          return false;
        break;
      }
      case Field::Kind::kDialogInteger: {
        int& value = this->*field.check;
        if (!ExchangeInteger(controls, id, saveAndValidate, value,
                             [&](int32_t read) { value = read; }))
          return false;
        break;
      }
      case Field::Kind::kCheck: {
        int& state = this->*field.check;
        if (saveAndValidate) {
          state = controls.Checked(id) ? 1 : 0;
          if (field.flag != nullptr) (gParameters.*field.flag) = state != 0;
        } else {
          controls.SetChecked(id, state != 0);
          ui::LogShown(id, state != 0 ? "1" : "0");
        }
        break;
      }
    }
  }
  if (saveAndValidate)
    gShowEngraving.store(viewCheck_ != 0);
  else
    ShowEstimate(controls);
  SetPreviewTone(CurrentTone());
  return true;
}

void EngraveSetup::SetPreviewTone(const ToneAdjustment& tone) {
  if (previewTone_.SameAs(tone)) return;
  previewTone_ = tone;
  if (tone.Neutral())
    previewTable_.reset();
  else
    previewTable_ = BuildToneTable(tone);
}

void EngraveSetup::OnTextChanged(int controlId, ui::DialogControls& controls) {
  const std::optional<ToneSetting> setting = SetupFields::AdjustmentOf(controlId);
  if (!setting) return;
  // Text on its way to a number ("-", "0.") or outside the range changes nothing yet; reading
  // the fields refuses it with a message, rather than every keystroke.
  const std::optional<double> value = ParseFieldReal(controls.Text(controlId));
  if (!value || !InRange(*setting, *value)) return;
  ToneAdjustment tone = previewTone_;
  ValueOf(tone, *setting) = *value;
  if (tone.SameAs(previewTone_)) return;
  SetPreviewTone(tone);
  // A short first slice: the user may be typing the next digit already.
  RefreshView(kIdleSlice);
}

void EngraveSetup::ShowEstimate(ui::DialogControls& controls) const {
  const RasterMoves moves = CurrentRasterMoves(StepsPerUnitX());
  const double feedRate = gParameters.FeedRate;
  std::string estimate;
  if (!moves.skipBlank) {
    estimate = EstimateText(
        EstimateRaster(moves, gParameters.Length, feedRate, gParameters.YStepOver, FirstLine()));
  } else if (view_.Drawing()) {
    // Which lines fire where is known once the view has filled them all.
    estimate = "Engraving time: counting (" + std::to_string(view_.LinesDrawn()) + " of " +
               std::to_string(view_.LineCount()) + " lines)";
  } else {
    estimate = EstimateText(view_.Estimate(feedRate));
  }
  controls.SetText(kEstimateLabel, estimate);
  ui::LogShown(kEstimateLabel, estimate);
  const std::string hint =
      ClassicFillHint(gParameters.TriggerLineLength, gParameters.ImagePixelsX, ditherCheck_ != 0);
  controls.SetText(kHintLabel, hint);
  ui::LogShown(kHintLabel, hint);
  std::string runUp;
  if (machine_.KnowsAcceleration()) {
    const double distance = machine_.BrakingDistance(feedRate);
    std::array<char, 32> text{};
    const auto end = std::to_chars(text.data(), text.data() + text.size(), distance,
                                   std::chars_format::general, 3)
                         .ptr;
    runUp = "Run-up to the feed: " + std::string(text.data(), end);
    if (distance > moves.OverscanUnits()) runUp += ", more than the overscan";
  }
  controls.SetText(kRunUpLabel, runUp);
  ui::LogShown(kRunUpLabel, runUp);
}

void EngraveSetup::RefreshView(std::chrono::steady_clock::duration firstSlice) {
  const CxImage* picture = TheEngraveImage().Picture();
  // Without its blank ends the raster's time depends on every line's fires: the view counts
  // them even when the picture is shown.
  const bool needed = viewCheck_ != 0 || gParameters.SkipBlank;
  if (!needed || !imageLoaded_ || picture == nullptr) {
    view_.Stop();
    return;
  }
  // What arming would take now: the parameter set, the boxes' modes and the machine's steps.
  EngravingJob job;
  job.line = CurrentRasterLine(gParameters.Inverse);  // the view sets each line's position
  job.line.tone = previewTone_;
  job.dithered = gParameters.Dither;
  job.width = gParameters.Width;
  job.stepsPerUnitX = StepsPerUnitX();
  job.moves = CurrentRasterMoves(job.stepsPerUnitX);
  job.firstLine = FirstLine();
  const ui::ControlResource& frame = *Resource().Find(kPreviewFrame);
  view_.Start(job, picture, ui::FrameClientWidth(frame), ui::FrameClientHeight(frame));
  view_.Advance(firstSlice);
}

bool EngraveSetup::OnIdle(ui::DialogControls& controls) {
  const bool drew = view_.Advance(kIdleSlice);
  // Without blank ends the time is known once the view has filled every line.
  if (drew && gParameters.SkipBlank && !view_.Drawing()) ShowEstimate(controls);
  return drew;
}

void EngraveSetup::OnInitDialog(ui::DialogControls& controls) {
  DoDataExchange(controls, false);
  pulseCheck_ = hostPulseMode_ != 0 ? 1 : 0;

  const std::optional<std::string> path = ui::ChooseFile(PictureFileRequest());
  if (!path) return;  // the dialog opens without a picture
  picturePath_ = *path;
  imageLoaded_ = TheEngraveImage().LoadPictureGray(picturePath_);
  CxImage* picture = TheEngraveImage().Picture();
  if (!imageLoaded_ || picture == nullptr) {
    imageLoaded_ = false;
    ui::ShowMessage("Image load error!");
    return;
  }
  ui::LogPicture(picturePath_);
  gParameters.ImagePixelsX = double(picture->ImageWidth());
  gParameters.ImagePixelsY = double(picture->ImageHeight());
  DoDataExchange(controls, false);
  Recalculate(controls);
}

bool EngraveSetup::Recalculate(ui::DialogControls& controls) {
  const bool read = DoDataExchange(controls, true);
  const MotionState* motion = plugin::Motion();
  CalculateParameters(aspectCheck_ != 0, motion != nullptr ? motion->StepsPerUnitX : 0.0,
                      motion != nullptr ? motion->StepsPerUnitY : 0.0);
  // The view first: the time shown with the fields may come from it.
  RefreshView(kFirstSlice);
  DoDataExchange(controls, false);
  return read;
}

void EngraveSetup::FillAutoOverscan(ui::DialogControls& controls) {
  if (!DoDataExchange(controls, true)) return;  // the feed rate as typed
  if (!machine_.KnowsAcceleration()) {
    ui::ShowMessage("The machine's acceleration is not known here: please type the overscan.");
    return;
  }
  gParameters.Overscan = machine_.AutoOverscan(gParameters.FeedRate);
  const MotionState* motion = plugin::Motion();
  CalculateParameters(aspectCheck_ != 0, motion != nullptr ? motion->StepsPerUnitX : 0.0,
                      motion != nullptr ? motion->StepsPerUnitY : 0.0);
  RefreshView(kFirstSlice);
  DoDataExchange(controls, false);
}

void EngraveSetup::StartScanning(ui::DialogControls& controls) {
  // A field the user has just been told is unreadable must not let the old value be engraved.
  if (!Recalculate(controls)) return;
  DialogScanStarter starter;
  MachineEnvelope machine = machine_;
  machine.stepsPerUnitX = StepsPerUnitX();
  // The steps the host says have fired apply to the line it asked to go on with only.
  RasterStart start;
  start.line = startLine_;
  if (resume_.line >= 1 && resume_.line == startLine_) start.afterStep = resume_.afterStep;
  if (::engrave::StartScanning(pulseCheck_ == 1, starter, machine, start) ==
      StartScanningResult::kCheckFailed)
    return;
  // Armed or refused, the dialog closes as accepted: with one more reading of its fields.
  if (!DoDataExchange(controls, true)) return;
  controls.End(ui::DialogResult::kOk);
}

void EngraveSetup::OnCommand(int controlId, ui::DialogControls& controls) {
  switch (controlId) {
    case kStartScanningButton:
      StartScanning(controls);
      break;
    case kCancelButton:
      OnCancel(controls);
      break;
    case kCalculateButton:
    case kPulseCheck:
    case kInvertedCheck:
    case kAspectCheck:
    case kDitherCheck:
    case kEngravingViewCheck:
    case kSkipBlankCheck:
      Recalculate(controls);
      break;
    case kOverscanAutoButton:
      FillAutoOverscan(controls);
      break;
    default:
      break;
  }
}

void EngraveSetup::OnCancel(ui::DialogControls& controls) {
  controls.End(ui::DialogResult::kCancel);  // the fields are not read
}

void EngraveSetup::Paint(int controlId, PixelSurface& surface) const {
  if (controlId != kPreviewFrame || !imageLoaded_) return;
  if (viewCheck_ != 0) {
    view_.Paint(surface);
    return;
  }
  if (const CxImage* picture = TheEngraveImage().Picture()) {
    picture->PaintStretched(&surface, PaintRect{0, 0, surface.width, surface.height});
    // The picture as the fills read it: its painted pixels, not the picture's millions.
    if (previewTable_) ApplyToneToSurface(*previewTable_, surface);
  }
}

}  // namespace engrave
