// GridSample in the one configuration the director graphs use: bilinear,
// border padding, align_corners 0, output of the input's own spatial size.
// Tensors are NCHW float32; grid is [H][W][2] (x then y, both in [-1, 1]).
// The per-pixel arithmetic is fixed (every step rounded, no fused
// multiply-add), so every SIMD target writes the same bits as the scalar form.
#pragma once

#include <cstddef>

namespace le {

inline constexpr int kGsfBandRows = 16;

// All rows of one batch item.
void gridsample_fast(const float* x, const float* grid, float* out, int C, int H, int W);
// Output rows max(y0, 0) up to min(y1, H), on the best SIMD target.
void gridsample_fast_band(const float* x, const float* grid, float* out, int C, int H, int W, int y0, int y1);
// The same rows in plain scalar code: the reference the SIMD targets match.
void gridsampleFastBandScalar(const float* x, const float* grid, float* out, int C, int H, int W, int y0, int y1);

// One batch item's arguments for the runtime's parallel-for.
struct GsfBandArgs {
  const float* x;
  const float* grid;
  float* out;
  int C, H, W;
};
// Band i: rows 16 i up to min(16 i + 16, H) of the item `args` points at.
void band_fn(void* args, size_t band);

}  // namespace le
