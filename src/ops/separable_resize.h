// Linear and cubic resampling of NCHW planes with half-pixel centres and
// edge-clamped taps, as a standard Resize in those modes computes it, done
// separably: each needed source row is resampled across once per band
// (K taps an output column, indices and weights tabulated per axis), then
// each output row is a weighted sum of K of those rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace le {

inline constexpr int kResizeBandRows = 32;

// One axis: for output position o and tap k, the clamped source index
// idx[k * out + o] and its weight w[k * out + o].
struct ResizeAxis {
  int in = 0, out = 0, taps = 0;
  std::vector<int32_t> idx;
  std::vector<float> w;
  // A twofold upsample repeats two phases: for j in [j0, j1) (empty unless
  // j0 < j1), position 2j + p reads src[j + off[p] + k] with weight pw[p][k].
  int j0 = 0, j1 = 0;
  int off[2] = {0, 0};
  float pw[2][4] = {};
};

// The output length the standard operator gives a source of `in` at `scale`.
int64_t resizedLength(int64_t in, float scale);
// Taps of one axis: 2 for linear, 4 for cubic (Keys' kernel with coefficient a).
ResizeAxis resizeAxis(int in, int out, float scale, bool cubic, float a);

// Output rows max(y0, 0) up to min(y1, rows.out) of one plane of rows.in x
// cols.in floats, written at out (rows.out x cols.out), on the best SIMD target.
void separableResizeBand(const float* in, const ResizeAxis& rows, const ResizeAxis& cols, float* out, int y0, int y1);

// One batch of planes for the runtime's parallel-for: work item i is plane
// i / bands, rows kResizeBandRows * (i % bands) onwards.
struct ResizeBandArgs {
  const float* in;
  float* out;
  const ResizeAxis* rows;
  const ResizeAxis* cols;
  size_t bands;
};
void resize_band_fn(void* args, size_t item);

}  // namespace le
