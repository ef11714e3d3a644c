// The dithered trigger lines of "Dithered (photo)": each line's bits come from the picture
// resampled by area onto the machine's own grid (one dot per X step, one line per step-over)
// and dithered by error diffusion in the line's own direction, the error carried on to the
// next line. Every column lands at its true X on forward and reverse lines, and the fired
// fraction of any area is its brightness.
//
// The diffusion works on cells: single steps where a picture column has fewer than about 64
// steps, else the steps of one column (split when very long). A cell's target number of fires
// is its exact share of the band's brightness plus the error handed to it; its fires are spread
// evenly over its steps from patterns made when the raster is armed, starting where the error
// carried into the cell puts the next fire, so that the spacing runs on from cell to cell and
// equal cells on successive lines do not fire at the same steps.
#pragma once

#include <cstdint>
#include <vector>

#include "engrave/TriggerLine.h"

class CxImage;

namespace engrave {

// The choices of the fill, settled by measurement against Floyd-Steinberg on the same dot
// grid (bench/dither_quality.py and the README's "Dithered mode"); tests may try others.
struct DitherTuning {
  // Columns of fewer steps are dithered step by step: below about 64 steps per column that
  // reproduced photos better than cells, above it cells did.
  double singleStepBelow = 64.0;
  // Longer cells are split into nearly equal parts of at most this many steps.
  int32_t maxCellSteps = 1024;
  // Shares of a cell's error: the next cell of the line, then the cells of the next line
  // behind, under and ahead of it (in the direction of this line). Step by step the shares are
  // fixed at 28/32, 1/32, 2/32 and 1/32: most of the error stays in the line, whose steps lie
  // ten to thirty times closer than the lines, and the eighth handed down still keeps the dots
  // of successive lines apart.
  struct Kernel {
    float inLine, behind, below, ahead;
  };
  // Cells are at least about as wide as the lines are apart: Floyd and Steinberg's shares.
  Kernel cellKernel{7.0f / 16.0f, 3.0f / 16.0f, 5.0f / 16.0f, 1.0f / 16.0f};
  // A cell's fires start where the error carried into it says the next fire is due, rounded to
  // one of this many positions within the spacing of its fires (1 .. 8).
  int phases = 8;
  // Without these, dots of lines k and k + 2 (the same direction) line up about twice as often
  // as by chance, which shows as fine vertical stripes. Step by step the threshold of 1/2 fire
  // moves by up to +-spread/2, and a cell's start by up to +-spread/2 of its fire spacing, both
  // scrambled by step (or cell) and line. Measured: that brings the lines to about 1.2 times
  // chance, for a quarter to a third more error, still far below the anchor's.
  float stepThresholdSpread = 0.2f;
  float cellPhaseSpread = 0.75f;
};

class DitheredLineFiller {
 public:
  explicit DitheredLineFiller(const DitherTuning& tuning = DitherTuning()) : tuning_(tuning) {}

  // Sizes everything for a raster of these lines over this picture, so that filling allocates
  // nothing; the next Fill is line 0. Reads the picture's size only.
  void Prepare(const TriggerLineInput& line, const CxImage* picture);

  // Clears all 32000 words, then writes the next line of the raster. Without a picture nothing
  // fires. A line whose band lies outside the picture's rows fires nothing; a raster whose
  // geometry or picture size has changed since Prepare is prepared again first.
  void Fill(const TriggerLineInput& line, const CxImage* picture, uint32_t* bits);

  // Lines filled since Prepare.
  int64_t LinesFilled() const { return linesFilled_; }
  // Steps in the longest cell, and the number of cells in a line (both 0 before Prepare).
  int32_t LongestCell() const { return longestCell_; }
  int64_t CellCount() const {
    if (!usable_) return 0;
    return stepByStep_ ? geometry_.steps : int64_t(starts_.size()) - 1;
  }

 private:
  struct Geometry {
    int32_t steps = 0;
    double columns = 0.0, rows = 0.0, length = 0.0, stepOver = 0.0;
    bool invert = false;
    uint32_t pictureWidth = 0, pictureHeight = 0;
    // Bit for bit, so that a value that is not a number still equals itself.
    bool SameAs(const Geometry& other) const;
  };
  static Geometry GeometryOf(const TriggerLineInput& line, const CxImage* picture);

  void BuildCells();
  void BuildPatterns();
  // The band of rows under the line, as the area-weighted brightness of each column; false when
  // the band holds no row of the raster.
  bool ReadBand(double scanY, const CxImage& picture);
  // The band's brightness integrated over columns [0, u).
  double Integral(double u) const;
  // One line's error diffusion, step by step (kWideSteps: a step may cover several columns)
  // or cell by cell, its bits handed to the writer.
  template <bool kWideSteps>
  void DiffuseSteps(bool forward, void* writer);
  void DiffuseCells(bool forward, void* writer);
  // Keeps what was handed past the ends in the end cells; the next line's errors become the
  // incoming ones.
  void FoldEnds(int64_t count);

  DitherTuning tuning_;
  ToneLookup toneLookup_;
  const uint8_t* toneTable_ = nullptr;  // of the line being filled; null: levels as they are
  Geometry geometry_;
  bool usable_ = false;
  int64_t linesFilled_ = 0;
  int phases_ = 1;
  bool stepByStep_ = false;
  bool needPrefix_ = false;
  double stepsPerColumn_ = 0.0;
  double columnsPerStep_ = 0.0;
  int64_t profileColumns_ = 0;  // picture columns the band reads
  std::vector<int32_t>
      starts_;  // cell i covers steps [starts_[i], starts_[i + 1]); not step by step
  int32_t longestCell_ = 0;
  // Patterns per distinct cell length: for m = 0 .. length fires and each starting phase, the
  // words of the cell's bits.
  struct PatternSet {
    int32_t length = 0;
    int32_t wordsPerPattern = 0;
    std::vector<uint32_t> words;
  };
  std::vector<PatternSet> patternSets_;
  std::vector<int16_t> patternSetOfLength_;
  std::vector<double> rowSum_;  // per column, while a band is read
  std::vector<double> tone_;    // per column, 0 (no fire) .. 1; the last entry is outside
  std::vector<double> prefix_;  // prefix_[c]: sum of tone_[0 .. c - 1]
  // Per cell, with one cell of padding at each end, in 1/65536 fire: the error handed down by
  // the last line, and the one being handed to the next.
  std::vector<int32_t> errorIn_;
  std::vector<int32_t> errorOut_;
};

}  // namespace engrave
