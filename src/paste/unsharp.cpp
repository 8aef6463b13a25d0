// Crop preparation: scale into the byte domain, then an unsharp mask with a
// separable Gaussian over a reflect-padded copy of each plane.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "paste/paste.h"
#include "paste/plane_rows.h"
#include "pool/pool.h"

namespace le {
namespace {

constexpr size_t kRowGrain = 64;
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
  const int k = ksize_, r = k / 2, side = side_;
  const size_t P = paddedSide_;
  float* padded = padded_.data();
  float* blur = blur_.data();
  const float* g = gaussian_.data();

  pool::parallelRange(P, kRowGrain, [&](size_t begin, size_t end) {
    for (size_t y = begin; y < end; ++y) {
      const float* src = plane + static_cast<size_t>(reflect(static_cast<int>(y) - r, side)) * side;
      float* dst = padded + y * P;
      std::memcpy(dst + r, src, sizeof(float) * side);
      for (int j = 1; j <= r; ++j) {
        dst[r - j] = src[reflect(j, side)];
        dst[r + side - 1 + j] = src[reflect(side - 1 - j, side)];
      }
    }
  });

  pool::parallelRange(P, kRowGrain, [&](size_t begin, size_t end) {
    for (size_t y = begin; y < end; ++y) plane_rows::blurRowH(padded + y * P, g, k, blur + y * P, side);
  });

  // The vertical pass is sized for at most one 1024-float row.
  if (side > kMaxSharpenSide) throw std::runtime_error("paste: side > 1024");

  pool::parallelRange(side, kRowGrain, [&](size_t begin, size_t end) {
    for (size_t y = begin; y < end; ++y)
      plane_rows::sharpenRowV(blur + y * P, P, g, k, amount_, plane + y * side, side);
  });
}

}  // namespace le
