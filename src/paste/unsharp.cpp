// Crop preparation: scale into the byte domain, then an unsharp mask with a
// separable Gaussian over reflect-padded rows. Two parallel passes cover all
// planes: padding plus the horizontal blur, then the vertical blur with the
// sharpening combine (and, for the Lanczos kernel, the interleave).
#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "paste/paste.h"
#include "paste/plane_rows.h"
#include "pool/pool.h"

namespace le {
namespace {

constexpr int kMaxSharpenSide = 1024;

// Reflection without repeating the edge sample (..., 2, 1, 0, 1, 2, ...).
int reflect(int i, int n) {
  if (n == 1) return 0;
  const int period = 2 * (n - 1);
  i = std::abs(i) % period;
  return i < n ? i : period - i;
}

}  // namespace

void Paste::fillPlanes(const float* crop, float scale) {
  const size_t side = side_;
  pool::parallelRange(3 * side, kRowGrain, [&](size_t begin, size_t end) {
    for (size_t row = begin; row < end; ++row) {
      const size_t c = row / side, y = row % side;
      plane_rows::scaleRow(crop + row * side, scale, planes_[c].data() + y * side, side);
    }
  });
}

void Paste::unsharpPlane(float* plane) {
  const float* src[1] = {plane};
  float* dst[1] = {plane};
  sharpen(src, 1.f, dst, 1, false);
}

void Paste::sharpen(const float* const* src, float scale, float* const* dst, int count, bool interleave) {
  const int k = ksize_, r = k / 2, side = side_;
  const size_t P = paddedSide_, S = side_;
  const size_t blurArea = P * S;
  const float* g = gaussian_.data();

  // Blurred rows keep only the side columns the vertical pass reads.
  pool::parallelRange(count * P, kRowGrain, [&](size_t begin, size_t end) {
    std::vector<float> padded(P);
    for (size_t row = begin; row < end; ++row) {
      const size_t c = row / P, y = row % P;
      const float* in = src[c] + static_cast<size_t>(reflect(static_cast<int>(y) - r, side)) * S;
      plane_rows::scaleRow(in, scale, padded.data() + r, S);
      for (int j = 1; j <= r; ++j) {
        padded[r - j] = padded[r + reflect(j, side)];
        padded[r + side - 1 + j] = padded[r + reflect(side - 1 - j, side)];
      }
      plane_rows::blurRowH(padded.data(), g, k, blur_.data() + c * blurArea + y * S, S);
    }
  });

  // The vertical pass is sized for at most one 1024-float row.
  if (side > kMaxSharpenSide) throw std::runtime_error("paste: side > 1024");

  pool::parallelRange(S, kRowGrain, [&](size_t begin, size_t end) {
    for (size_t y = begin; y < end; ++y) {
      for (int c = 0; c < count; ++c)
        plane_rows::sharpenRowV(blur_.data() + c * blurArea + y * S, S, g, k, amount_, src[c] + y * S, scale,
                                dst[c] + y * S, S);
      if (interleave)
        plane_rows::interleaveRgb0(dst[0] + y * S, dst[1] + y * S, dst[2] + y * S, interleaved_.data() + 4 * y * S,
                                   S);
    }
  });
}

}  // namespace le
