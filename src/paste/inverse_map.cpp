#include "paste/inverse_map.h"

#include <algorithm>
#include <cmath>

namespace le {
namespace {

constexpr double kOne = 1 << kInverseFracBits;
constexpr int kHalfPhase = 1 << (kInverseFracBits - 6);  // half of 1/32 pixel

// Offsets of sane transforms are far from the int range; clamping only keeps
// degenerate ones defined.
int fixedRound(double v) {
  constexpr double kLimit = 1 << 30;
  return static_cast<int>(std::lround(std::clamp(v, -kLimit, kLimit)));
}

}  // namespace

std::optional<Footprint> pasteFootprint(const float* M, int side, int W, int H) {
  const double lo = -4.0, hi = side + 3.0;
  const double xs[4] = {lo, hi, lo, hi};
  const double ys[4] = {lo, lo, hi, hi};
  double minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
  for (int i = 0; i < 4; ++i) {
    const double X = double(M[0]) * xs[i] + double(M[1]) * ys[i] + M[2];
    const double Y = double(M[3]) * xs[i] + double(M[4]) * ys[i] + M[5];
    minX = std::min(minX, X);
    maxX = std::max(maxX, X);
    minY = std::min(minY, Y);
    maxY = std::max(maxY, Y);
  }
  if (!(minX <= maxX) || !(minY <= maxY)) return std::nullopt;  // NaN transform
  // Clip in double: a far-off crop must not overflow the int conversion.
  const double x0 = std::max(0.0, std::floor(minX)), x1 = std::min(W - 1.0, std::ceil(maxX));
  const double y0 = std::max(0.0, std::floor(minY)), y1 = std::min(H - 1.0, std::ceil(maxY));
  if (x0 > x1 || y0 > y1) return std::nullopt;
  Footprint fp;
  fp.x0 = static_cast<int>(x0);
  fp.x1 = static_cast<int>(x1);
  fp.y0 = static_cast<int>(y0);
  fp.y1 = static_cast<int>(y1);
  return fp;
}

bool InverseMap::reset(const float* M, int x0, int x1) {
  const double a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5];
  const double det = a * e - b * d;
  if (det == 0.0) return false;
  ia_ = a / det;
  ib_ = -b / det;
  id_ = -d / det;
  ie_ = e / det;
  tx_ = -(c * e - f * b) / det;
  ty_ = -(f * a - c * d) / det;
  const size_t n = static_cast<size_t>(x1) + 1;
  if (colX_.size() < n) {
    colX_.resize(n);
    colY_.resize(n);
  }
  for (int X = x0; X <= x1; ++X) {
    colX_[X] = fixedRound(X * ie_ * kOne);
    colY_[X] = fixedRound(X * id_ * kOne);
  }
  return true;
}

int InverseMap::rowBaseX(int Y) const { return fixedRound(kOne * (Y * ib_ + tx_)) + kHalfPhase; }
int InverseMap::rowBaseY(int Y) const { return fixedRound(kOne * (Y * ia_ + ty_)) + kHalfPhase; }

}  // namespace le
