#include "paste/paste.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "base/env.h"
#include "base/log.h"
#include "pool/pool.h"

namespace le {
namespace {

int modeFromEnv() {
  const long mode = env::integer("LE_PASTE_FAST").value_or(Paste::kLanczos8);
  return mode < Paste::kLanczos8 || mode > Paste::kBilinear ? Paste::kLanczos8 : static_cast<int>(mode);
}

// A smaller odd kernel may be asked for; anything else keeps the bundle's.
int ksizeFromEnv(int bundleKsize) {
  const auto asked = env::integer("LE_PASTE_KSIZE");
  if (!asked) return bundleKsize;
  const long k = *asked;
  return (k >= 3 && k % 2 == 1 && k <= bundleKsize) ? static_cast<int>(k) : bundleKsize;
}

void announceExecutor(int side, int ksize) {
  static std::once_flag once;
  std::call_once(once, [&] {
    log::report("[le-paste] executor=%s (side=%d, ksize=%d, threads=%d) \xE2\x80\x94 1080p frame\n", "cpu", side, ksize,
              pool::threads());
  });
}

}  // namespace

Paste::Paste(std::vector<uint8_t> mask, int side, const Unsharp& unsharp)
    : side_(side), amount_(unsharp.amount), mask_(std::move(mask)) {
  if (side < 1 || mask_.size() != static_cast<size_t>(side) * static_cast<size_t>(side))
    throw std::runtime_error("paste: mask size");
  if (unsharp.ksize < 1 || unsharp.ksize % 2 == 0) throw std::runtime_error("paste: ksize must be odd");
  mode_ = modeFromEnv();
  ksize_ = ksizeFromEnv(unsharp.ksize);
  paddedSide_ = side_ + ksize_ - 1;
  gaussian_ = gaussianTaps(ksize_, unsharp.sigma);
  taps_ = buildPasteTaps();
  const size_t area = static_cast<size_t>(side_) * side_;
  for (auto& p : planes_) p.assign(area, 0.f);
  interleaved_.assign(area * 4, 0.f);
  blur_.assign(3 * static_cast<size_t>(paddedSide_) * side_, 0.f);
}

void Paste::composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H) {
  const double det = static_cast<double>(M[0]) * M[4] - static_cast<double>(M[1]) * M[3];
  if (det == 0.0) return;
  const auto fp = pasteFootprint(M, side_, W, H);
  if (!fp) return;
  inverse_.reset(M, fp->x0, fp->x1);
  announceExecutor(side_, ksize_);
  // Scaling, sharpening and interleaving in one go; the same arithmetic as
  // fillPlanes followed by unsharpPlane on each plane.
  const size_t area = static_cast<size_t>(side_) * side_;
  const float* src[3] = {crop, crop + area, crop + 2 * area};
  float* dst[3] = {planes_[0].data(), planes_[1].data(), planes_[2].data()};
  sharpen(src, scale, dst, 3, mode_ == kLanczos8);
  compositeTail(frame, W, fp->x0, fp->x1, fp->y0, fp->y1);
}

bool Paste::compositeGpuRgba(const float*, float, const float*, const uint8_t*, int, int, void*, int) { return false; }

}  // namespace le
