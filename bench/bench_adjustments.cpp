// The picture adjustments in the setup dialog, on a 24-megapixel photo loaded as the dialog
// loads it, each beside its baseline from the same run:
//   renewing the picture view after a change (the field's text-changed event, then the paint)
//       against painting the view unadjusted, as every paint did before; and within 0.3 s
//   the whole view of the engraving, adjusted, against the view of the photo adjusted
//       beforehand with the same table and shown unadjusted: what the adjustments cost (as fast
//       as before); and against the photo itself, whose other tones take the dithered fill
//       another time; classic and dithered
// Run: build/bench/bench_adjustments
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ImageBenchSupport.h"
#include "RatioReporter.h"
#include "engrave/DialogResources.h"
#include "engrave/EngraveSetup.h"
#include "engrave/EngravingView.h"
#include "engrave/ToneAdjustment.h"
#include "image/EngraveImage.h"
#include "ui/Script.h"

namespace {

void Repeated(benchmark::internal::Benchmark* benchmark) {
  benchmark->Repetitions(5)->DisplayAggregatesOnly(true);
}

// The dialog's controls without a window.
class Controls final : public ui::DialogControls {
 public:
  std::string Text(int id) const override {
    const auto found = texts.find(id);
    return found != texts.end() ? found->second : "";
  }
  void SetText(int id, const std::string& text) override { texts[id] = text; }
  bool Checked(int id) const override { return checks.count(id) != 0 && checks.at(id); }
  void SetChecked(int id, bool checked) override { checks[id] = checked; }
  void Focus(int) override {}
  void End(ui::DialogResult) override {}

  std::map<int, std::string> texts;
  std::map<int, bool> checks;
};

// The setup dialog with the photo loaded through its own file chooser (a script answers it):
// decoded straight to gray, as every picture the dialog shows.
struct LoadedDialog {
  Controls controls;
  engrave::EngraveSetup setup{0};
  bool loaded = false;

