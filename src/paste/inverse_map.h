// Where a crop lands in a frame under a 2x3 affine, and the fixed-point
// inverse (10 fractional bits) that maps frame pixels back into the crop.
#pragma once

#include <optional>
#include <vector>

namespace le {

inline constexpr int kInverseFracBits = 10;

struct Footprint {
  int x0, x1, y0, y1;  // inclusive frame rectangle
};

// Frame rectangle covered by the crop square widened by 4 pixels, clipped to
// the frame; nothing when it is empty.
std::optional<Footprint> pasteFootprint(const float* M, int side, int W, int H);

// Per-column offsets plus one base per row: the source position of frame
// pixel (X, Y) is (colX()[X] + rowBaseX(Y), colY()[X] + rowBaseY(Y)), biased
// by half a phase so that truncation picks the nearest phase. The column
// tables are indexed by frame column; only x0..x1 are filled.
class InverseMap {
 public:
  // Returns false when M is singular.
  bool reset(const float* M, int x0, int x1);
  int rowBaseX(int Y) const;
  int rowBaseY(int Y) const;
  const int* colX() const { return colX_.data(); }
  const int* colY() const { return colY_.data(); }

 private:
  double ia_ = 0, ib_ = 0, id_ = 0, ie_ = 0, tx_ = 0, ty_ = 0;  // inverse affine
  std::vector<int> colX_, colY_;  // grown as needed
};

}  // namespace le
