// The director's whole warp in one operator: bilinear samples of the
// 3-channel source and of its discrete second differences, recombined into
// a cubic-corrected sample. Source NCHW float32 [3][H][W]; grid [H][W][2]
// (x then y, normalised to [-1, 1], align_corners 0, border padding).
//
// Per source pixel and channel the planes pass stores four floats, in this
// order: f, Dxx, Dyy, Dxxyy (edge-replicated neighbours), 12 floats a pixel;
// the gather pass reads the four taps' 12-float records. The arithmetic is
// fixed (every step rounded, no fused multiply-add), so every body writes
// the same bits.
#pragma once

#include <cstddef>

namespace le {

inline constexpr int kWarpBandRows = 16;
inline constexpr int kWarpPlaneFloats = 12;  // per pixel: 3 channels x (f, Dxx, Dyy, Dxxyy)

// Plane records of source rows max(y0, 0) up to min(y1, H), on the best SIMD target.
void warpDirectorPlanesBand(const float* src, float* planes, int W, int H, int y0, int y1);
// Output rows max(y0, 0) up to min(y1, H) from the plane records, on the best SIMD target.
void warpDirectorGatherBand(const float* planes, const float* grid, float* out, int W, int H, int y0, int y1);
// The same two passes in plain scalar code: the reference the SIMD targets match.
void warpDirectorPlanesBandScalar(const float* src, float* planes, int W, int H, int y0, int y1);
void warpDirectorGatherBandScalar(const float* planes, const float* grid, float* out, int W, int H, int y0, int y1);
// The same rows in one pass, each tap's records computed on the fly.
void warpDirectorBand(const float* src, const float* grid, float* out, int W, int H, int y0, int y1);
// All rows of one image.
void warpDirector(const float* src, const float* grid, float* out, int W, int H);

// The name of the body that runs: the SIMD target the bands dispatch to
// ("AVX2", "NEON", "SVE", ..., "EMU128" for the portable scalar form).
const char* warpBody();

// One batch item's arguments for the runtime's parallel-for.
struct WarpBandArgs {
  const float* src;
  const float* grid;
  float* planes;
  float* out;
  int W, H;
  int bandRows;
};
// Band i: rows bandRows i up to min(bandRows (i + 1), H).
void warp_planes_fn(void* args, size_t band);
void warp_gather_fn(void* args, size_t band);

}  // namespace le