  LoadedDialog() {
    setenv("ENGRAVING_UI", "script", 1);
    unsetenv("ENGRAVING_UI_LOG");
    const std::string photo = WriteSmoothJpeg();
    ui::SetActionSourceForTesting(std::make_shared<ui::ScriptText>("file " + photo + "\n"));
    setup.OnInitDialog(controls);
    ui::SetActionSourceForTesting(nullptr);
    std::remove(photo.c_str());
    loaded = setup.imageLoaded();
  }
};

LoadedDialog& Dialog() {
  static LoadedDialog dialog;
  return dialog;
}

PixelSurface PreviewSurface() {
  const ui::ControlResource& frame = *engrave::SetupDialogResource().Find(engrave::kPreviewFrame);
  return PixelSurface(ui::FrameClientWidth(frame), ui::FrameClientHeight(frame));
}

void Type(LoadedDialog& dialog, int field, const char* text) {
  dialog.controls.texts[field] = text;
  dialog.setup.OnTextChanged(field, dialog.controls);
}

// --- the picture view --------------------------------------------------------------------

void BM_PaintPictureView(benchmark::State& state) {
  LoadedDialog& dialog = Dialog();
  if (!dialog.loaded) {
    state.SkipWithError("the photo did not load");
    return;
  }
  Type(dialog, engrave::kGammaEdit, "1");
  PixelSurface surface = PreviewSurface();
  for (auto _ : state) {
    dialog.setup.Paint(engrave::kPreviewFrame, surface);
    benchmark::DoNotOptimize(surface.pixels.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_PaintPictureView)->Unit(benchmark::kMicrosecond)->Apply(Repeated);

// Every iteration is a change: the text typed, the table made, the view painted anew.
void BM_RenewAdjustedPictureView(benchmark::State& state) {
  LoadedDialog& dialog = Dialog();
  if (!dialog.loaded) {
    state.SkipWithError("the photo did not load");
    return;
  }
  PixelSurface surface = PreviewSurface();
  bool flip = false;
  for (auto _ : state) {
    flip = !flip;
    Type(dialog, engrave::kGammaEdit, flip ? "1.8" : "2.2");
    dialog.setup.Paint(engrave::kPreviewFrame, surface);
    benchmark::DoNotOptimize(surface.pixels.data());
    benchmark::ClobberMemory();
  }
  Type(dialog, engrave::kGammaEdit, "1");
}
BENCHMARK(BM_RenewAdjustedPictureView)->Unit(benchmark::kMicrosecond)->Apply(Repeated);

// --- the view of the engraving -----------------------------------------------------------

const engrave::ToneAdjustment kTone{-20.0, 40.0, 1.8};

// The photo with every pixel replaced by its adjusted level.
const CxImage* AdjustedPhoto() {
  static const std::unique_ptr<CxImage> adjusted = []() -> std::unique_ptr<CxImage> {
    const CxImage* photo = TheEngraveImage().Picture();
    if (photo == nullptr || photo->BitsPerPixel() != 8) return nullptr;
    auto copy = std::make_unique<CxImage>(*photo);
    const engrave::ToneTable table = engrave::BuildToneTable(kTone);
    for (uint32_t y = 0; y < copy->ImageHeight(); ++y) {
      uint8_t* row = copy->RowAddress(y);
      for (uint32_t x = 0; x < copy->ImageWidth(); ++x) row[x] = table[row[x]];
    }
    return copy;
  }();
  return adjusted.get();
}

// The photo engraved 100 wide at 1000 steps per unit (100,000 steps a line, 16.7 per column:
// dithered step by step), 66.7 high in steps of 0.1: 667 lines into the preview frame.
// Arguments: dithered; 0 the photo, 1 the photo adjusted, 2 the photo adjusted beforehand.
void BM_EngravingViewOfThePhoto(benchmark::State& state) {
  LoadedDialog& dialog = Dialog();
  const CxImage* photo = state.range(1) == 2 ? AdjustedPhoto() : TheEngraveImage().Picture();
  if (!dialog.loaded || photo == nullptr) {
    state.SkipWithError("the photo did not load");
    return;
  }
  engrave::EngravingJob job;
  job.line.triggerLineLength = 100000;
  job.line.imagePixelsX = photo->ImageWidth();
  job.line.imagePixelsY = photo->ImageHeight();
  job.line.length = 100.0 * photo->ImageHeight() / photo->ImageWidth();
  job.line.yStepOver = 0.1;
  job.width = 100.0;
  job.stepsPerUnitX = 1000.0;
  job.dithered = state.range(0) != 0;
  if (state.range(1) == 1) job.line.tone = kTone;
  const PixelSurface frame = PreviewSurface();
  engrave::EngravingView view;
  for (auto _ : state) {
    view.Start(job, photo, frame.width, frame.height);
    while (view.Advance(std::chrono::seconds(10))) {
    }
    benchmark::DoNotOptimize(view.Share(0, 0));
  }
  state.counters["lines"] = double(view.LinesDrawn());
}
// The classic view takes a few tens of milliseconds: ten views a run, to even out the noise.
BENCHMARK(BM_EngravingViewOfThePhoto)
    ->ArgsProduct({{0}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->Apply(Repeated);
BENCHMARK(BM_EngravingViewOfThePhoto)
    ->ArgsProduct({{1}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->Apply(Repeated);

}  // namespace

int main(int argc, char** argv) {
  // The repetitions of the views are interleaved, so that a busy moment of the shared machine
  // does not fall on one side of a ratio only; a flag given on the command line still wins.
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = int(args.size());
  benchmark::Initialize(&count, args.data());
  RatioReporter reporter({
      // Renewed within 0.3 s of a change; painting is bounded by the frame, not the photo.
      {"BM_RenewAdjustedPictureView", "", RatioTarget::kNanosAtMost, 3e8},
      {"BM_RenewAdjustedPictureView", "BM_PaintPictureView", RatioTarget::kShown, 0},
      // As fast as before: adjusting costs nothing beside the same tones read unadjusted. The
      // ratios come out at 1.00 to 1.03; the margin is the shared machine's noise.
      {"BM_EngravingViewOfThePhoto/0/1", "BM_EngravingViewOfThePhoto/0/2", RatioTarget::kCostAtMost,
       1.15},
      {"BM_EngravingViewOfThePhoto/1/1", "BM_EngravingViewOfThePhoto/1/2", RatioTarget::kCostAtMost,
       1.15},
      // Against the photo's own tones: the classic fill takes the same time whatever the tones,
      // the dithered one does not.
      {"BM_EngravingViewOfThePhoto/0/1", "BM_EngravingViewOfThePhoto/0/0", RatioTarget::kShown, 0},
      {"BM_EngravingViewOfThePhoto/1/1", "BM_EngravingViewOfThePhoto/1/0", RatioTarget::kShown, 0},
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
